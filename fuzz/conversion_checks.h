#ifndef KORVEL_FUZZ_CONVERSION_CHECKS_H_
#define KORVEL_FUZZ_CONVERSION_CHECKS_H_

// Checks of converted models, shared by the fuzzers whose inputs end up in
// the converter.
//
// The converter checks sizes, piece texts, BPE scores and duplicates, and
// loads a BPE model once (without its normalizer) to decide direct mapping.
// The remaining rules of loading are left to the runtime, so a conversion can
// succeed on a model that does not load when
//   - a unigram model has a score that is not finite,
//   - a unigram model's unknown id lies outside [-1, vocabulary size),
//   - a unigram model's unknown surface is longer than 4096 bytes,
//   - a unigram model has a BYTE piece "<0x00>" without the other 255 at the
//     following ids, or has neither byte pieces nor an unknown id,
//   - the normalizer's character map is malformed (any model type).
// Anything else that converts must load.

#include <string_view>

#include "korvel_model_converters/model_converter.h"
#include "korvel_proto/korvel_model.pb.h"

namespace korvel::lite::fuzzing {

// The first rule above that the converted model `lite` breaks, or null when
// it breaks none.
const char* RuleLeftToLoading(std::string_view lite);

// Converts `model`: the conversion fails with kInvalidArgument or kInternal,
// or its result loads exactly when it breaks no rule above, and a loaded
// result keeps every promise of a converted model (CheckLoadedModel).
void CheckConversion(const korvel::ModelProto& model,
                     const ConverterOptions& options);

}  // namespace korvel::lite::fuzzing

#endif  // KORVEL_FUZZ_CONVERSION_CHECKS_H_
