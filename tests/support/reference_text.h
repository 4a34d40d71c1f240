#ifndef KORVEL_TESTS_SUPPORT_REFERENCE_TEXT_H_
#define KORVEL_TESTS_SUPPORT_REFERENCE_TEXT_H_

// Plain, unoptimized transcriptions of the text rules over a loaded Model:
// normalization, the skip test and decoding (reference_text.cc),
// safe-boundary chunking, BPE merging and unigram segmentation
// (reference_encode.cc). One rule at a time, no shortcuts; the fuzzers
// compare the runtime's results with these.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/functional/function_ref.h"
#include "absl/types/span.h"
#include "korvel_lite/model.h"

namespace korvel::lite::fuzzing {

// The normalized text of `input` and, when `offsets` is not null, the input
// offset of each of its bytes plus a final entry (both empty when nothing
// remains of the input). Without offsets and without a character map,
// well-formed text takes the shortcut that only looks at spaces.
void ReferenceNormalize(const Model& model, std::string_view input,
                        std::string* normalized, std::vector<size_t>* offsets);

// Whether normalization leaves `input` as it is, by the model's settings.
bool ReferenceCanSkipNormalization(const Model& model, std::string_view input);

// The chunks of `text` cut at the boundaries that the bigram trie allows.
std::vector<std::string_view> ReferencePretokenize(const Model& model,
                                                   std::string_view text);

// The text of `ids`, all inside the vocabulary, and per id the (offset,
// length) of the stretch of the text that it produced.
void ReferenceDecode(const Model& model, absl::Span<const int> ids,
                     std::string* text,
                     std::vector<std::pair<size_t, size_t>>* views);

// One chunk of normalized text through a BPE model, appended to `ids` and
// `views`: the whole chunk as one piece when direct mapping allows it (only
// without `rng`), else initial symbols, merges by score (each skipped with
// probability `alpha` when `rng` is given), and emission with byte fallback
// and the merging of adjacent unknown pieces.
void ReferenceEncodeBpeChunk(const Model& model, std::string_view chunk,
                             float alpha, absl::FunctionRef<float()>* rng,
                             std::vector<int>* ids,
                             std::vector<std::string_view>* views);

// Normalized text through a unigram model as one chunk, appended to `ids` and
// `views`: the best path through the lattice of piece matches and unknown
// characters (every candidate perturbed by Gumbel noise scaled by `alpha` when
// `rng` is given), emitted with byte fallback and unknown merging, also with
// an unknown piece that `ids` already ends with.
void ReferenceEncodeUnigram(const Model& model, std::string_view text,
                            float alpha, absl::FunctionRef<float()>* rng,
                            std::vector<int>* ids,
                            std::vector<std::string_view>* views);

// Normalized text through a byte-level model: user-defined pieces cut out
// first, the rest pre-tokenized by the model's steps, and each pre-token
// either a whole piece (with ignore_merges) or its bytes merged round by
// round, each round scanning all adjacent pairs for the piece of highest
// score, leftmost on ties. Pieces are found by their texts, byte 0's as the
// model's BYTE piece. Appends to `ids` and `views`.
void ReferenceEncodeByteLevel(const Model& model, std::string_view text,
                              std::vector<int>* ids,
                              std::vector<std::string_view>* views);

}  // namespace korvel::lite::fuzzing

#endif  // KORVEL_TESTS_SUPPORT_REFERENCE_TEXT_H_
