#ifndef KORVEL_TESTS_SUPPORT_FULL_MODEL_BUILDER_H_
#define KORVEL_TESTS_SUPPORT_FULL_MODEL_BUILDER_H_

// Small full models (libkorvel's ModelProto) for the converter and libkorvel
// tests.

#include <string>
#include <utility>
#include <vector>

#include "korvel_lite/model.h"
#include "korvel_proto/korvel_model.pb.h"

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

// A byte-level BPE model: the 256 single-byte pieces (byte b at id b, byte 0
// as the raw byte), then `merged` in rank order, piece i scored -i as the
// importer scores ranks (each must join two earlier pieces), then CONTROL
// "<|bos|>" and USER_DEFINED "<tool>". `steps` are pre-tokenizer steps:
// family number and pattern.
inline korvel::ModelProto ByteLevelFullModel(
    const std::vector<std::string>& merged,
    const std::vector<std::pair<int, std::string>>& steps = {},
    bool ignore_merges = false) {
  std::vector<FullPieceSpec> pieces;
  for (int b = 0; b < 256; ++b)
    pieces.push_back({std::string(1, b), -1.0f * b});
  for (const std::string& text : merged) {
    pieces.push_back({text, -1.0f * static_cast<float>(pieces.size())});
  }
  pieces.push_back({"<|bos|>", 0.0f, FullPiece::CONTROL});
  pieces.push_back({"<tool>", 0.0f, FullPiece::USER_DEFINED});
  korvel::ModelProto model = FullModel(pieces);
  model.mutable_trainer_spec()->set_model_type(
      korvel::TrainerSpec::BYTE_LEVEL_BPE);
  model.mutable_trainer_spec()->set_unk_id(-1);
  model.mutable_trainer_spec()->set_bos_piece("<|bos|>");
  model.mutable_normalizer_spec()->set_add_dummy_prefix(false);
  model.mutable_normalizer_spec()->set_remove_extra_whitespaces(false);
  model.mutable_normalizer_spec()->set_escape_whitespaces(false);
  model.mutable_byte_level()->set_ignore_merges(ignore_merges);
  for (const auto& [family, pattern] : steps) {
    korvel::PretokenizerStep* step =
        model.mutable_byte_level()->add_pretokenizer();
    step->set_family(static_cast<uint32_t>(family));
    step->set_pattern(pattern);
  }
  return model;
}

// Merges for ByteLevelFullModel: English words with the space before them,
// one piece no merge reaches (" and"), a two-byte character, runs of spaces.
inline std::vector<std::string> SmallByteLevelMerges() {
  return {"th",  "he",   "the",      " t",        " the",  " a",  "an",
          "and", " and", "\xc3\xa9", "r\xc3\xa9", "ll",    "llo", " w",
          "or",  " wor", "ld",       " world",    "hello", "  ",  "\n\n"};
}

}  // namespace korvel::lite::testing

#endif  // KORVEL_TESTS_SUPPORT_FULL_MODEL_BUILDER_H_
