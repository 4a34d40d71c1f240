// Arbitrary text through fixed byte-level models (without and with a
// pre-tokenizer step, with ignore_merges) against the plain reference, with
// and without the chunk cache, back through decoding, and arbitrary ids
// through streaming decode. The model choice and the ids come from the end.

#include <fuzzer/FuzzedDataProvider.h>

#include "full_model_builder.h"
#include "fuzz_checks.h"
#include "reference_text.h"
#include "text_models.h"

namespace korvel::lite::fuzzing {
namespace {

std::unique_ptr<tokenizer::Tokenizer> Open(int family, bool ignore_merges) {
  std::vector<std::pair<int, std::string>> steps;
  if (family != 0) steps.emplace_back(family, "");
  auto opened = tokenizer::Tokenizer::FromBytes(
      ConvertOrDie(testing::ByteLevelFullModel(testing::SmallByteLevelMerges(),
                                               steps, ignore_merges),
                   ConverterOptions()));
  Require(opened.ok(), "a byte-level model does not open");
  return *std::move(opened);
}

int FuzzByteLevel(const uint8_t* data, size_t size) {
  static const auto* const models =
      new std::unique_ptr<tokenizer::Tokenizer>[3] {
        Open(0, false), Open(2, false), Open(4, true)
      };
  FuzzedDataProvider input(data, size);
  const tokenizer::Tokenizer& model =
      *models[input.ConsumeIntegralInRange(0, 2)];
  const KorvelLiteProcessor& processor = model.processor();
  const std::string text = input.ConsumeRandomLengthString(1 << 12);
  std::vector<int> expected, ids, cached;
  std::vector<std::string_view> expected_views, views;
  ReferenceEncodeByteLevel(*processor.model(), text, &expected,
                           &expected_views);
  processor.EncodeNormalized(text, &ids, &views);
  processor.EncodeNormalized(text, &cached, nullptr);
  Require(ids == expected && views == expected_views && cached == expected,
          "byte-level encoding differs from the reference");
  std::string decoded;
  processor.Decode(ids, &decoded, nullptr);
  Require(decoded == text, "byte-level decoding does not give the text back");
  std::vector<int> random_ids(input.ConsumeIntegralInRange<size_t>(0, 64));
  for (int& id : random_ids) {
    id = input.ConsumeIntegralInRange<int>(0, processor.vocab_size() - 1);
  }
  CheckStreamingDecode(model, random_ids);
  return 0;
}

}  // namespace
}  // namespace korvel::lite::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return korvel::lite::fuzzing::FuzzByteLevel(data, size);
}
