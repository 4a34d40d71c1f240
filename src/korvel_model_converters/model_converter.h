#ifndef KORVEL_MODEL_CONVERTERS_MODEL_CONVERTER_H_
#define KORVEL_MODEL_CONVERTERS_MODEL_CONVERTER_H_

#include <string>

#include "absl/status/statusor.h"
#include "korvel_proto/korvel_model.pb.h"

namespace korvel::lite {

// Choices a caller may make about a conversion. The defaults suit a model
// that is used as trained:
//
//  * `bigram_trie_for_bpe_only`: only BPE encoding cuts text at safe
//    boundaries, so other model types would carry the bigram trie as dead
//    weight. On by default; clear it to give every model the trie.
//  * `rename_null_byte_piece`: a piece made of the single byte 0x00 cannot be
//    stored; when set and the model has byte fallback, it is kept as the
//    UNUSED piece "<unused_ID>" so that the other ids stay put. Off by
//    default, because it changes a piece text; such a model fails instead.
//  * `allow_extended_model_types`: full-model types 3 and 4 are accepted and
//    encoded like unigram models, which is not how they were trained. Off by
//    default; such a model fails with "Unsupported model type".
struct ConverterOptions {
  bool bigram_trie_for_bpe_only = true;
  bool rename_null_byte_piece = false;
  bool allow_extended_model_types = false;
};

// Converts a full model into the bytes of a lite model: the finished
// flatbuffer, root offset first, without file identifier or size prefix, with
// the tries and the character map 8-byte aligned from its start. The caller
// owns the bytes; store them at an 8-byte aligned address (a std::string's
// heap buffer is) before handing them to KorvelLiteProcessor as a view.
//
// `model` is only read. Invalid input gives kInvalidArgument with a message
// naming the first fault (vocabulary size, model type, piece text, BPE score,
// duplicate piece); a trie that cannot be built or a BPE model that the runtime
// would not load gives kInternal. Contents that only the runtime checks
// convert unchanged and are refused when the lite model is loaded: a
// malformed character map (a replacement over 4096 bytes included), and,
// outside BPE models (whose conversion loads them once without the character
// map), scores that are not finite, an unknown id out of range, an unknown
// surface over 4096 bytes, and byte pieces short of the full range or missing
// along with the unknown id.
//
// A byte-level model (model type BYTE_LEVEL_BPE with a byte_level spec, the
// one never without the other) converts to the lite byte-level kind: pieces
// as their raw bytes, except that the piece of byte 0 becomes the BYTE piece
// "<0x00>"; every byte value needs its piece, and a piece that holds a zero
// byte among others, a BYTE piece or a piece "<0x00>" is refused.
//
// Conversions keep all state in locals; any number may run at once.
absl::StatusOr<std::string> ToFlatbuffer(const korvel::ModelProto& model,
                                         const ConverterOptions& options);

// ToFlatbuffer, then a load of the result by the runtime: what it returns
// always loads. A lite model that the runtime refuses is kInternal, naming
// the load status. Safe to call from many threads, as ToFlatbuffer.
absl::StatusOr<std::string> ToVerifiedFlatbuffer(
    const korvel::ModelProto& model, const ConverterOptions& options);

}  // namespace korvel::lite

#endif  // KORVEL_MODEL_CONVERTERS_MODEL_CONVERTER_H_
