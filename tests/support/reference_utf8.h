#ifndef KORVEL_TESTS_SUPPORT_REFERENCE_UTF8_H_
#define KORVEL_TESTS_SUPPORT_REFERENCE_UTF8_H_

// Character rules shared by the reference transcriptions (reference_text.h).

#include <cstdint>
#include <string_view>

namespace korvel::lite::fuzzing {

// The length of the character whose lead byte is `lead`, by its high four
// bits; every byte below 0xC0 counts as one byte.
inline int CharLength(unsigned char lead) {
  static constexpr int kLengths[16] = {1, 1, 1, 1, 1, 1, 1, 1,
                                       1, 1, 1, 1, 2, 2, 3, 4};
  return kLengths[lead >> 4];
}

// The length of the well-formed character at the start of `text`, or 0.
inline int WellFormedLength(std::string_view text) {
  const unsigned char lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return 1;
  if (lead < 0xC0) return 0;
  const int length = CharLength(lead);
  if (static_cast<size_t>(length) > text.size()) return 0;
  uint32_t value = lead & (0xFFu >> length);
  for (int i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  static constexpr uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kMinimum[length] || value > 0x10FFFF ||
      (value >= 0xD800 && value <= 0xDFFF)) {
    return 0;
  }
  return length;
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
