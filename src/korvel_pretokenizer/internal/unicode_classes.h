#ifndef KORVEL_PRETOKENIZER_INTERNAL_UNICODE_CLASSES_H_
#define KORVEL_PRETOKENIZER_INTERNAL_UNICODE_CLASSES_H_

#include <cstddef>
#include <cstdint>

#include "absl/base/attributes.h"
#include "korvel_pretokenizer/unicode_tables.inc"

// The character classes the pre-tokenizer patterns use, from the Unicode
// Character Database (kUnicodeVersion). Every character is in exactly one
// class, so a class set is a bit mask and a test is one AND. The space class
// is the regex engine's \s in Unicode mode; a byte that starts no well-formed
// UTF-8 character is one character of class kNone.

namespace korvel::pretokenizer::internal {

enum : uint32_t {
  kNone = 1u << 0,  // controls, format, private use, unassigned, bad bytes
  kLu = 1u << 1,
  kLl = 1u << 2,
  kLt = 1u << 3,
  kLm = 1u << 4,
  kLo = 1u << 5,
  kMark = 1u << 6,
  kNumber = 1u << 7,
  kPunct = 1u << 8,
  kSymbol = 1u << 9,
  kSpace = 1u << 10,
  kLetter = kLu | kLl | kLt | kLm | kLo,
  // [^\s\p{L}\p{N}]
  kNotSpaceLetterNumber = kNone | kMark | kPunct | kSymbol,
};

// The class bit of code point `code` (below 0x110000).
inline uint32_t ClassOfCode(uint32_t code) {
  const uint32_t block = kClassStage1[code >> kClassBlockShift];
  return 1u << kClassStage2[(block << kClassBlockShift) |
                            (code & ((1u << kClassBlockShift) - 1))];
}

// The class bit of an ASCII byte.
inline uint32_t ClassOfAscii(unsigned char byte) {
  return kAsciiClassBits[byte];
}

struct Char {
  uint32_t length;  // in bytes, at least 1
  uint32_t bits;    // the class bit
};

// The character at `p` (p < end, *p >= 0x80): a well-formed UTF-8
// character, or the single byte at `p` as class kNone.
inline Char MultiByteCharAt(const unsigned char* p, const unsigned char* end) {
  const unsigned char lead = *p;
  const size_t available = static_cast<size_t>(end - p);
  if (lead < 0xc2 || lead > 0xf4) return {1, kNone};
  if (lead < 0xe0) {
    if (available < 2 || (p[1] & 0xc0) != 0x80) return {1, kNone};
    return {2, ClassOfCode((lead & 0x1fu) << 6 | (p[1] & 0x3fu))};
  }
  // The second byte's range excludes overlong forms, surrogates and values
  // above U+10FFFF.
  const unsigned char low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
  const unsigned char high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
  if (available < 3 || p[1] < low || p[1] > high || (p[2] & 0xc0) != 0x80) {
    return {1, kNone};
  }
  if (lead < 0xf0) {
    return {3, ClassOfCode((lead & 0x0fu) << 12 | (p[1] & 0x3fu) << 6 |
                           (p[2] & 0x3fu))};
  }
  if (available < 4 || (p[3] & 0xc0) != 0x80) return {1, kNone};
  return {4, ClassOfCode((lead & 0x07u) << 18 | (p[1] & 0x3fu) << 12 |
                         (p[2] & 0x3fu) << 6 | (p[3] & 0x3fu))};
}

// The character at `p` (p < end), any byte.
ABSL_ATTRIBUTE_ALWAYS_INLINE inline Char CharAt(const unsigned char* p,
                                                const unsigned char* end) {
  if (*p < 0x80) return {1, ClassOfAscii(*p)};
  return MultiByteCharAt(p, end);
}

// The end of the longest run of characters from `p` whose class is in
// `mask`.
ABSL_ATTRIBUTE_ALWAYS_INLINE inline const unsigned char* SkipRun(
    const unsigned char* p, const unsigned char* end, uint32_t mask) {
  while (p < end) {
    if (*p < 0x80) {
      if (!(ClassOfAscii(*p) & mask)) break;
      ++p;
      continue;
    }
    const Char c = MultiByteCharAt(p, end);
    if (!(c.bits & mask)) break;
    p += c.length;
  }
  return p;
}

}  // namespace korvel::pretokenizer::internal

#endif  // KORVEL_PRETOKENIZER_INTERNAL_UNICODE_CLASSES_H_
