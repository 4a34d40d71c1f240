#ifndef KORVEL_TESTS_SUPPORT_TEXT_MODELS_H_
#define KORVEL_TESTS_SUPPORT_TEXT_MODELS_H_

// The fixed models of the text fuzzers, built from full models through the
// converter, and the seed models of the model fuzzers.

#include <string>
#include <utility>
#include <vector>

#include "korvel_model_converters/model_converter.h"
#include "korvel_proto/korvel_model.pb.h"

namespace korvel::lite::fuzzing {

enum class TextModelKind { kUnigram, kBpe };

// Normalizer set-ups of the text models:
//   0  character map, dummy prefix, extra whitespace removed, escaped
//   1  no character map, dummy prefix, whitespace kept, escaped
//   2  character map, dummy suffix, extra whitespace removed, not escaped
//   3  no character map, nothing added or removed, not escaped
//   4  no normalizer at all
constexpr int kNumNormalizerVariants = 5;

// The character map of the text models: compatibility folds (full-width
// letters, ligatures, circled digits, a composed and a decomposed form),
// spaces mapped to " " (one of them to two), a deletion, and a half-width
// katakana whose key is a prefix of its voiced form.
std::vector<std::pair<std::string, std::string>> CharsMapRules();

// A full model of `kind` with normalizer set-up `variant`.
//  - Unigram: "<unk>" at id 0, control and user-defined pieces, NORMAL pieces
//    in several scripts (one holding the whitespace symbol inside), a BYTE
//    piece outside any byte range and an UNUSED piece; no byte fallback.
//  - BPE: "<unk>", "<s>", "</s>", the 256 byte pieces (byte fallback),
//    user-defined pieces, single characters and merged pieces with integral
//    scores, one piece no merge reaches and one longer than direct mapping
//    tests.
korvel::ModelProto TextFullModel(TextModelKind kind, int variant);

// The conversion options the text fuzzers use: unigram models get a bigram
// trie as well, so that pretokenization has something to cut with.
ConverterOptions TextConverterOptions();

// `ToFlatbuffer`, aborting the process on failure.
std::string ConvertOrDie(const korvel::ModelProto& model,
                         const ConverterOptions& options);

// The lite model `lite` packed again without its bigram trie, or without
// direct mapping. Both encode like the original deterministically.
std::string WithoutBigramTrie(const std::string& lite);
std::string WithoutDirectMapping(const std::string& lite);

}  // namespace korvel::lite::fuzzing

#endif  // KORVEL_TESTS_SUPPORT_TEXT_MODELS_H_
