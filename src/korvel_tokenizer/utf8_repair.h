#ifndef KORVEL_TOKENIZER_UTF8_REPAIR_H_
#define KORVEL_TOKENIZER_UTF8_REPAIR_H_

// The UTF-8 rule by which the runtime repairs text, for callers of the
// tokenizer layer that check or repair text themselves (output escaping, for
// one), so that they and the runtime never disagree on what is well-formed.

#include <string_view>

namespace korvel::tokenizer {

// U+FFFD, which the runtime writes for each byte that does not start a
// well-formed character.
inline constexpr std::string_view kUtf8Replacement = "\xef\xbf\xbd";

// The length of the well-formed character (RFC 3629: shortest form, at most
// U+10FFFF, no surrogates) at the start of `text`, or 0 when `text` is empty
// or does not start with one.
int Utf8CharLength(std::string_view text);

}  // namespace korvel::tokenizer

#endif  // KORVEL_TOKENIZER_UTF8_REPAIR_H_
