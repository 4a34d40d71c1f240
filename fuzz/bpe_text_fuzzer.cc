// Arbitrary text through a fixed BPE model with byte fallback and
// user-defined pieces, under each normalizer set-up, and through the same
// model without its bigram trie and without direct mapping; see
// text_fuzzing.h for the input layout.

#include <cstddef>
#include <cstdint>

#include "text_fuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return korvel::lite::fuzzing::FuzzText(
      data, size, korvel::lite::fuzzing::TextModelKind::kBpe);
}
