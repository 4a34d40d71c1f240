#include "korvel_import/internal/hf_merges.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "absl/status/status.h"
#include "absl/strings/str_cat.h"

namespace korvel::import::hf {
namespace {

using PieceIds = absl::flat_hash_map<std::string_view, int>;

struct RankedMerge {
  uint64_t pair;
  int result;
  int rank;
};

// Makes room for `count` entries in the empty `table`, or throws
// std::bad_alloc without touching it: a table of this abseil release whose
// own allocation throws is left inconsistent, and frees memory it does not
// own when destroyed. The trial allocation is at least the table's.
template <typename Table>
void ReserveOrThrow(size_t count, Table& table) {
  const size_t slots = count / 7 * 16 + 32;
  const size_t bytes = slots * (sizeof(typename Table::value_type) + 1);
  if (std::unique_ptr<char[]>(new (std::nothrow) char[bytes]) == nullptr) {
    throw std::bad_alloc();
  }
  table.reserve(count);
}

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

// Length of the merger's symbol that starts with `lead`: one character, or
// one byte when `bytes` (byte-level models).
int SymbolLength(bool bytes, unsigned char lead) {
  return bytes ? 1 : CharLength(lead);
}

// True for a text of two or more copies of one symbol.
bool IsRun(std::string_view text, bool bytes) {
  if (text.empty()) return false;
  const size_t length =
      SymbolLength(bytes, static_cast<unsigned char>(text[0]));
  if (text.size() <= length || text.size() % length != 0) return false;
  for (size_t at = length; at < text.size(); at += length) {
    if (text.compare(at, length, text.substr(0, length)) != 0) return false;
  }
  return true;
}

// Lengths of the symbols that a run of `length` copies of one character
// becomes. `merge_rank(p, q)` is the rank at which a p-long and a q-long run
// join, or -1; the pair of lowest rank joins first, the leftmost on ties.
template <typename MergeRank>
std::vector<int> MergeRun(int length, MergeRank merge_rank) {
  std::vector<int> symbols(length, 1);
  while (true) {
    size_t best = symbols.size();
    int best_rank = INT32_MAX;
    for (size_t i = 0; i + 1 < symbols.size(); ++i) {
      const int rank = merge_rank(symbols[i], symbols[i + 1]);
      if (rank >= 0 && rank < best_rank) {
        best = i;
        best_rank = rank;
      }
    }
    if (best == symbols.size()) return symbols;
    symbols[best] += symbols[best + 1];
    symbols.erase(symbols.begin() + best + 1);
  }
}

// Files converted from score-ordered models list the merges producing runs
// of one character ("▁▁▁") by their left part, so one run piece may come from
// merges spread over the list, where the runtime ranks them all by the first.
// Accepted when every run of that character up to twice the longest run
// piece (run pieces count up to 128 characters) comes out the same both ways.
absl::Status CheckRunsMergeAlike(
    std::string_view text, bool bytes, const PieceIds& ids,
    const absl::flat_hash_map<uint64_t, int>& pair_rank,
    const std::vector<int>& first_rank) {
  const std::string one(
      text.substr(0, SymbolLength(bytes, static_cast<unsigned char>(text[0]))));
  std::vector<int> run_ids = {-1};  // run_ids[k]: id of k copies, or -1.
  for (std::string run = one; run_ids.size() <= 128; run += one) {
    auto it = ids.find(run);
    if (it == ids.end()) break;
    run_ids.push_back(it->second);
  }
  const int longest = static_cast<int>(run_ids.size()) - 1;
  auto ranked = [&](int p, int q) {
    if (p + q > longest) return -1;
    auto it = pair_rank.find(PairKey(run_ids[p], run_ids[q]));
    return it == pair_rank.end() ? -1 : it->second;
  };
  auto scored = [&](int p, int q) {
    return p + q > longest ? -1 : first_rank[run_ids[p + q]];
  };
  for (int length = 2; length <= 2 * longest + 2; ++length) {
    if (MergeRun(length, ranked) != MergeRun(length, scored)) {
      return absl::InvalidArgumentError(
          absl::StrCat("BPE merges producing ", Quoted(text),
                       " are spread over the merge list, and a run of ", length,
                       " ", Quoted(one), " would merge differently"));
    }
  }
  return absl::OkStatus();
}

absl::Status LookUp(const PieceIds& ids, std::string_view text, int rank,
                    int* id) {
  auto it = ids.find(text);
  if (it == ids.end()) {
    return absl::InvalidArgumentError(
        absl::StrCat("BPE merge ", rank, " uses ", Quoted(text),
                     ", which is not in the vocabulary"));
  }
  *id = it->second;
  return absl::OkStatus();
}

// Every split of a produced piece into two parts that the merger can hold as
// symbols must be a merge; otherwise the merger could join them. With
// `unjoined` such pieces are counted there instead.
absl::Status CheckSplitsAreMerges(
    const std::vector<std::string>& pieces, bool bytes, const PieceIds& ids,
    const std::vector<bool>& produced,
    const absl::flat_hash_map<uint64_t, int>& pair_rank, int* unjoined) {
  auto joinable = [&](std::string_view part, int* id) {
    auto it = ids.find(part);
    *id = it == ids.end() ? -1 : it->second;
    return IsSingleSymbol(part, bytes) || (*id >= 0 && produced[*id]);
  };
  for (size_t id = 0; id < pieces.size(); ++id) {
    const std::string_view piece = pieces[id];
    if (!produced[id] || piece.empty()) continue;
    for (size_t cut = SymbolLength(bytes, static_cast<unsigned char>(piece[0]));
         cut < piece.size();
         cut += SymbolLength(bytes, static_cast<unsigned char>(piece[cut]))) {
      int left = -1;
      int right = -1;
      if (!joinable(piece.substr(0, cut), &left) ||
          !joinable(piece.substr(cut), &right)) {
        continue;
      }
      const bool listed =
          left >= 0 && right >= 0 && pair_rank.contains(PairKey(left, right));
      if (!listed && unjoined != nullptr) {
        ++*unjoined;
        break;
      }
      if (!listed) {
        return absl::InvalidArgumentError(
            absl::StrCat("BPE merges are incomplete: ", Quoted(piece),
                         " splits into ", Quoted(piece.substr(0, cut)), " + ",
                         Quoted(piece.substr(cut)), ", which no merge joins"));
      }
    }
  }
  return absl::OkStatus();
}

}  // namespace

bool IsSingleSymbol(std::string_view text, bool bytes) {
  return !text.empty() &&
         static_cast<size_t>(SymbolLength(
             bytes, static_cast<unsigned char>(text[0]))) >= text.size();
}

absl::StatusOr<std::vector<int>> RankMerges(
    const std::vector<MergeTexts>& merges,
    const std::vector<std::string>& pieces, const std::vector<bool>& mergeable,
    const std::vector<bool>& cut_out, bool bytes, int* unjoined) {
  if (merges.size() > static_cast<size_t>(kMaxMerges)) {
    return absl::InvalidArgumentError(
        absl::StrCat("BPE model has ", merges.size(), " merges; at most ",
                     kMaxMerges, " can be ranked exactly"));
  }
  PieceIds ids;
  ReserveOrThrow(pieces.size(), ids);
  for (size_t id = 0; id < pieces.size(); ++id) ids.emplace(pieces[id], id);

  const int num_merges = static_cast<int>(merges.size());
  std::vector<RankedMerge> ranked;
  ranked.reserve(num_merges);
  absl::flat_hash_map<uint64_t, int> pair_rank;
  ReserveOrThrow(num_merges, pair_rank);
  std::string joined;
  for (int rank = 0; rank < num_merges; ++rank) {
    const std::string_view left_text = merges[rank].left;
    const std::string_view right_text = merges[rank].right;
    absl::Status status = absl::OkStatus();
    if (left_text.empty() || right_text.empty()) {
      return absl::InvalidArgumentError(absl::StrCat(
          "BPE merge ", rank,
          " is neither \"a b\" nor [\"a\", \"b\"] of non-empty texts"));
    }
    int left = -1;
    int right = -1;
    int result = -1;
    if (status.ok()) status = LookUp(ids, left_text, rank, &left);
    if (status.ok()) status = LookUp(ids, right_text, rank, &right);
    joined.assign(left_text.data(), left_text.size());
    joined.append(right_text.data(), right_text.size());
    if (status.ok()) status = LookUp(ids, joined, rank, &result);
    if (!status.ok()) return status;
    if (cut_out[left] || cut_out[right] || cut_out[result]) continue;
    if (!mergeable[left] || !mergeable[right] || !mergeable[result]) {
      return absl::InvalidArgumentError(absl::StrCat(
          "BPE merge ", rank, " (", Quoted(left_text), " + ",
          Quoted(right_text), ") involves a special, unknown or byte piece"));
    }
    const uint64_t key = PairKey(left, right);
    ranked.push_back({key, result, rank});
    pair_rank[key] = rank;
  }

  std::vector<int> first_rank(pieces.size(), -1);
  std::vector<int> spread;  // Pieces produced by merges far apart.
  int previous_result = -1;
  for (const RankedMerge& merge : ranked) {
    if (pair_rank[merge.pair] != merge.rank) continue;  // Listed again later.
    if (first_rank[merge.result] < 0) {
      first_rank[merge.result] = merge.rank;
    } else if (previous_result != merge.result) {
      spread.push_back(merge.result);
    }
    previous_result = merge.result;
  }
  absl::flat_hash_set<std::string_view> checked;  // First characters.
  for (const int id : spread) {
    const std::string_view piece = pieces[id];
    if (!IsRun(piece, bytes)) {
      return absl::InvalidArgumentError(
          absl::StrCat("BPE merges producing ", Quoted(pieces[id]),
                       " are not adjacent in the merge list"));
    }
    const size_t length =
        SymbolLength(bytes, static_cast<unsigned char>(piece[0]));
    if (!checked.insert(piece.substr(0, length)).second) continue;
    absl::Status status =
        CheckRunsMergeAlike(piece, bytes, ids, pair_rank, first_rank);
    if (!status.ok()) return status;
  }

  std::vector<bool> produced(pieces.size());
  for (size_t id = 0; id < pieces.size(); ++id)
    produced[id] = first_rank[id] >= 0;
  absl::Status status =
      CheckSplitsAreMerges(pieces, bytes, ids, produced, pair_rank, unjoined);
  if (!status.ok()) return status;
  return first_rank;
}

}  // namespace korvel::import::hf
