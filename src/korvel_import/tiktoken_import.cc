#include "korvel_import/tiktoken_import.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "absl/status/status.h"
#include "absl/strings/escaping.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_split.h"
#include "absl/strings/strip.h"
#include "korvel_import/internal/hf_byte_level.h"
#include "korvel_import/internal/hf_json.h"
#include "korvel_pretokenizer/pretokenizer.h"

namespace korvel::import {
namespace {

using pretokenizer::Family;

// Ids of special tokens beyond this many past the ranks are refused: the
// gap would fill the model with placeholders.
constexpr int64_t kMaxSpecialGap = 1 << 16;
// The longest token a model may hold.
constexpr size_t kMaxPieceBytes = 4096;
// Ranks whose negatives are exact float scores.
constexpr int64_t kMaxRanks = 1 << 24;

// Abseil may have its own string view type.
absl::string_view AbslView(std::string_view text) {
  return absl::string_view(text.data(), text.size());
}

absl::Status ReadRanks(std::string_view text,
                       std::vector<std::string>* pieces) {
  std::vector<bool> seen;
  int line_number = 0;
  for (absl::string_view line : absl::StrSplit(AbslView(text), '\n')) {
    ++line_number;
    line = absl::StripTrailingAsciiWhitespace(line);
    if (line.empty()) continue;
    const std::vector<absl::string_view> fields =
        absl::StrSplit(line, absl::MaxSplits(' ', 1));
    std::string token;
    int64_t rank = -1;
    if (fields.size() != 2 || !absl::Base64Unescape(fields[0], &token) ||
        token.empty() || token.size() > kMaxPieceBytes ||
        !absl::SimpleAtoi(fields[1], &rank) || rank < 0 || rank >= kMaxRanks) {
      return absl::InvalidArgumentError(absl::StrCat(
          "tiktoken line ", line_number, " is not \"BASE64 RANK\""));
    }
    if (static_cast<size_t>(rank) >= pieces->size()) {
      pieces->resize(rank + 1);
      seen.resize(rank + 1);
    }
    if (seen[rank]) {
      return absl::InvalidArgumentError(absl::StrCat(
          "tiktoken line ", line_number, ": rank ", rank, " is given twice"));
    }
    seen[rank] = true;
    (*pieces)[rank] = std::move(token);
  }
  for (size_t rank = 0; rank < seen.size(); ++rank) {
    if (!seen[rank]) {
      return absl::InvalidArgumentError(
          absl::StrCat("tiktoken ranks skip ", rank));
    }
  }
  return absl::OkStatus();
}

absl::Status CheckTokens(const std::vector<std::string>& pieces) {
  absl::flat_hash_set<std::string_view> seen;
  for (const std::string& piece : pieces) {
    if (!seen.insert(piece).second) {
      return absl::InvalidArgumentError(
          absl::StrCat("tiktoken token ", hf::Quoted(piece), " is repeated"));
    }
  }
  for (int byte = 0; byte < 256; ++byte) {
    if (!seen.contains(std::string(1, static_cast<char>(byte)))) {
      return absl::InvalidArgumentError(
          absl::StrCat("tiktoken ranks lack the single byte ", byte));
    }
  }
  return absl::OkStatus();
}

absl::Status SetPattern(std::string_view name, korvel::ByteLevelSpec* spec) {
  const std::pair<const char*, Family> kNames[] = {{"gpt2", Family::kGpt2},
                                                   {"cl100k", Family::kCl100k},
                                                   {"llama3", Family::kCl100k},
                                                   {"qwen2", Family::kQwen2},
                                                   {"o200k", Family::kO200k}};
  Family family = pretokenizer::FamilyOfPattern(name);
  std::string pattern(name);
  for (const auto& [known, known_family] : kNames) {
    if (name == known) {
      family = known_family;
      pattern = std::string(pretokenizer::PatternOfFamily(family));
    }
  }
  if (family == Family::kNone) {
    pretokenizer::SplitStep step;
    if (name.empty() || pretokenizer::SplitStep::ForPattern(name, &step) ==
                            absl::StatusCode::kInvalidArgument) {
      return absl::InvalidArgumentError(absl::StrCat(
          "the pattern ", hf::Quoted(name),
          " is neither gpt2, cl100k, llama3, qwen2, o200k nor a regular "
          "expression that compiles"));
    }
  }
  korvel::PretokenizerStep* step = spec->add_pretokenizer();
  step->set_family(static_cast<uint32_t>(family));
  step->set_pattern(pattern);
  return absl::OkStatus();
}

// Adds the special tokens as CONTROL pieces, filling the ids between them
// with UNUSED placeholders.
absl::Status AddSpecials(std::string_view specials, korvel::ModelProto* model) {
  std::vector<std::string> texts;
  absl::flat_hash_set<std::string> seen;
  const int64_t first = model->pieces_size();
  for (absl::string_view item :
       absl::StrSplit(AbslView(specials), ',', absl::SkipEmpty())) {
    const size_t equals = item.rfind('=');
    const std::string_view whole(item.data(), item.size());
    int64_t id = -1;
    if (equals == absl::string_view::npos || equals == 0 ||
        !absl::SimpleAtoi(item.substr(equals + 1), &id) || id < first ||
        id >= first + kMaxSpecialGap) {
      return absl::InvalidArgumentError(
          absl::StrCat("the special token ", hf::Quoted(whole),
                       " is not TEXT=ID with an id past the ranks"));
    }
    if (static_cast<size_t>(id - first) >= texts.size())
      texts.resize(id - first + 1);
    const std::string text(item.substr(0, equals));
    if (!texts[id - first].empty() || !seen.insert(text).second) {
      return absl::InvalidArgumentError(absl::StrCat(
          "the special token ", hf::Quoted(whole), " repeats a text or an id"));
    }
    texts[id - first] = text;
  }
  for (size_t i = 0; i < texts.size(); ++i) {
    korvel::ModelProto_Piece* piece = model->add_pieces();
    if (texts[i].empty()) {
      piece->set_piece(hf::PlaceholderPiece(first + i));
      piece->set_type(korvel::ModelProto_Piece_Type_UNUSED);
    } else {
      piece->set_piece(texts[i]);
      piece->set_type(korvel::ModelProto_Piece_Type_CONTROL);
    }
  }
  for (const char* bos : {"<|begin_of_text|>"}) {
    if (seen.contains(bos)) model->mutable_trainer_spec()->set_bos_piece(bos);
  }
  for (const char* eos : {"<|endoftext|>", "<|end_of_text|>"}) {
    if (seen.contains(eos)) model->mutable_trainer_spec()->set_eos_piece(eos);
  }
  return absl::OkStatus();
}

}  // namespace

absl::StatusOr<korvel::ModelProto> ImportTiktoken(
    std::string_view ranks, std::string_view pattern, std::string_view specials,
    std::vector<std::string>* warnings) {
  std::vector<std::string> pieces;
  absl::Status status = ReadRanks(ranks, &pieces);
  if (status.ok()) status = CheckTokens(pieces);
  korvel::ModelProto model;
  if (status.ok()) status = SetPattern(pattern, model.mutable_byte_level());
  if (!status.ok()) return status;
  model.mutable_byte_level()->set_ignore_merges(true);
  model.mutable_pieces()->Reserve(static_cast<int>(pieces.size()));
  int inner_zero_pieces = 0;
  for (size_t rank = 0; rank < pieces.size(); ++rank) {
    korvel::ModelProto_Piece* piece = model.add_pieces();
    const bool set_aside = hf::HoldsInnerZeroByte(pieces[rank]);
    inner_zero_pieces += set_aside;
    piece->set_piece(set_aside ? hf::PlaceholderPiece(rank)
                               : std::move(pieces[rank]));
    piece->set_score(-static_cast<float>(rank));
    piece->set_type(set_aside ? korvel::ModelProto_Piece_Type_UNUSED
                              : korvel::ModelProto_Piece_Type_NORMAL);
  }
  if (inner_zero_pieces > 0 && warnings != nullptr) {
    warnings->push_back(hf::InnerZeroByteWarning(inner_zero_pieces));
  }
  korvel::TrainerSpec* trainer = model.mutable_trainer_spec();
  trainer->set_model_type(korvel::TrainerSpec_ModelType_BYTE_LEVEL_BPE);
  trainer->set_unk_id(-1);
  trainer->set_bos_piece("");
  trainer->set_eos_piece("");
  trainer->set_pad_piece("");
  status = AddSpecials(specials, &model);
  if (!status.ok()) return status;
  korvel::NormalizerSpec* normalizer = model.mutable_normalizer_spec();
  normalizer->set_name("identity");
  normalizer->set_add_dummy_prefix(false);
  normalizer->set_remove_extra_whitespaces(false);
  normalizer->set_escape_whitespaces(false);
  return model;
}

}  // namespace korvel::import
