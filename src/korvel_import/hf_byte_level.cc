#include "korvel_import/internal/hf_byte_level.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "absl/status/status.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_format.h"
#include "korvel_pretokenizer/pretokenizer.h"

namespace korvel::import::hf {
namespace {

using pretokenizer::Family;

constexpr size_t kMaxPieceBytes = 4096;

constexpr bool SpellsItself(int byte) {
  return (byte >= 33 && byte <= 126) || (byte >= 161 && byte <= 172) ||
         byte >= 174;
}

// The 68 bytes that do not spell themselves take U+0100 to U+0143.
constexpr int kSpelledCodes = 256 + 68;

// The byte of each code point below kSpelledCodes, or -1.
constexpr std::array<int16_t, kSpelledCodes> kByteOfCode = [] {
  std::array<int16_t, kSpelledCodes> table = {};
  int next = 256;
  for (int byte = 0; byte < 256; ++byte) {
    table[byte] = SpellsItself(byte) ? byte : -1;
    if (!SpellsItself(byte)) table[next++] = static_cast<int16_t>(byte);
  }
  return table;
}();

// Decodes the UTF-8 character of one or two bytes at `*at`, the only ones
// that spell bytes; false for anything else.
bool NextCodePoint(std::string_view text, size_t* at, uint32_t* code) {
  const unsigned char lead = static_cast<unsigned char>(text[*at]);
  if (lead < 0x80) {
    *code = lead;
    *at += 1;
    return true;
  }
  if (lead < 0xC2 || lead >= 0xE0 || *at + 1 >= text.size()) return false;
  const unsigned char next = static_cast<unsigned char>(text[*at + 1]);
  if ((next & 0xC0) != 0x80) return false;
  *code = (lead & 0x1F) << 6 | (next & 0x3F);
  *at += 2;
  return true;
}

absl::Status RefuseModel(const std::string& what) {
  return absl::InvalidArgumentError(
      absl::StrCat("Unsupported byte-level BPE model: ", what));
}

// Families whose matches tile every text, so that removing what lies between
// matches removes nothing.
bool MatchesCoverAll(Family family) {
  return family == Family::kGpt2 || family == Family::kCl100k ||
         family == Family::kQwen2 || family == Family::kO200k;
}

// A pattern that matches `text` literally.
std::string QuoteLiteral(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x80 && !std::isalnum(byte)) out += '\\';
    out += c;
  }
  return out;
}

absl::Status ReadSplit(const Json& split, std::vector<SplitPattern>* splits) {
  const Json* pattern = Member(split, "pattern");
  const std::string* regex =
      pattern == nullptr ? nullptr : StringMember(*pattern, "Regex");
  const std::string* literal =
      pattern == nullptr ? nullptr : StringMember(*pattern, "String");
  if (regex == nullptr && literal == nullptr) {
    return absl::InvalidArgumentError(
        "Unsupported pre-tokenizer: Split without a Regex or String pattern");
  }
  SplitPattern step;
  step.pattern = regex != nullptr ? *regex : QuoteLiteral(*literal);
  const Family family = pretokenizer::FamilyOfPattern(step.pattern);
  step.family = static_cast<uint32_t>(family);
  const std::string* behavior = StringMember(split, "behavior");
  const bool invert = FlagMember(split, "invert");
  const bool isolated =
      behavior != nullptr &&
      ((*behavior == "Isolated" && !invert) ||
       (*behavior == "Removed" && invert && MatchesCoverAll(family)));
  if (!isolated) {
    return absl::InvalidArgumentError(absl::StrCat(
        "Unsupported pre-tokenizer: Split with behavior ",
        behavior == nullptr ? "(none)" : *behavior, invert ? " inverted" : "",
        " (korvel imports Isolated splits)"));
  }
  if (family == Family::kNone) {
    pretokenizer::SplitStep compiled;
    if (pretokenizer::SplitStep::ForPattern(step.pattern, &compiled) ==
        absl::StatusCode::kInvalidArgument) {
      return absl::InvalidArgumentError(
          absl::StrCat("Unsupported pre-tokenizer: the Split pattern ",
                       Quoted(step.pattern), " does not compile"));
    }
  }
  splits->push_back(std::move(step));
  return absl::OkStatus();
}

}  // namespace

std::optional<unsigned char> ByteOfSpelling(uint32_t code) {
  if (code >= kSpelledCodes || kByteOfCode[code] < 0) return std::nullopt;
  return static_cast<unsigned char>(kByteOfCode[code]);
}

bool UnspellBytes(std::string_view spelled, std::string* bytes) {
  bytes->clear();
  for (size_t at = 0; at < spelled.size();) {
    uint32_t code = 0;
    if (!NextCodePoint(spelled, &at, &code)) return false;
    const std::optional<unsigned char> byte = ByteOfSpelling(code);
    if (!byte.has_value()) return false;
    bytes->push_back(static_cast<char>(*byte));
  }
  return true;
}

absl::Status ReadByteLevelModel(
    const Json& model, const absl::flat_hash_set<std::string>& added_texts,
    Vocabulary* vocabulary) {
  if (const Json* dropout = Member(model, "dropout")) {
    if (!dropout->is_number() || dropout->get<double>() != 0.0) {
      return RefuseModel("dropout");
    }
  }
  for (const char* affix :
       {"continuing_subword_prefix", "end_of_word_suffix"}) {
    const std::string* text = StringMember(model, affix);
    if (Member(model, affix) != nullptr && (text == nullptr || !text->empty()))
      return RefuseModel(affix);
  }
  if (FlagMember(model, "byte_fallback")) return RefuseModel("byte_fallback");
  const Json* vocab = Member(model, "vocab");
  if (vocab == nullptr || !vocab->is_object()) {
    return absl::InvalidArgumentError("BPE model has no \"vocab\" object");
  }
  vocabulary->is_bpe = true;
  vocabulary->byte_level = true;
  vocabulary->ignore_merges = FlagMember(model, "ignore_merges");
  // Ids beyond twice the entries would leave more holes than pieces.
  const int64_t limit = 2 * static_cast<int64_t>(vocab->size()) + 256;
  std::string bytes;
  for (const auto& [text, value] : vocab->items()) {
    const int64_t id = value.is_number_integer() ? value.get<int64_t>() : -1;
    if (id < 0 || id >= limit || id >= INT32_MAX) {
      return RefuseModel(
          absl::StrCat("the id of ", Quoted(text), " is not a vocabulary id"));
    }
    if (added_texts.contains(text)) {
      bytes = text;
    } else if (!UnspellBytes(text, &bytes) || bytes.empty()) {
      return RefuseModel(absl::StrCat(
          Quoted(text), " is not spelled in the GPT-2 byte alphabet"));
    }
    if (bytes.size() > kMaxPieceBytes) {  // Ranking merges is quadratic.
      return RefuseModel(absl::StrCat("the piece ", Quoted(text),
                                      " is longer than 4,096 bytes"));
    }
    if (static_cast<size_t>(id) >= vocabulary->pieces.size()) {
      vocabulary->pieces.resize(id + 1);
    }
    if (!vocabulary->pieces[id].empty()) {
      return RefuseModel(absl::StrCat("id ", id, " names both ",
                                      Quoted(vocabulary->pieces[id]), " and ",
                                      Quoted(bytes)));
    }
    vocabulary->pieces[id] = bytes;
  }
  if (const std::string* unk = StringMember(model, "unk_token")) {
    if (!UnspellBytes(*unk, &bytes)) bytes = *unk;  // Then it is not found.
    vocabulary->unk_text = bytes;
  }
  vocabulary->scores.assign(vocabulary->pieces.size(), 0.0f);
  vocabulary->types.assign(vocabulary->pieces.size(),
                           korvel::ModelProto_Piece_Type_NORMAL);
  return absl::OkStatus();
}

absl::Status UnspellMerges(std::vector<MergeTexts>* merges) {
  std::string bytes;
  for (size_t rank = 0; rank < merges->size(); ++rank) {
    MergeTexts& merge = (*merges)[rank];
    for (std::string* text : {&merge.left, &merge.right}) {
      if (text->empty()) continue;  // RankMerges names malformed merges.
      if (!UnspellBytes(*text, &bytes)) {
        return RefuseModel(absl::StrCat("merge ", rank, " uses ", Quoted(*text),
                                        ", not spelled in the byte alphabet"));
      }
      text->swap(bytes);
    }
  }
  return absl::OkStatus();
}

std::string PlaceholderPiece(int64_t id) {
  return absl::StrCat("<|unused_id_", id, "|>");
}

bool HoldsInnerZeroByte(std::string_view piece) {
  return piece.size() > 1 && piece.find('\0') != std::string_view::npos;
}

std::string InnerZeroByteWarning(int count) {
  return absl::StrCat(
      "texts holding the byte 0 next to other bytes may encode differently: ",
      count, count == 1 ? " piece holds" : " pieces hold",
      " it among other bytes, which korvel cannot store, so it is unused");
}

void SetAsideInnerZeroBytePieces(Vocabulary* vocabulary) {
  for (size_t id = 0; id < vocabulary->pieces.size(); ++id) {
    if (HoldsInnerZeroByte(vocabulary->pieces[id])) {
      vocabulary->pieces[id] = PlaceholderPiece(id);
      vocabulary->types[id] = korvel::ModelProto_Piece_Type_UNUSED;
      ++vocabulary->inner_zero_pieces;
    }
  }
}

absl::Status FillByteLevelHoles(Vocabulary* vocabulary) {
  absl::flat_hash_set<std::string_view> texts;
  size_t last_normal = 0;
  for (size_t id = 0; id < vocabulary->pieces.size(); ++id) {
    texts.insert(vocabulary->pieces[id]);
    if (vocabulary->types[id] == korvel::ModelProto_Piece_Type_NORMAL &&
        !vocabulary->pieces[id].empty()) {
      last_normal = id;
    }
  }
  for (int byte = 0; byte < 256; ++byte) {
    if (!texts.contains(std::string(1, static_cast<char>(byte)))) {
      return RefuseModel(
          absl::StrFormat("the vocabulary lacks the byte 0x%02X", byte));
    }
  }
  std::vector<std::string> fillers;
  for (size_t id = 0; id < vocabulary->pieces.size(); ++id) {
    if (!vocabulary->pieces[id].empty()) continue;
    if (id < last_normal) {
      return RefuseModel(absl::StrCat("no piece has id ", id));
    }
    fillers.push_back(PlaceholderPiece(id));
    if (texts.contains(fillers.back())) {
      return RefuseModel(
          absl::StrCat("the vocabulary holds ", Quoted(fillers.back())));
    }
    vocabulary->pieces[id] = fillers.back();
    vocabulary->types[id] = korvel::ModelProto_Piece_Type_UNUSED;
  }
  return absl::OkStatus();
}

absl::Status ReadByteLevelPreTokenizer(const std::vector<const Json*>& steps,
                                       std::vector<SplitPattern>* splits) {
  for (size_t i = 0; i < steps.size(); ++i) {
    const Json& step = *steps[i];
    const std::string type = ComponentType(step);
    if (type == "Split") {
      absl::Status status = ReadSplit(step, splits);
      if (!status.ok()) return status;
      continue;
    }
    if (type != "ByteLevel" || i + 1 != steps.size()) {
      return absl::InvalidArgumentError(absl::StrCat(
          "Unsupported pre-tokenizer: ", type.empty() ? "(no type)" : type,
          type == "ByteLevel" ? " before other steps" : " with ByteLevel",
          " (korvel imports Splits followed by one ByteLevel)"));
    }
    if (FlagMember(step, "add_prefix_space")) {
      return absl::InvalidArgumentError(
          "Unsupported pre-tokenizer: ByteLevel with add_prefix_space");
    }
    const Json* use_regex = Member(step, "use_regex");
    if (use_regex == nullptr || FlagMember(step, "use_regex")) {
      splits->push_back(
          {static_cast<uint32_t>(Family::kGpt2),
           std::string(pretokenizer::PatternOfFamily(Family::kGpt2))});
    }
  }
  return absl::OkStatus();
}

std::string CheckByteLevelDecoder(const Json& root) {
  const Json* decoder = Member(root, "decoder");
  if (decoder == nullptr || ComponentType(*decoder) == "ByteLevel") return "";
  return absl::StrCat("the decoder ", Quoted(ComponentType(*decoder)),
                      " is not read: korvel decodes byte-level pieces to "
                      "their bytes, as the ByteLevel decoder does");
}

}  // namespace korvel::import::hf
