#include "korvel_import/internal/hf_vocab.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>

#include "absl/status/status.h"
#include "absl/status/statusor.h"
#include "absl/strings/str_cat.h"

namespace korvel::import::hf {
namespace {

constexpr char kWhitespaceSymbol[] = "\xE2\x96\x81";
// The longest piece a model may hold. Checked as pieces are read, since
// ranking merges takes time quadratic in the length of a produced piece.
constexpr size_t kMaxPieceBytes = 4096;

absl::Status CheckLength(const std::string& piece) {
  if (piece.size() <= kMaxPieceBytes) return absl::OkStatus();
  return absl::InvalidArgumentError(
      absl::StrCat("The piece ", Quoted(piece), " is longer than 4,096 bytes"));
}

// Ids of a full model are int32; a tokenizer.json may hold any JSON number.
bool ReadId(const Json& value, int64_t limit, int64_t* id) {
  if (!value.is_number_integer()) return false;
  if (value.is_number_unsigned()) {
    const uint64_t unsigned_id = value.get<uint64_t>();
    if (unsigned_id >= static_cast<uint64_t>(limit)) return false;
    *id = static_cast<int64_t>(unsigned_id);
    return true;
  }
  *id = value.get<int64_t>();
  return *id >= 0 && *id < limit;
}

// Finds the model's "vocab" (an object for BPE, a list for Unigram), records
// the model kind and byte fallback, and makes room for every piece.
absl::StatusOr<const Json*> StartVocabulary(const Json& model, bool is_bpe,
                                            Vocabulary* vocabulary) {
  const char* kind = is_bpe ? "BPE" : "Unigram";
  const Json* vocab = Member(model, "vocab");
  if (vocab == nullptr || (is_bpe ? !vocab->is_object() : !vocab->is_array())) {
    return absl::InvalidArgumentError(absl::StrCat(
        kind, " model has no \"vocab\" ", is_bpe ? "object" : "list"));
  }
  const int64_t size = static_cast<int64_t>(vocab->size());
  if (size > INT32_MAX) {
    return absl::InvalidArgumentError(
        absl::StrCat(kind, " vocabulary is too large"));
  }
  vocabulary->is_bpe = is_bpe;
  vocabulary->byte_fallback = FlagMember(model, "byte_fallback");
  vocabulary->pieces.resize(size);
  vocabulary->scores.resize(size, 0.0f);
  vocabulary->types.resize(size, korvel::ModelProto_Piece_Type_NORMAL);
  return vocab;
}

absl::Status RefuseOption(const char* option) {
  return absl::InvalidArgumentError(
      absl::StrCat("Unsupported BPE option: ", option));
}

absl::Status CheckBpeOptions(const Json& model) {
  if (const Json* dropout = Member(model, "dropout")) {
    if (!dropout->is_number() || dropout->get<double>() != 0.0) {
      return RefuseOption("dropout");
    }
  }
  if (FlagMember(model, "ignore_merges")) return RefuseOption("ignore_merges");
  for (const char* affix :
       {"continuing_subword_prefix", "end_of_word_suffix"}) {
    const std::string* text = StringMember(model, affix);
    if (Member(model, affix) != nullptr &&
        (text == nullptr || !text->empty())) {
      return RefuseOption(affix);
    }
  }
  return absl::OkStatus();
}

// Options of a token that is not special: the text must reach the runtime
// as it stands.
absl::Status CheckPlainToken(const Json& token, const std::string& content,
                             bool special, bool spaces_replaced) {
  if (special) return absl::OkStatus();
  for (const char* option : {"lstrip", "rstrip", "single_word"}) {
    if (FlagMember(token, option)) {
      return absl::InvalidArgumentError(absl::StrCat(
          "Unsupported added token option: ", option, " on ", Quoted(content)));
    }
  }
  if (spaces_replaced && content.find(' ') != std::string::npos) {
    return absl::InvalidArgumentError(
        absl::StrCat("Unsupported added token: ", Quoted(content),
                     " holds a space, which the normalizer replaces"));
  }
  return absl::OkStatus();
}

}  // namespace

absl::Status ReadBpeModel(const Json& model, Vocabulary* vocabulary) {
  absl::Status status = CheckBpeOptions(model);
  if (!status.ok()) return status;
  absl::StatusOr<const Json*> vocab = StartVocabulary(model, true, vocabulary);
  if (!vocab.ok()) return vocab.status();
  const int64_t size = static_cast<int64_t>((*vocab)->size());
  std::vector<bool> seen(size);
  for (const auto& [text, value] : (*vocab)->items()) {
    int64_t id = 0;
    if (!ReadId(value, size, &id) || seen[id]) {
      return absl::InvalidArgumentError(
          absl::StrCat("BPE vocabulary ids are not 0 to ", size - 1,
                       " each once (at ", Quoted(text), ")"));
    }
    absl::Status status = CheckLength(text);
    if (!status.ok()) return status;
    seen[id] = true;
    vocabulary->pieces[id] = text;
  }
  if (const std::string* unk = StringMember(model, "unk_token")) {
    vocabulary->unk_text = *unk;
  }
  const Json* fuse_unk = Member(model, "fuse_unk");
  if (!vocabulary->byte_fallback && fuse_unk != nullptr &&
      !(fuse_unk->is_boolean() && fuse_unk->get<bool>())) {
    return RefuseOption("fuse_unk false without byte_fallback");
  }
  return absl::OkStatus();
}

absl::Status ReadUnigramModel(const Json& model, Vocabulary* vocabulary) {
  absl::StatusOr<const Json*> vocab = StartVocabulary(model, false, vocabulary);
  if (!vocab.ok()) return vocab.status();
  const int64_t size = static_cast<int64_t>((*vocab)->size());
  for (int64_t id = 0; id < size; ++id) {
    const Json& entry = (**vocab)[id];
    if (!entry.is_array() || entry.size() != 2 || !entry[0].is_string() ||
        !entry[1].is_number()) {
      return absl::InvalidArgumentError(absl::StrCat(
          "Unigram vocabulary entry ", id, " is not [piece, score]"));
    }
    const double score = entry[1].get<double>();
    if (!(std::fabs(score) <= std::numeric_limits<float>::max())) {
      return absl::InvalidArgumentError(absl::StrCat(
          "Unigram vocabulary entry ", id, " has a score beyond float range"));
    }
    vocabulary->pieces[id] = entry[0].get<std::string>();
    absl::Status status = CheckLength(vocabulary->pieces[id]);
    if (!status.ok()) return status;
    vocabulary->scores[id] = static_cast<float>(score);
  }
  if (const Json* unk_id = Member(model, "unk_id")) {
    int64_t id = 0;
    if (!ReadId(*unk_id, size, &id)) {
      return absl::InvalidArgumentError(
          "Unigram unk_id is not a vocabulary id");
    }
    vocabulary->unk_id = static_cast<int>(id);
  }
  return absl::OkStatus();
}

absl::Status ApplyAddedTokens(const Json& added_tokens, bool spaces_replaced,
                              Vocabulary* vocabulary) {
  if (!added_tokens.is_array()) {
    return absl::InvalidArgumentError("\"added_tokens\" is not a list");
  }
  const int64_t model_size = static_cast<int64_t>(vocabulary->pieces.size());
  std::map<int64_t, std::pair<std::string, PieceType>> appended;
  for (const Json& token : added_tokens) {
    const std::string* content = StringMember(token, "content");
    const Json* id_value = Member(token, "id");
    int64_t id = 0;
    if (content == nullptr || id_value == nullptr ||
        !ReadId(*id_value, INT32_MAX, &id)) {
      return absl::InvalidArgumentError(
          "An added token lacks a content text or a valid id");
    }
    const bool special = FlagMember(token, "special");
    absl::Status status = CheckLength(*content);
    if (status.ok()) {
      status = CheckPlainToken(token, *content, special, spaces_replaced);
    }
    if (!status.ok()) return status;
    const bool normalized = Member(token, "normalized") == nullptr
                                ? !special
                                : FlagMember(token, "normalized");
    const bool model_piece =
        !special && !normalized && spaces_replaced &&
        content->find(kWhitespaceSymbol) != std::string::npos;
    const PieceType type = special ? korvel::ModelProto_Piece_Type_CONTROL
                           : model_piece
                               ? korvel::ModelProto_Piece_Type_NORMAL
                               : korvel::ModelProto_Piece_Type_USER_DEFINED;
    const std::string& known =
        id < model_size
            ? vocabulary->pieces[id]
            : appended.try_emplace(id, *content, type).first->second.first;
    if (known != *content) {
      return absl::InvalidArgumentError(
          absl::StrCat("Added token ", Quoted(*content), " has id ", id,
                       ", which is ", Quoted(known)));
    }
    if (id < model_size) vocabulary->types[id] = type;
    if (model_piece) vocabulary->added_whitespace_symbol_pieces = true;
    if (type == korvel::ModelProto_Piece_Type_USER_DEFINED) {
      vocabulary->cut_out_added_tokens = true;
    }
  }
  int64_t next = model_size;
  for (const auto& [id, token] : appended) {
    if (id != next) {
      return absl::InvalidArgumentError(
          absl::StrCat("Added tokens leave id ", next, " without a piece"));
    }
    vocabulary->pieces.push_back(token.first);
    vocabulary->scores.push_back(0.0f);
    vocabulary->types.push_back(token.second);
    ++next;
  }
  return absl::OkStatus();
}

}  // namespace korvel::import::hf
