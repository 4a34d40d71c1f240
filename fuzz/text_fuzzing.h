#ifndef KORVEL_FUZZ_TEXT_FUZZING_H_
#define KORVEL_FUZZ_TEXT_FUZZING_H_

// The body of the text fuzzers: one input drives one text through a fixed
// model of one kind (see text_models.h).
//
// Input layout, read with FuzzedDataProvider: the text comes first (a
// backslash doubles itself, a backslash followed by any other byte ends the
// text); from the end backwards come the normalizer set-up, the sampling
// alpha, then the draws of the sampling source and the ids to decode.

#include <cstddef>
#include <cstdint>

#include "text_models.h"

namespace korvel::lite::fuzzing {

// Every call of one process must pass the same `kind`.
int FuzzText(const uint8_t* data, size_t size, TextModelKind kind);

}  // namespace korvel::lite::fuzzing

#endif  // KORVEL_FUZZ_TEXT_FUZZING_H_
