#include "korvel_import/vocab_import.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "absl/status/status.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_format.h"

namespace korvel::import {
namespace {

korvel::ModelProto_Piece_Type TypeOf(std::string_view piece) {
  if (piece == "<unk>") return korvel::ModelProto_Piece_Type_UNKNOWN;
  if (piece == "<s>" || piece == "</s>" || piece == "<pad>") {
    return korvel::ModelProto_Piece_Type_CONTROL;
  }
  return korvel::ModelProto_Piece_Type_NORMAL;
}

// The id of <0x00> when the pieces <0x00> ... <0xFF> follow each other from
// there, else -1.
int FindByteRange(const korvel::ModelProto& model) {
  for (int first = 0; first + 256 <= model.pieces_size(); ++first) {
    if (model.pieces(first).piece() != "<0x00>") continue;
    for (int byte = 1; byte < 256; ++byte) {
      if (model.pieces(first + byte).piece() !=
          absl::StrFormat("<0x%02X>", byte)) {
        return -1;
      }
    }
    return first;
  }
  return -1;
}

}  // namespace

absl::StatusOr<korvel::ModelProto> ImportVocabulary(std::string_view tsv) {
  korvel::ModelProto model;
  int line_number = 0;
  int unk_id = -1;
  while (!tsv.empty()) {
    const size_t end = std::min(tsv.find('\n'), tsv.size());
    std::string_view line = tsv.substr(0, end);
    tsv.remove_prefix(std::min(end + 1, tsv.size()));
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const size_t tab = line.rfind('\t');
    float score = 0.0f;
    if (tab == std::string_view::npos ||
        !absl::SimpleAtof(
            absl::string_view(line.data() + tab + 1, line.size() - tab - 1),
            &score) ||
        !std::isfinite(score)) {
      return absl::InvalidArgumentError(absl::StrCat(
          "Vocabulary line ", line_number, " is not \"piece<TAB>score\""));
    }
    const std::string_view text = line.substr(0, tab);
    korvel::ModelProto_Piece* piece = model.add_pieces();
    piece->set_piece(std::string(text));
    piece->set_score(score);
    piece->set_type(TypeOf(text));
    if (unk_id < 0 && piece->type() == korvel::ModelProto_Piece_Type_UNKNOWN) {
      unk_id = model.pieces_size() - 1;
    }
  }
  if (unk_id < 0) {
    return absl::InvalidArgumentError("The vocabulary has no \"<unk>\" piece");
  }
  const int first_byte = FindByteRange(model);
  const bool byte_fallback = first_byte >= 0;
  for (int id = first_byte; byte_fallback && id < first_byte + 256; ++id) {
    model.mutable_pieces(id)->set_type(korvel::ModelProto_Piece_Type_BYTE);
  }
  korvel::TrainerSpec* trainer = model.mutable_trainer_spec();
  trainer->set_model_type(korvel::TrainerSpec_ModelType_UNIGRAM);
  trainer->set_unk_id(unk_id);
  trainer->set_byte_fallback(byte_fallback);
  korvel::NormalizerSpec* normalizer = model.mutable_normalizer_spec();
  normalizer->set_name("identity");
  normalizer->set_add_dummy_prefix(true);
  normalizer->set_remove_extra_whitespaces(true);
  normalizer->set_escape_whitespaces(true);
  return model;
}

}  // namespace korvel::import
