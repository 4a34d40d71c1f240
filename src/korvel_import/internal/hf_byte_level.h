#ifndef KORVEL_IMPORT_INTERNAL_HF_BYTE_LEVEL_H_
#define KORVEL_IMPORT_INTERNAL_HF_BYTE_LEVEL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "absl/status/status.h"
#include "korvel_import/internal/hf_document.h"
#include "korvel_import/internal/hf_json.h"
#include "korvel_import/internal/hf_vocab.h"

// Reading byte-level BPE tokenizers: their vocabulary spelled in the GPT-2
// byte alphabet, and the Split and ByteLevel steps of their pre-tokenizer.
// Private to the importer.

namespace korvel::import::hf {

// One split of a byte-level pre-tokenizer, as a full model stores it.
struct SplitPattern {
  uint32_t family = 0;  // A korvel::pretokenizer::Family number.
  std::string pattern;
};

// The byte whose GPT-2 spelling is the code point `code`, if any: bytes 33 to
// 126, 161 to 172 and 174 to 255 spell themselves, the others (in order)
// U+0100 onwards.
std::optional<unsigned char> ByteOfSpelling(uint32_t code);

// The raw bytes that `spelled` (UTF-8 text in the byte alphabet) stands for;
// false when it holds another character or is not UTF-8.
bool UnspellBytes(std::string_view spelled, std::string* bytes);

// Reads a byte-level BPE "model" member into `vocabulary` with raw-byte
// pieces. An entry whose text is the content of an added token (in
// `added_texts`) is kept as that text: added tokens are matched in the text
// before byte spelling, so their contents need not be in the byte alphabet.
// Ids may skip numbers (left as holes, see FillByteLevelHoles). Gives
// kInvalidArgument for options other than ignore_merges, ids used twice, and
// other pieces outside the byte alphabet.
absl::Status ReadByteLevelModel(
    const Json& model, const absl::flat_hash_set<std::string>& added_texts,
    Vocabulary* vocabulary);

// Turns merges spelled in the byte alphabet into raw bytes, in place.
absl::Status UnspellMerges(std::vector<MergeTexts>* merges);

// Checks that every single byte is a normal piece and that holes (ids no
// piece names) come only after the last normal piece, then fills each hole
// with an UNUSED placeholder piece.
absl::Status FillByteLevelHoles(Vocabulary* vocabulary);

// The text of the UNUSED piece that stands at `id` in place of none.
std::string PlaceholderPiece(int64_t id);

// A lite model's trie cannot hold the byte 0 inside a longer piece (o200k has
// "\0\0"), so such a piece is stored as an UNUSED placeholder: the text
// then encodes byte by byte. True for such a piece.
bool HoldsInnerZeroByte(std::string_view piece);

// The warning for `count` (> 0) pieces set aside by HoldsInnerZeroByte.
std::string InnerZeroByteWarning(int count);

// Sets aside the normal pieces that HoldsInnerZeroByte names, counting them
// in `vocabulary->inner_zero_pieces`.
void SetAsideInnerZeroBytePieces(Vocabulary* vocabulary);

// Reads the flattened steps of a pre-tokenizer holding a ByteLevel step:
// Splits (Isolated; or Removed and inverted for a pattern whose matches cover
// every text), then one ByteLevel, last. Patterns that are no family must
// compile.
absl::Status ReadByteLevelPreTokenizer(const std::vector<const Json*>& steps,
                                       std::vector<SplitPattern>* splits);

// A one-line warning when a byte-level tokenizer's decoder is not the
// ByteLevel decoder (korvel decodes to the pieces' bytes), or "".
std::string CheckByteLevelDecoder(const Json& root);

}  // namespace korvel::import::hf

#endif  // KORVEL_IMPORT_INTERNAL_HF_BYTE_LEVEL_H_
