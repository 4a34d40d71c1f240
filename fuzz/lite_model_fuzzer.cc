// Arbitrary bytes as a lite model. Loading gives a status code and never
// crashes; a model that loads answers every query and text operation and
// keeps the promises that hold for any model (fuzz_checks.h). Mutations
// change the model's fields as well as its bytes (lite_model_mutator.h).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "fuzz_checks.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "lite_model_mutator.h"

namespace korvel::lite::fuzzing {
namespace {

void FuzzLiteModel(const uint8_t* data, size_t size) {
  // A buffer of exactly `size` bytes, so that AddressSanitizer sees every
  // read past the end; the allocator aligns it for the runtime.
  std::unique_ptr<char[]> buffer(new char[size]);
  if (size > 0) std::memcpy(buffer.get(), data, size);
  const std::string_view bytes(buffer.get(), size);

  if (size > 1) {
    const KorvelLiteProcessor misaligned(bytes.substr(1));
    Require(misaligned.status() == absl::StatusCode::kInvalidArgument,
            "a misaligned buffer was not refused");
  }
  const KorvelLiteProcessor processor(bytes);
  const absl::StatusCode status = processor.status();
  Require(status == absl::StatusCode::kOk ||
              status == absl::StatusCode::kInvalidArgument ||
              status == absl::StatusCode::kInternal,
          "unexpected load status");
  if (status != absl::StatusCode::kOk) {
    Require(processor.vocab_size() == 0 && processor.unk_id() == -1 &&
                processor.IdToPiece(0) == "<unk>",
            "a failed processor does not answer with fixed values");
    return;
  }
  CheckLoadedModel(processor, /*converter_built=*/false);
}

}  // namespace
}  // namespace korvel::lite::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvel::lite::fuzzing::FuzzLiteModel(data, size);
  return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size,
                                          size_t max_size, unsigned int seed) {
  return korvel::lite::fuzzing::MutateLiteModel(data, size, max_size, seed);
}
