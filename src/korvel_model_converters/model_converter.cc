#include "korvel_model_converters/model_converter.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/status/status.h"
#include "absl/strings/str_cat.h"
#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_model_converters/bigram_trie.h"
#include "korvel_model_converters/internal/direct_mapping.h"
#include "korvel_model_converters/internal/double_array_blob.h"

namespace korvel::lite {
namespace {

constexpr int kMaxVocabSize = 16000000;
constexpr size_t kMaxPieceBytes = 4096;
// The largest float below 2^31: every BPE score up to it fits an int32.
constexpr float kMaxBpeScoreMagnitude = 2147483520.0f;

// The stored text of a byte-level model's piece of byte 0.
constexpr std::string_view kZeroBytePiece = "<0x00>";

using TriePairs = std::vector<std::pair<std::string_view, int>>;

// What the conversion takes from the trainer spec.
struct TrainerSettings {
  bool is_bpe = false;
  bool byte_level = false;
  bool byte_fallback = false;
  std::string bos_piece = "<s>";
  std::string eos_piece = "</s>";
  std::string pad_piece = "<pad>";
};

bool IsSupportedModelType(int model_type, const ConverterOptions& options) {
  if (model_type == korvel::TrainerSpec::UNIGRAM ||
      model_type == korvel::TrainerSpec::BPE ||
      model_type == korvel::TrainerSpec::BYTE_LEVEL_BPE) {
    return true;
  }
  return options.allow_extended_model_types &&
         (model_type == korvel::TrainerSpec::WORD ||
          model_type == korvel::TrainerSpec::CHAR);
}

std::string OrDefault(const std::string& text, const char* fallback) {
  return text.empty() ? std::string(fallback) : text;
}

absl::Status ReadTrainerSpec(const korvel::ModelProto& model,
                             const ConverterOptions& options,
                             TrainerSettings* settings, ModelProtoT* lite) {
  const bool byte_level_type =
      model.trainer_spec().model_type() == korvel::TrainerSpec::BYTE_LEVEL_BPE;
  if (byte_level_type != model.has_byte_level()) {
    return absl::InvalidArgumentError(
        "A byte-level model needs both model type BYTE_LEVEL_BPE and a "
        "byte_level spec.");
  }
  if (!model.has_trainer_spec()) return absl::OkStatus();
  const korvel::TrainerSpec& trainer = model.trainer_spec();
  if (!IsSupportedModelType(trainer.model_type(), options)) {
    return absl::InvalidArgumentError(
        absl::StrCat("Unsupported model type: ",
                     korvel::TrainerSpec_ModelType_Name(trainer.model_type())));
  }
  settings->byte_level = byte_level_type;
  settings->is_bpe =
      trainer.model_type() == korvel::TrainerSpec::BPE || byte_level_type;
  settings->byte_fallback = trainer.byte_fallback();
  lite->unk_id = trainer.unk_id();
  lite->unk_surface = trainer.unk_surface();
  lite->model_type = byte_level_type
                         ? ModelType_BYTE_LEVEL_BPE
                         : static_cast<ModelType>(trainer.model_type());
  settings->bos_piece = OrDefault(trainer.bos_piece(), "<s>");
  settings->eos_piece = OrDefault(trainer.eos_piece(), "</s>");
  settings->pad_piece = OrDefault(trainer.pad_piece(), "<pad>");
  return absl::OkStatus();
}

absl::Status PieceError(int id, const char* problem) {
  return absl::InvalidArgumentError(
      absl::StrCat("Piece at index ", id, " ", problem));
}

// The lite form of a byte-level piece: its bytes, except that the piece of
// byte 0, which no trie key can hold, is stored as the BYTE piece "<0x00>".
absl::Status StoreBytePiece(int id, std::string* text, int* type) {
  if (*text == kZeroBytePiece) {
    return PieceError(id,
                      "of a byte-level model is \"<0x00>\", the stored "
                      "name of the piece of byte 0.");
  }
  if (*text == std::string_view("\0", 1)) {
    *text = kZeroBytePiece;
    *type = korvel::ModelProto::Piece::BYTE;
    return absl::OkStatus();
  }
  if (*type == korvel::ModelProto::Piece::BYTE) {
    return PieceError(id, "of a byte-level model is a BYTE piece.");
  }
  if (text->find('\0') != std::string::npos) {
    return PieceError(id, "is invalid (contains null byte).");
  }
  return absl::OkStatus();
}

// Every byte is a symbol of a byte-level model, so each needs its piece.
absl::Status CheckByteLevelBytes(const ModelProtoT& lite) {
  bool found[256] = {};
  for (size_t id = 0; id < lite.pieces.size(); ++id) {
    const std::string& text = lite.pieces[id];
    if (text == kZeroBytePiece) found[0] = true;
    if (text.size() == 1 && (lite.types[id] == PieceType_NORMAL ||
                             lite.types[id] == PieceType_USER_DEFINED)) {
      found[static_cast<unsigned char>(text[0])] = true;
    }
  }
  for (int b = 0; b < 256; ++b) {
    if (!found[b]) {
      return absl::InvalidArgumentError(
          absl::StrCat("The byte-level model has no NORMAL piece for byte ",
                       absl::Hex(b, absl::kZeroPad2), "."));
    }
  }
  return absl::OkStatus();
}

// The byte-level spec; family numbers that do not fit the lite field run
// their pattern through the regex engine.
std::unique_ptr<ByteLevelSpecT> CopyByteLevelSpec(
    const korvel::ModelProto& model) {
  auto spec = std::make_unique<ByteLevelSpecT>();
  spec->ignore_merges = model.byte_level().ignore_merges();
  for (const korvel::PretokenizerStep& full :
       model.byte_level().pretokenizer()) {
    auto step = std::make_unique<PretokenizerStepT>();
    step->family =
        full.family() <= 255 ? static_cast<uint8_t>(full.family()) : 0;
    step->pattern = full.pattern();
    spec->pretokenizer.push_back(std::move(step));
  }
  return spec;
}

// Copies the pieces with their scores and types, and lists the keys of the
// piece trie and the user-defined trie. The listed keys are views into
// `lite->pieces`, which is reserved up front so that its strings never move.
absl::Status CopyPieces(const korvel::ModelProto& model,
                        const ConverterOptions& options,
                        const TrainerSettings& settings, ModelProtoT* lite,
                        TriePairs* piece_pairs, TriePairs* user_defined_pairs) {
  const int vocab_size = model.pieces_size();
  lite->pieces.reserve(vocab_size);
  lite->types.reserve(vocab_size);
  if (settings.is_bpe) {
    lite->bpe_scores.reserve(vocab_size);
  } else {
    lite->scores.reserve(vocab_size);
  }
  piece_pairs->reserve(vocab_size);
  for (int id = 0; id < vocab_size; ++id) {
    const korvel::ModelProto::Piece& piece = model.pieces(id);
    const std::string& text = piece.piece();
    if (text.empty() || text.size() > kMaxPieceBytes) {
      return PieceError(id, "is invalid (empty or too long).");
    }
    int type = piece.type();
    std::string stored_text = text;
    if (settings.byte_level) {
      absl::Status status = StoreBytePiece(id, &stored_text, &type);
      if (!status.ok()) return status;
    } else if (text.find('\0') != std::string::npos) {
      if (text.size() != 1 || !options.rename_null_byte_piece ||
          !settings.byte_fallback) {
        return PieceError(id, "is invalid (contains null byte).");
      }
      stored_text = absl::StrCat("<unused_", id, ">");
      type = korvel::ModelProto::Piece::UNUSED;
    }
    lite->pieces.push_back(std::move(stored_text));
    const std::string_view key = lite->pieces.back();
    piece_pairs->emplace_back(key, id);

    if (type == korvel::ModelProto::Piece::CONTROL) {
      if (key == settings.bos_piece) lite->bos_id = id;
      if (key == settings.eos_piece) lite->eos_id = id;
      if (key == settings.pad_piece) lite->pad_id = id;
    } else if (type == korvel::ModelProto::Piece::USER_DEFINED) {
      user_defined_pairs->emplace_back(key, id);
    }

    const float score = piece.score();
    if (settings.is_bpe) {
      if (std::isnan(score) || std::fabs(score) > kMaxBpeScoreMagnitude) {
        return PieceError(id, "has an invalid BPE score.");
      }
      lite->bpe_scores.push_back(static_cast<int32_t>(score));
    } else {
      lite->scores.push_back(score);
    }
    lite->types.push_back(static_cast<PieceType>(type));
  }
  return absl::OkStatus();
}

std::unique_ptr<NormalizerSpecT> CopyNormalizerSpec(
    const korvel::ModelProto& model) {
  if (!model.has_normalizer_spec()) return nullptr;
  const korvel::NormalizerSpec& full = model.normalizer_spec();
  auto spec = std::make_unique<NormalizerSpecT>();
  spec->name = full.name();
  spec->precompiled_charsmap.assign(full.precompiled_charsmap().begin(),
                                    full.precompiled_charsmap().end());
  spec->add_dummy_prefix = full.add_dummy_prefix();
  spec->remove_extra_whitespaces = full.remove_extra_whitespaces();
  spec->escape_whitespaces = full.escape_whitespaces();
  spec->treat_whitespace_as_suffix =
      model.has_trainer_spec() &&
      model.trainer_spec().treat_whitespace_as_suffix();
  return spec;
}

}  // namespace

absl::StatusOr<std::string> ToFlatbuffer(const korvel::ModelProto& model,
                                         const ConverterOptions& options) {
  const int vocab_size = model.pieces_size();
  if (vocab_size < 1 || vocab_size > kMaxVocabSize) {
    return absl::InvalidArgumentError(
        absl::StrCat("Model vocabulary size (", vocab_size,
                     ") is out of safe bounds [1, 16,000,000]."));
  }

  ModelProtoT lite;
  TrainerSettings settings;
  absl::Status status = ReadTrainerSpec(model, options, &settings, &lite);
  if (!status.ok()) return status;

  TriePairs piece_pairs;
  TriePairs user_defined_pairs;
  status = CopyPieces(model, options, settings, &lite, &piece_pairs,
                      &user_defined_pairs);
  if (!status.ok()) return status;
  lite.normalizer_spec = CopyNormalizerSpec(model);
  if (settings.byte_level) {
    status = CheckByteLevelBytes(lite);
    if (!status.ok()) return status;
    lite.byte_level = CopyByteLevelSpec(model);
  }

  absl::StatusOr<std::vector<uint8_t>> trie =
      BuildDoubleArrayBlob(std::move(piece_pairs));
  if (!trie.ok()) return trie.status();
  lite.piece_trie = *std::move(trie);
  if (!user_defined_pairs.empty()) {
    trie = BuildDoubleArrayBlob(std::move(user_defined_pairs));
    if (!trie.ok()) return trie.status();
    lite.user_defined_trie = *std::move(trie);
  }
  // Byte-level text is cut into pre-tokens instead.
  if (!settings.byte_level &&
      (settings.is_bpe || !options.bigram_trie_for_bpe_only)) {
    trie = BuildBigramTrieBlob(lite.pieces);
    if (!trie.ok()) return trie.status();
    lite.bigram_trie = *std::move(trie);
  }
  // With ignore_merges every piece maps directly anyway.
  if (settings.is_bpe &&
      !(settings.byte_level && lite.byte_level->ignore_merges)) {
    status = DecideDirectMapping(&lite);
    if (!status.ok()) return status;
  }

  flatbuffers::FlatBufferBuilder builder;
  FinishLiteModel(lite, &builder);
  return std::string(reinterpret_cast<const char*>(builder.GetBufferPointer()),
                     builder.GetSize());
}

absl::StatusOr<std::string> ToVerifiedFlatbuffer(
    const korvel::ModelProto& model, const ConverterOptions& options) {
  absl::StatusOr<std::string> lite_model = ToFlatbuffer(model, options);
  if (!lite_model.ok()) return lite_model;
  const KorvelLiteProcessor check(*lite_model);
  if (check.status() != absl::StatusCode::kOk) {
    return absl::InternalError(
        absl::StrCat("the converted model does not load (",
                     absl::StatusCodeToString(check.status()), ")"));
  }
  return lite_model;
}

}  // namespace korvel::lite
