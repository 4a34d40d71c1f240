// Arbitrary bytes as a tokenizer.json through the importer: it returns a
// status and never throws. An imported model that converts is checked like
// any converted model (conversion_checks.h).

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "conversion_checks.h"
#include "fuzz_checks.h"
#include "korvel_import/hf_import.h"
#include "korvel_model_converters/model_converter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using korvel::lite::fuzzing::Require;
  const absl::StatusOr<korvel::ModelProto> model =
      korvel::import::ImportHuggingFaceTokenizer(
          std::string_view(reinterpret_cast<const char*>(data), size));
  if (!model.ok()) {
    Require(model.status().code() == absl::StatusCode::kInvalidArgument,
            "import failed with a code other than kInvalidArgument");
    return 0;
  }
  korvel::lite::fuzzing::CheckConversion(*model,
                                         korvel::lite::ConverterOptions());
  return 0;
}
