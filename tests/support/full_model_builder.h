#ifndef KORVEL_TESTS_SUPPORT_FULL_MODEL_BUILDER_H_
#define KORVEL_TESTS_SUPPORT_FULL_MODEL_BUILDER_H_

// Small full models (libkorvel's ModelProto) for the converter and libkorvel
// tests.

#include <string>
#include <vector>

#include "korvel_lite/model.h"
#include "libkorvel/korvel_model.pb.h"

namespace korvel::lite::testing {

using FullPiece = korvel::ModelProto::Piece;

struct FullPieceSpec {
  std::string text;
  float score = 0.0f;
  FullPiece::Type type = FullPiece::NORMAL;
};

inline korvel::ModelProto FullModel(const std::vector<FullPieceSpec>& pieces) {
  korvel::ModelProto model;
  for (const FullPieceSpec& spec : pieces) {
    FullPiece* piece = model.add_pieces();
    piece->set_piece(spec.text);
    piece->set_score(spec.score);
    piece->set_type(spec.type);
  }
  return model;
}

// A model of `pieces` after an UNKNOWN piece "<unk>" at id 0, with a trainer
// spec of `model_type` and unk_id 0.
inline korvel::ModelProto FullModelWithUnknown(
    const std::vector<FullPieceSpec>& pieces,
    korvel::TrainerSpec::ModelType model_type) {
  std::vector<FullPieceSpec> all = {{"<unk>", 0.0f, FullPiece::UNKNOWN}};
  all.insert(all.end(), pieces.begin(), pieces.end());
  korvel::ModelProto model = FullModel(all);
  model.mutable_trainer_spec()->set_model_type(model_type);
  model.mutable_trainer_spec()->set_unk_id(0);
  return model;
}

// Appends the 256 BYTE pieces "<0x00>" ... "<0xFF>".
inline void AddBytePieces(korvel::ModelProto* model) {
  for (int b = 0; b < 256; ++b) {
    FullPiece* piece = model->add_pieces();
    piece->set_piece(ByteToPiece(static_cast<unsigned char>(b)));
    piece->set_type(FullPiece::BYTE);
  }
}

}  // namespace korvel::lite::testing

#endif  // KORVEL_TESTS_SUPPORT_FULL_MODEL_BUILDER_H_
