#ifndef KORVEL_FUZZ_LITE_MODEL_MUTATOR_H_
#define KORVEL_FUZZ_LITE_MODEL_MUTATOR_H_

// A mutator for the lite model fuzzer that changes what a model says rather
// than its bytes: when the input verifies as a lite model, it unpacks it,
// changes one field (a piece type or text, a score, a special id, the model
// type, the normalizer settings, direct mapping, extra or missing trie keys,
// a rebuilt or dropped trie) and packs it again, so that most results still
// load and reach the encoders with unusual contents. Inputs that do not
// verify, and half of the others, get libFuzzer's byte mutations.

#include <cstddef>
#include <cstdint>

namespace korvel::lite::fuzzing {

// The LLVMFuzzerCustomMutator contract: mutates data[0, size) in place into
// at most `max_size` bytes and returns the new size.
size_t MutateLiteModel(uint8_t* data, size_t size, size_t max_size,
                       unsigned int seed);

}  // namespace korvel::lite::fuzzing

#endif  // KORVEL_FUZZ_LITE_MODEL_MUTATOR_H_
