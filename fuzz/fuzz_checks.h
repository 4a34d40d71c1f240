#ifndef KORVEL_FUZZ_FUZZ_CHECKS_H_
#define KORVEL_FUZZ_FUZZ_CHECKS_H_

// What the fuzz targets check on every text operation of a loaded processor.
// A broken promise ends the process through Require, which libFuzzer reports
// like a crash, with the input saved as an artifact.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "absl/functional/function_ref.h"
#include "absl/types/span.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_tokenizer/tokenizer.h"

namespace korvel::lite::fuzzing {

// A few texts that touch most paths: ASCII, several scripts, malformed UTF-8,
// whitespace runs, the whitespace symbol itself, and a long run of one letter.
std::vector<std::string> SampleTexts();

// A fixed sequence of draws from [0, 1) for sampling.
class FixedRandom {
 public:
  float operator()() {
    state_ = state_ * 1664525u + 1013904223u;
    return static_cast<float>(state_ >> 8) * 0x1p-24f;
  }

 private:
  uint32_t state_ = 12345;
};

// Prints `what` and aborts when `condition` is false.
void Require(bool condition, const char* what);

// Encoder views of `text`: each lies inside it, and the non-empty ones follow
// each other without gap or overlap from its first byte to its last.
void CheckViewsCoverText(std::string_view text,
                         const std::vector<std::string_view>& views);

// Every id is a piece that encoding may produce: a NORMAL or USER_DEFINED
// piece, a byte piece of the byte range, or, without byte fallback, the
// unknown id.
void CheckEncodedIds(const KorvelLiteProcessor& processor,
                     const std::vector<int>& ids);

// Decodes `ids` with and without views. Ids all in the vocabulary must
// decode, to the same text both ways, with one view per id and the views
// following each other through the whole text, as the reference decodes
// them (reference_text.h); any other id gives kOutOfRange and empty outputs.
void CheckDecode(const KorvelLiteProcessor& processor,
                 absl::Span<const int> ids);

// Feeds `ids` one at a time to a DecodeStream: the steps and the finish give
// Decode's text of the ids it accepted, each step's text is well-formed UTF-8
// when Decode's is, and an id outside the vocabulary fails with Decode's
// error.
void CheckStreamingDecode(const tokenizer::Tokenizer& tokenizer,
                          absl::Span<const int> ids);

struct TextChecks {
  // Noise scale or dropout probability for SampleNormalized.
  float alpha = 0.5f;
  // True for models that the converter built from a full model: their safe
  // boundaries and direct-mapping flags are derived from the vocabulary, so
  // sampling with alpha 0 must reproduce deterministic encoding.
  bool converter_built = false;
  // What is known of the user-defined pieces of a converted model. When they
  // are whole, well-formed characters, safe-boundary chunks never split one,
  // so encoding in chunks gives what encoding the whole text gives (a piece
  // that ends inside a character of the text can match across a boundary).
  // When, besides, none holds a run of spaces, normalization gives the same
  // text with and without offsets wherever the text has no such run.
  bool user_defined_pieces_well_formed = false;
  bool user_defined_pieces_without_space_runs = false;
};

// Runs every text operation on `raw` (normalization with and without offsets,
// the skip test, Encode, EncodeNormalized, EncodeNormalizedChunk, sampling with
// `rng`, pretokenization, decoding of the result), checks what each promises
// and compares the results with the reference transcriptions of
// reference_text.h.
void CheckText(const KorvelLiteProcessor& processor, std::string_view raw,
               absl::FunctionRef<float()> rng, const TextChecks& checks);

// Every vocabulary query, with ids inside and outside the vocabulary.
void CheckQueries(const KorvelLiteProcessor& processor);

// CheckQueries, then CheckText on SampleTexts() and on texts made of the
// model's own pieces, and the decoding of every id (up to a bound).
void CheckLoadedModel(const KorvelLiteProcessor& processor,
                      bool converter_built);

}  // namespace korvel::lite::fuzzing

#endif  // KORVEL_FUZZ_FUZZ_CHECKS_H_
