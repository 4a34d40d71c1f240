#ifndef KORVEL_IMPORT_INTERNAL_HF_VOCAB_H_
#define KORVEL_IMPORT_INTERNAL_HF_VOCAB_H_

#include <optional>
#include <string>
#include <vector>

#include "absl/status/status.h"
#include "korvel_import/internal/hf_json.h"
#include "korvel_proto/korvel_model.pb.h"

namespace korvel::import::hf {

using PieceType = korvel::ModelProto_Piece_Type;

// The vocabulary of a tokenizer.json on its way into a full model: the
// model's pieces by id, followed by added tokens beyond them.
struct Vocabulary {
  bool is_bpe = false;
  bool byte_fallback = false;
  // Byte-level BPE: pieces are raw bytes, and every single byte is a piece.
  bool byte_level = false;
  bool ignore_merges = false;
  // Byte-level pieces that two symbols no merge joins would make.
  int unjoined_pieces = 0;
  // Byte-level pieces set aside for holding the byte 0 among others.
  int inner_zero_pieces = 0;
  std::vector<std::string> pieces;
  std::vector<float> scores;
  std::vector<PieceType> types;  // NORMAL until something else is known.
  // The unknown piece: a BPE model names it, a Unigram model gives its id.
  std::optional<std::string> unk_text;
  int unk_id = -1;
  // Some added token holding "▁" stayed a model piece (ApplyAddedTokens).
  bool added_whitespace_symbol_pieces = false;
  // Some added token that is not special is cut out of the text.
  bool cut_out_added_tokens = false;
};

// Reads a BPE "model" member: its vocabulary, unknown token and byte
// fallback. Options the merger cannot follow give kInvalidArgument.
absl::Status ReadBpeModel(const Json& model, Vocabulary* vocabulary);

// Reads a Unigram "model" member: [piece, score] pairs, unk_id and byte
// fallback.
absl::Status ReadUnigramModel(const Json& model, Vocabulary* vocabulary);

// Applies the "added_tokens" list. Tokens with ids past the model's
// vocabulary are appended and must continue its ids without a gap. Special
// tokens become CONTROL. Other tokens are cut out of the text before the model
// sees it and become USER_DEFINED, except a token stored unnormalized whose
// text holds "▁" while `spaces_replaced` says the normalizer writes "▁" for
// spaces: it cannot match the raw text, and stays a model piece that merges
// may produce. Gives kInvalidArgument for a token whose id names a different
// model piece, and for a non-special token with lstrip, rstrip or
// single_word, or holding a space that the normalizer would replace.
absl::Status ApplyAddedTokens(const Json& added_tokens, bool spaces_replaced,
                              Vocabulary* vocabulary);

}  // namespace korvel::import::hf

#endif  // KORVEL_IMPORT_INTERNAL_HF_VOCAB_H_
