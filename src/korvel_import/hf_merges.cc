#include "korvel_import/hf_merges.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/status/status.h"
#include "absl/strings/str_cat.h"

namespace korvel::import::hf {
namespace {

using PieceIds = absl::flat_hash_map<std::string_view, int>;

uint64_t PairKey(int left, int right) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(left)) << 32) |
         static_cast<uint32_t>(right);
}

// Length of the UTF-8 character whose lead byte is `lead`, as the runtime
// cuts characters.
int CharLength(unsigned char lead) {
  static constexpr int kLengths[16] = {1, 1, 1, 1, 1, 1, 1, 1,
                                       1, 1, 1, 1, 2, 2, 3, 4};
  return kLengths[lead >> 4];
}

// Splits merge `rank` into its two texts.
absl::Status ParseMerge(const Json& merge, int rank, std::string_view* left,
                        std::string_view* right) {
  if (merge.is_string()) {
    const std::string& text = merge.get_ref<const std::string&>();
    const size_t space = text.find(' ');
    if (space != std::string::npos) {
      *left = std::string_view(text).substr(0, space);
      *right = std::string_view(text).substr(space + 1);
    }
  } else if (merge.is_array() && merge.size() == 2 && merge[0].is_string() &&
             merge[1].is_string()) {
    *left = merge[0].get_ref<const std::string&>();
    *right = merge[1].get_ref<const std::string&>();
  }
  if (!left->empty() && !right->empty()) return absl::OkStatus();
  return absl::InvalidArgumentError(absl::StrCat(
      "BPE merge ", rank,
      " is neither \"a b\" nor [\"a\", \"b\"] of non-empty texts"));
}

absl::Status LookUp(const PieceIds& ids, std::string_view text, int rank,
                    int* id) {
  auto it = ids.find(text);
  if (it == ids.end()) {
    return absl::InvalidArgumentError(
        absl::StrCat("BPE merge ", rank, " uses \"", std::string(text),
                     "\", which is not in the vocabulary"));
  }
  *id = it->second;
  return absl::OkStatus();
}

// Every split of a produced piece into two parts that the merger can hold as
// symbols must be a merge; otherwise the merger could join them.
absl::Status CheckSplitsAreMerges(
    const std::vector<std::string>& pieces, const PieceIds& ids,
    const std::vector<bool>& produced,
    const absl::flat_hash_map<uint64_t, int>& pair_rank) {
  auto joinable = [&](std::string_view part, int* id) {
    auto it = ids.find(part);
    *id = it == ids.end() ? -1 : it->second;
    return IsSingleChar(part) || (*id >= 0 && produced[*id]);
  };
  for (size_t id = 0; id < pieces.size(); ++id) {
    const std::string_view piece = pieces[id];
    if (!produced[id] || piece.empty()) continue;
    for (size_t cut = CharLength(static_cast<unsigned char>(piece[0]));
         cut < piece.size();
         cut += CharLength(static_cast<unsigned char>(piece[cut]))) {
      int left = -1;
      int right = -1;
      if (!joinable(piece.substr(0, cut), &left) ||
          !joinable(piece.substr(cut), &right)) {
        continue;
      }
      if (left < 0 || right < 0 || !pair_rank.contains(PairKey(left, right))) {
        return absl::InvalidArgumentError(absl::StrCat(
            "BPE merges are incomplete: \"", std::string(piece),
            "\" splits into \"", std::string(piece.substr(0, cut)), "\" + \"",
            std::string(piece.substr(cut)), "\", which no merge joins"));
      }
    }
  }
  return absl::OkStatus();
}

}  // namespace

bool IsSingleChar(std::string_view text) {
  return !text.empty() &&
         static_cast<size_t>(CharLength(static_cast<unsigned char>(text[0]))) >=
             text.size();
}

absl::StatusOr<std::vector<int>> RankMerges(
    const Json& merges, const std::vector<std::string>& pieces,
    const std::vector<bool>& mergeable) {
  if (!merges.is_array()) {
    return absl::InvalidArgumentError("BPE model has no \"merges\" list");
  }
  if (merges.size() > static_cast<size_t>(kMaxMerges)) {
    return absl::InvalidArgumentError(
        absl::StrCat("BPE model has ", merges.size(), " merges; at most ",
                     kMaxMerges, " can be ranked exactly"));
  }
  PieceIds ids;
  ids.reserve(pieces.size());
  for (size_t id = 0; id < pieces.size(); ++id) ids.emplace(pieces[id], id);

  const int num_merges = static_cast<int>(merges.size());
  std::vector<std::pair<uint64_t, int>> ranked;  // (pair, result) by rank.
  ranked.reserve(num_merges);
  absl::flat_hash_map<uint64_t, int> pair_rank;
  pair_rank.reserve(num_merges);
  std::string joined;
  for (int rank = 0; rank < num_merges; ++rank) {
    std::string_view left_text;
    std::string_view right_text;
    absl::Status status =
        ParseMerge(merges[rank], rank, &left_text, &right_text);
    int left = -1;
    int right = -1;
    int result = -1;
    if (status.ok()) status = LookUp(ids, left_text, rank, &left);
    if (status.ok()) status = LookUp(ids, right_text, rank, &right);
    joined.assign(left_text.data(), left_text.size());
    joined.append(right_text.data(), right_text.size());
    if (status.ok()) status = LookUp(ids, joined, rank, &result);
    if (!status.ok()) return status;
    if (!mergeable[left] || !mergeable[right] || !mergeable[result]) {
      return absl::InvalidArgumentError(
          absl::StrCat("BPE merge ", rank, " (\"", std::string(left_text),
                       "\" + \"", std::string(right_text),
                       "\") involves a special, unknown, byte or added piece"));
    }
    const uint64_t key = PairKey(left, right);
    ranked.emplace_back(key, result);
    pair_rank[key] = rank;
  }

  std::vector<int> first_rank(pieces.size(), -1);
  int previous_result = -1;
  for (int rank = 0; rank < num_merges; ++rank) {
    const auto [key, result] = ranked[rank];
    if (pair_rank[key] != rank) continue;  // Overridden by a later duplicate.
    if (first_rank[result] < 0) {
      first_rank[result] = rank;
    } else if (previous_result != result) {
      return absl::InvalidArgumentError(
          absl::StrCat("BPE merges producing \"", pieces[result],
                       "\" are not adjacent in the merge list"));
    }
    previous_result = result;
  }

  std::vector<bool> produced(pieces.size());
  for (size_t id = 0; id < pieces.size(); ++id)
    produced[id] = first_rank[id] >= 0;
  absl::Status status = CheckSplitsAreMerges(pieces, ids, produced, pair_rank);
  if (!status.ok()) return status;
  return first_rank;
}

}  // namespace korvel::import::hf
