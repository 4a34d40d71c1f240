// Arbitrary bytes as a full model (a serialized korvel::ModelProto) through
// the converter. Conversion either fails with a status or gives a lite model
// that loads, unless the model breaks one of the rules the converter leaves to
// loading (conversion_checks.h); a model that loads keeps every promise of a
// converted model (fuzz_checks.h).

#include <cstddef>
#include <cstdint>

#include "conversion_checks.h"
#include "korvel_model_converters/model_converter.h"
#include "korvel_proto/korvel_model.pb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvel::ModelProto model;
  if (!model.ParseFromArray(data, static_cast<int>(size))) return 0;
  // The options come from the input's length, so that every combination is
  // tried without taking bytes from the message.
  korvel::lite::ConverterOptions options;
  options.bigram_trie_for_bpe_only = size & 1;
  options.rename_null_byte_piece = size & 2;
  options.allow_extended_model_types = size & 4;
  korvel::lite::fuzzing::CheckConversion(model, options);
  return 0;
}
