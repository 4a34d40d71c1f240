#ifndef KORVEL_TESTS_SUPPORT_REFERENCE_UTF8_H_
#define KORVEL_TESTS_SUPPORT_REFERENCE_UTF8_H_

// Character rules shared by the reference transcriptions (reference_text.h).

#include <cstddef>
#include <string_view>

namespace korvel::lite::fuzzing {

// The length of the character whose lead byte is `lead`; every byte below
// 0xC0 counts as one byte.
inline int CharLength(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

// The well-formed byte sequences of RFC 3629, one row per line of its table:
// the range each byte of the sequence must fall in.
struct Utf8Form {
  size_t length;
  unsigned char low[4];
  unsigned char high[4];
};
inline constexpr Utf8Form kUtf8Forms[] = {
    {1, {0x00}, {0x7F}},
    {2, {0xC2, 0x80}, {0xDF, 0xBF}},
    {3, {0xE0, 0xA0, 0x80}, {0xE0, 0xBF, 0xBF}},
    {3, {0xE1, 0x80, 0x80}, {0xEC, 0xBF, 0xBF}},
    {3, {0xED, 0x80, 0x80}, {0xED, 0x9F, 0xBF}},
    {3, {0xEE, 0x80, 0x80}, {0xEF, 0xBF, 0xBF}},
    {4, {0xF0, 0x90, 0x80, 0x80}, {0xF0, 0xBF, 0xBF, 0xBF}},
    {4, {0xF1, 0x80, 0x80, 0x80}, {0xF3, 0xBF, 0xBF, 0xBF}},
    {4, {0xF4, 0x80, 0x80, 0x80}, {0xF4, 0x8F, 0xBF, 0xBF}},
};

// The length of the well-formed character at the start of `text`, or 0.
inline int WellFormedLength(std::string_view text) {
  for (const Utf8Form& form : kUtf8Forms) {
    if (text.size() < form.length) continue;
    size_t i = 0;
    while (i < form.length &&
           static_cast<unsigned char>(text[i]) >= form.low[i] &&
           static_cast<unsigned char>(text[i]) <= form.high[i]) {
      ++i;
    }
    if (i == form.length) return static_cast<int>(form.length);
  }
  return 0;
}

// True when `text` cuts into well-formed characters.
inline bool IsWellFormed(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const int length = WellFormedLength(text.substr(at));
    if (length == 0) return false;
    at += length;
  }
  return true;
}

}  // namespace korvel::lite::fuzzing

#endif  // KORVEL_TESTS_SUPPORT_REFERENCE_UTF8_H_
