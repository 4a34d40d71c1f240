// Arbitrary text through a fixed unigram model with a character map, under
// each normalizer set-up, with the usual lattice threshold and with one low
// enough to rebase scores often; see text_fuzzing.h for the input layout.

#include <cstddef>
#include <cstdint>

#include "text_fuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return korvel::lite::fuzzing::FuzzText(
      data, size, korvel::lite::fuzzing::TextModelKind::kUnigram);
}
