#include "korvel_import/hf_import.h"

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "absl/status/status.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_format.h"
#include "korvel_import/internal/hf_byte_level.h"
#include "korvel_import/internal/hf_document.h"
#include "korvel_import/internal/hf_json.h"
#include "korvel_import/internal/hf_merges.h"
#include "korvel_import/internal/hf_text_pipeline.h"
#include "korvel_import/internal/hf_vocab.h"

namespace korvel::import {
namespace {

using hf::Json;
using hf::Member;
using hf::Vocabulary;

constexpr char kWhitespaceSymbol[] = "\xE2\x96\x81";

int FindPiece(const Vocabulary& vocabulary, const std::string& text) {
  for (size_t id = 0; id < vocabulary.pieces.size(); ++id) {
    if (vocabulary.pieces[id] == text) return static_cast<int>(id);
  }
  return -1;
}

absl::Status MarkUnknown(Vocabulary* vocabulary) {
  if (vocabulary->unk_text.has_value()) {
    vocabulary->unk_id = FindPiece(*vocabulary, *vocabulary->unk_text);
    if (vocabulary->unk_id < 0) {
      return absl::InvalidArgumentError(
          absl::StrCat("The unknown token ", hf::Quoted(*vocabulary->unk_text),
                       " is not in the vocabulary"));
    }
  }
  if (vocabulary->unk_id >= 0) {
    vocabulary->types[vocabulary->unk_id] =
        korvel::ModelProto_Piece_Type_UNKNOWN;
  } else if (!vocabulary->byte_fallback && !vocabulary->byte_level) {
    return absl::InvalidArgumentError(
        "The model has neither an unknown token nor byte fallback");
  }
  return absl::OkStatus();
}

// A byte-fallback model needs the pieces <0x00> ... <0xFF> at consecutive
// ids. Some BPE files hold the raw character of an ASCII byte at its byte
// piece's id instead (a tab for <0x09>). That character then encodes to the
// same id whether it is a piece or falls back to its byte, and merges may
// still join it, so it becomes the byte piece once merges are ranked; its id
// goes to `holes`.
absl::Status MarkBytePieces(Vocabulary* vocabulary, std::vector<int>* holes) {
  if (!vocabulary->byte_fallback) return absl::OkStatus();
  absl::flat_hash_map<std::string, int> ids;
  for (size_t id = 0; id < vocabulary->pieces.size(); ++id) {
    const std::string& piece = vocabulary->pieces[id];
    if (piece.size() == 6 && piece.compare(0, 3, "<0x") == 0) {
      ids.emplace(piece, static_cast<int>(id));
    }
  }
  auto first = ids.find("<0x00>");
  for (int byte = 0; byte < 256; ++byte) {
    auto it = ids.find(absl::StrFormat("<0x%02X>", byte));
    const int id = first == ids.end() ? -1 : first->second + byte;
    if (it != ids.end() && it->second == id) {
      vocabulary->types[id] = korvel::ModelProto_Piece_Type_BYTE;
    } else if (vocabulary->is_bpe && byte < 0x80 && it == ids.end() &&
               id >= 0 && static_cast<size_t>(id) < vocabulary->pieces.size() &&
               vocabulary->pieces[id] == std::string(1, byte) &&
               vocabulary->types[id] == korvel::ModelProto_Piece_Type_NORMAL) {
      holes->push_back(id);
    } else {
      return absl::InvalidArgumentError(
          "byte_fallback needs the pieces <0x00> ... <0xFF> at consecutive "
          "ids (in a BPE model, the raw character of an ASCII byte may stand "
          "for its piece)");
    }
  }
  return absl::OkStatus();
}

void FillByteHoles(const std::vector<int>& holes, Vocabulary* vocabulary) {
  for (const int id : holes) {
    const unsigned char byte = vocabulary->pieces[id][0];
    vocabulary->pieces[id] = absl::StrFormat("<0x%02X>", byte);
    vocabulary->types[id] = korvel::ModelProto_Piece_Type_BYTE;
  }
}

absl::Status ScoreBpePieces(const Json& model,
                            const std::vector<hf::MergeTexts>& merges,
                            Vocabulary* vocabulary) {
  const size_t size = vocabulary->pieces.size();
  std::vector<bool> mergeable(size);
  for (size_t id = 0; id < size; ++id) {
    mergeable[id] =
        vocabulary->types[id] == korvel::ModelProto_Piece_Type_NORMAL;
  }
  std::vector<bool> cut_out(size);
  for (size_t id = 0; id < size; ++id) {
    cut_out[id] =
        vocabulary->types[id] == korvel::ModelProto_Piece_Type_USER_DEFINED;
  }
  const Json* list = Member(model, "merges");
  if (list == nullptr || !list->is_array()) {
    return absl::InvalidArgumentError("BPE model has no \"merges\" list");
  }
  absl::StatusOr<std::vector<int>> first_rank = hf::RankMerges(
      merges, vocabulary->pieces, mergeable, cut_out, vocabulary->byte_level,
      vocabulary->byte_level ? &vocabulary->unjoined_pieces : nullptr);
  if (!first_rank.ok()) return first_rank.status();
  for (size_t id = 0; id < size; ++id) {
    const int rank = (*first_rank)[id];
    if (rank >= 0) {
      vocabulary->scores[id] = -static_cast<float>(rank);
    } else if (mergeable[id] && !vocabulary->pieces[id].empty() &&
               !hf::IsSingleSymbol(vocabulary->pieces[id],
                                   vocabulary->byte_level)) {
      vocabulary->types[id] = korvel::ModelProto_Piece_Type_UNUSED;
    }
  }
  return absl::OkStatus();
}

// Words end before every whitespace symbol, so a piece holding one after its
// first character could join two words.
void MarkCrossWordPiecesUnused(Vocabulary* vocabulary) {
  for (size_t id = 0; id < vocabulary->pieces.size(); ++id) {
    if (vocabulary->types[id] == korvel::ModelProto_Piece_Type_NORMAL &&
        vocabulary->pieces[id].find(kWhitespaceSymbol, 1) !=
            std::string::npos) {
      vocabulary->types[id] = korvel::ModelProto_Piece_Type_UNUSED;
    }
  }
}

bool IsControl(const Vocabulary& vocabulary, const std::string& text) {
  const int id = FindPiece(vocabulary, text);
  return id >= 0 &&
         vocabulary.types[id] == korvel::ModelProto_Piece_Type_CONTROL;
}

// The special tokens that a post-processor template puts before and after
// the first sequence.
void ReadTemplateSpecials(const Json& root, std::string* before,
                          std::string* after) {
  const Json* processor = Member(root, "post_processor");
  if (processor == nullptr) return;
  if (hf::ComponentType(*processor) == "Sequence") {
    const Json* list = Member(*processor, "processors");
    if (list == nullptr || !list->is_array()) return;
    for (const Json& child : *list) {
      if (hf::ComponentType(child) == "TemplateProcessing") {
        processor = &child;
        break;
      }
    }
  }
  if (hf::ComponentType(*processor) != "TemplateProcessing") return;
  const Json* single = Member(*processor, "single");
  if (single == nullptr || !single->is_array()) return;
  bool seen_sequence = false;
  for (const Json& item : *single) {
    if (Member(item, "Sequence") != nullptr) seen_sequence = true;
    const Json* special = Member(item, "SpecialToken");
    const std::string* text =
        special ? hf::StringMember(*special, "id") : nullptr;
    if (text == nullptr) continue;
    std::string* target = seen_sequence ? after : before;
    if (target->empty()) *target = *text;
  }
}

// The first of `candidates` that is a CONTROL piece, or "".
std::string FirstControl(const Vocabulary& vocabulary,
                         std::initializer_list<const char*> candidates) {
  for (const char* candidate : candidates) {
    if (IsControl(vocabulary, candidate)) return candidate;
  }
  return std::string();
}

void SetSpecialNames(const Json& root, const Vocabulary& vocabulary,
                     korvel::TrainerSpec* trainer) {
  std::string bos;
  std::string eos;
  ReadTemplateSpecials(root, &bos, &eos);
  if (!IsControl(vocabulary, bos)) {
    bos = FirstControl(vocabulary, {"<s>", "<bos>", "<|begin_of_text|>"});
  }
  if (!IsControl(vocabulary, eos)) {
    eos = FirstControl(vocabulary,
                       {"</s>", "<eos>", "<|end_of_text|>", "<|endoftext|>"});
  }
  const std::string pad = FirstControl(vocabulary, {"<pad>", "[PAD]"});
  if (!bos.empty()) trainer->set_bos_piece(bos);
  if (!eos.empty()) trainer->set_eos_piece(eos);
  if (!pad.empty()) trainer->set_pad_piece(pad);
}

// The contents of the added tokens, which a byte-level vocabulary holds as
// they are rather than spelled in its byte alphabet.
absl::flat_hash_set<std::string> AddedTokenTexts(const Json& root) {
  absl::flat_hash_set<std::string> texts;
  const Json* added_tokens = Member(root, "added_tokens");
  if (added_tokens == nullptr || !added_tokens->is_array()) return texts;
  for (const Json& token : *added_tokens) {
    if (const std::string* content = hf::StringMember(token, "content")) {
      texts.insert(*content);
    }
  }
  return texts;
}

absl::Status ReadVocabulary(const Json& root, const Json& model,
                            const std::vector<hf::MergeTexts>& merges,
                            bool spaces_replaced, bool byte_level,
                            Vocabulary* vocabulary) {
  const std::string* type = hf::StringMember(model, "type");
  std::string model_type = type == nullptr ? std::string() : *type;
  if (model_type.empty()) {  // Older files leave the type out.
    const Json* vocab = Member(model, "vocab");
    if (Member(model, "merges") != nullptr) {
      model_type = "BPE";
    } else if (vocab != nullptr && vocab->is_array()) {
      model_type = "Unigram";
    }
  }
  absl::Status status;
  std::vector<hf::MergeTexts> unspelled;
  if (byte_level && model_type != "BPE") {
    return absl::InvalidArgumentError(absl::StrCat(
        "Unsupported model: ", model_type.empty() ? "(no type)" : model_type,
        " with a ByteLevel pre-tokenizer", hf::kWhatKorvelImports));
  } else if (byte_level) {
    status = hf::ReadByteLevelModel(model, AddedTokenTexts(root), vocabulary);
    unspelled = merges;
    if (status.ok()) status = hf::UnspellMerges(&unspelled);
  } else if (model_type == "BPE") {
    status = hf::ReadBpeModel(model, vocabulary);
  } else if (model_type == "Unigram") {
    status = hf::ReadUnigramModel(model, vocabulary);
  } else {
    return absl::InvalidArgumentError(absl::StrCat(
        "Unsupported model: ", model_type.empty() ? "(no type)" : model_type,
        hf::kWhatKorvelImports));
  }
  if (!status.ok()) return status;
  if (const Json* added_tokens = Member(root, "added_tokens")) {
    status = hf::ApplyAddedTokens(*added_tokens, spaces_replaced, vocabulary);
    if (!status.ok()) return status;
  }
  if (vocabulary->pieces.empty()) {
    return absl::InvalidArgumentError("The model's vocabulary is empty");
  }
  std::vector<int> byte_holes;
  status = MarkUnknown(vocabulary);
  if (status.ok()) status = MarkBytePieces(vocabulary, &byte_holes);
  if (status.ok() && byte_level) status = hf::FillByteLevelHoles(vocabulary);
  if (status.ok() && vocabulary->is_bpe) {
    status = ScoreBpePieces(model, byte_level ? unspelled : merges, vocabulary);
  }
  if (status.ok()) FillByteHoles(byte_holes, vocabulary);
  if (status.ok() && byte_level) hf::SetAsideInnerZeroBytePieces(vocabulary);
  return status;
}

// What the import keeps of a tokenizer.json once its document is freed.
struct Tokenizer {
  hf::TextPipeline pipeline;
  Vocabulary vocabulary;
  korvel::TrainerSpec trainer;  // Only the special piece names.
  std::string decoder_warning;
};

// A byte-level model takes its text as it is, apart from a character map.
absl::Status CheckByteLevelPipeline(const hf::TextPipeline& pipeline) {
  if (!pipeline.byte_level ||
      (!pipeline.escape_whitespaces && !pipeline.add_dummy_prefix &&
       !pipeline.collapses_spaces && !pipeline.strips_left &&
       !pipeline.strips_right)) {
    return absl::OkStatus();
  }
  return absl::InvalidArgumentError(
      "Unsupported normalizer: Replace, Prepend or Strip before a ByteLevel "
      "pre-tokenizer (korvel imports NFC and NFKC there)");
}

// Parses the document and reads everything the model needs from it; the
// document is freed on return, before the model is built.
absl::Status ReadTokenizer(std::string_view tokenizer_json,
                           Tokenizer* tokenizer) {
  absl::StatusOr<hf::Document> parsed = hf::ParseDocument(tokenizer_json);
  if (!parsed.ok()) return parsed.status();
  const hf::Document& document = *parsed;
  const Json& root = document.root;
  const Json* model = Member(root, "model");
  if (model == nullptr || !model->is_object()) {
    return absl::InvalidArgumentError("tokenizer.json has no \"model\" object");
  }
  absl::StatusOr<hf::TextPipeline> pipeline = hf::ReadTextPipeline(root);
  if (!pipeline.ok()) return pipeline.status();
  tokenizer->pipeline = *std::move(pipeline);
  absl::Status status = CheckByteLevelPipeline(tokenizer->pipeline);
  if (!status.ok()) return status;
  Vocabulary& vocabulary = tokenizer->vocabulary;
  status = ReadVocabulary(root, *model, document.merges,
                          tokenizer->pipeline.normalizer_replaces_spaces,
                          tokenizer->pipeline.byte_level, &vocabulary);
  if (!status.ok()) return status;
  if (vocabulary.byte_level) {
    tokenizer->decoder_warning = hf::CheckByteLevelDecoder(root);
  }
  if (tokenizer->pipeline.split_before_whitespace_symbol) {
    MarkCrossWordPiecesUnused(&vocabulary);
  }
  SetSpecialNames(root, vocabulary, &tokenizer->trainer);
  return absl::OkStatus();
}

void AddWarnings(const Tokenizer& tokenizer,
                 std::vector<std::string>* warnings) {
  if (!tokenizer.pipeline.difference.empty()) {
    warnings->push_back(tokenizer.pipeline.difference);
  }
  if (!tokenizer.decoder_warning.empty()) {
    warnings->push_back(tokenizer.decoder_warning);
  }
  if (tokenizer.vocabulary.inner_zero_pieces > 0) {
    warnings->push_back(
        hf::InnerZeroByteWarning(tokenizer.vocabulary.inner_zero_pieces));
  }
  if (tokenizer.vocabulary.unjoined_pieces > 0) {
    warnings->push_back(absl::StrCat(
        "rare texts may encode differently: ",
        tokenizer.vocabulary.unjoined_pieces,
        " pieces also split into two parts that no merge joins; korvel "
        "joins any two symbols that make a piece, as tiktoken does"));
  }
  if (tokenizer.vocabulary.cut_out_added_tokens &&
      tokenizer.pipeline.prefix_after_added_tokens) {
    warnings->push_back(
        "texts holding an added token that is not special encode "
        "differently: the original puts \"\xE2\x96\x81\" before the text "
        "after the token too, korvel only at the start");
  }
  if (tokenizer.vocabulary.added_whitespace_symbol_pieces) {
    warnings->push_back(
        "texts holding the character \"\xE2\x96\x81\" (U+2581) itself "
        "encode differently: the original matches its unnormalized added "
        "tokens of \"\xE2\x96\x81\" there, korvel reads the character as "
        "a space");
  }
}

korvel::ModelProto BuildModel(Tokenizer* tokenizer) {
  Vocabulary& vocabulary = tokenizer->vocabulary;
  korvel::ModelProto proto;
  korvel::TrainerSpec* trainer = proto.mutable_trainer_spec();
  trainer->Swap(&tokenizer->trainer);
  proto.mutable_pieces()->Reserve(static_cast<int>(vocabulary.pieces.size()));
  for (size_t id = 0; id < vocabulary.pieces.size(); ++id) {
    korvel::ModelProto_Piece* piece = proto.add_pieces();
    piece->set_piece(std::move(vocabulary.pieces[id]));
    piece->set_score(vocabulary.scores[id]);
    piece->set_type(vocabulary.types[id]);
  }
  trainer->set_model_type(
      vocabulary.byte_level ? korvel::TrainerSpec_ModelType_BYTE_LEVEL_BPE
      : vocabulary.is_bpe   ? korvel::TrainerSpec_ModelType_BPE
                            : korvel::TrainerSpec_ModelType_UNIGRAM);
  trainer->set_unk_id(vocabulary.unk_id);
  trainer->set_byte_fallback(vocabulary.byte_fallback);
  trainer->set_treat_whitespace_as_suffix(false);

  hf::TextPipeline& pipeline = tokenizer->pipeline;
  if (vocabulary.byte_level) {
    korvel::ByteLevelSpec* byte_level = proto.mutable_byte_level();
    byte_level->set_ignore_merges(vocabulary.ignore_merges);
    for (hf::SplitPattern& split : pipeline.splits) {
      korvel::PretokenizerStep* step = byte_level->add_pretokenizer();
      step->set_family(split.family);
      step->set_pattern(std::move(split.pattern));
    }
  }
  korvel::NormalizerSpec* normalizer = proto.mutable_normalizer_spec();
  normalizer->set_name(pipeline.precompiled_charsmap.empty() ? "identity"
                                                             : "precompiled");
  normalizer->set_precompiled_charsmap(
      std::move(pipeline.precompiled_charsmap));
  normalizer->set_add_dummy_prefix(pipeline.add_dummy_prefix);
  normalizer->set_remove_extra_whitespaces(pipeline.collapses_spaces);
  normalizer->set_escape_whitespaces(pipeline.escape_whitespaces);
  return proto;
}

}  // namespace

absl::StatusOr<korvel::ModelProto> ImportHuggingFaceTokenizer(
    std::string_view tokenizer_json, std::vector<std::string>* warnings) {
  Tokenizer tokenizer;
  absl::Status status = ReadTokenizer(tokenizer_json, &tokenizer);
  if (!status.ok()) return status;
  if (warnings != nullptr) AddWarnings(tokenizer, warnings);
  return BuildModel(&tokenizer);
}

}  // namespace korvel::import
