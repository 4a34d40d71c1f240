#ifndef KORVEL_TESTS_SUPPORT_UTF8_ENCODE_H_
#define KORVEL_TESTS_SUPPORT_UTF8_ENCODE_H_

// UTF-8 encoding of code points, for tests and benchmarks that build texts
// and vocabularies from code point ranges. No validation: the caller passes
// scalar values.

#include <cstdint>
#include <string>

namespace korvel::lite::testing {

inline void AppendUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xc0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xe0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else {
    out->push_back(static_cast<char>(0xf0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
  }
}

}  // namespace korvel::lite::testing

#endif  // KORVEL_TESTS_SUPPORT_UTF8_ENCODE_H_
