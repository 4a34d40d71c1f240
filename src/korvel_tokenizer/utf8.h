#ifndef KORVEL_TOKENIZER_UTF8_H_
#define KORVEL_TOKENIZER_UTF8_H_

// The UTF-8 rules of the runtime, for callers of the tokenizer layer that
// check or repair text themselves (output escaping, for one): the same
// functions, so that the layer and the runtime never disagree on what is
// well-formed.

#include "korvel_lite/utf8.h"

namespace korvel::tokenizer {

using lite::IsWellFormedUtf8;
using lite::kReplacementCharacter;
using lite::WellFormedCharLength;

}  // namespace korvel::tokenizer

#endif  // KORVEL_TOKENIZER_UTF8_H_
