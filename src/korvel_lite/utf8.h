#ifndef KORVEL_LITE_UTF8_H_
#define KORVEL_LITE_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// Byte-level UTF-8 helpers shared by the normalizer, the encoders and the
// decoder. None of them allocates; all are safe on arbitrary bytes.

namespace korvel::lite {

// The whitespace symbol U+2581 that normalization writes for a space.
inline constexpr std::string_view kWhitespaceSymbol = "\xe2\x96\x81";
// kWhitespaceSymbol's three bytes as the low bytes of a little-endian word.
inline constexpr uint32_t kWhitespaceSymbolWord =
    static_cast<uint8_t>(kWhitespaceSymbol[0]) |
    static_cast<uint8_t>(kWhitespaceSymbol[1]) << 8 |
    static_cast<uint8_t>(kWhitespaceSymbol[2]) << 16;
// U+FFFD, written for each malformed byte.
inline constexpr std::string_view kReplacementCharacter = "\xef\xbf\xbd";

// The length of the character that starts with `lead`, from its high four
// bits: 1 for every byte below 0xC0 (continuation bytes included), 2 for
// 0xC0-0xDF, 3 for 0xE0-0xEF, 4 for 0xF0-0xFF.
inline int CharLength(unsigned char lead) {
  static constexpr unsigned char kLengths[16] = {1, 1, 1, 1, 1, 1, 1, 1,
                                                 1, 1, 1, 1, 2, 2, 3, 4};
  return kLengths[lead >> 4];
}

// CharLength of text[pos], cut to the bytes that remain.
inline int CharLengthAt(std::string_view text, size_t pos) {
  const size_t length = CharLength(static_cast<unsigned char>(text[pos]));
  const size_t remaining = text.size() - pos;
  return static_cast<int>(length < remaining ? length : remaining);
}

// The length of the well-formed character (RFC 3629: shortest form, at most
// U+10FFFF, no surrogates) at the start of `text`, or 0 when `text` is empty or
// does not start with one.
inline int WellFormedCharLength(std::string_view text) {
  if (text.empty()) return 0;
  const unsigned char lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return 1;
  if (lead < 0xc0) return 0;
  const int length = CharLength(lead);
  if (static_cast<size_t>(length) > text.size()) return 0;
  uint32_t code = lead & (0xffu >> length);
  for (int i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[i]);
    if ((next & 0xc0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3f);
  }
  static constexpr uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kMinimum[length] || code > 0x10ffff ||
      (code >= 0xd800 && code <= 0xdfff)) {
    return 0;
  }
  return length;
}

inline uint64_t LoadWord(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof(word));
  return word;
}

inline constexpr uint64_t kHighBits = 0x8080808080808080ull;

// WellFormedCharLength for a lead byte of at least 0x80 at `p`, with `size`
// bytes available: the second byte's range depends on the lead (this excludes
// overlong forms, surrogates and values above U+10FFFF), and every later byte
// is a continuation byte.
inline int WellFormedMultiByteLength(const char* p, size_t size) {
  const unsigned char lead = static_cast<unsigned char>(p[0]);
  if (lead < 0xc2 || lead > 0xf4) return 0;
  const int length = lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
  if (size < static_cast<size_t>(length)) return 0;
  const unsigned char second = static_cast<unsigned char>(p[1]);
  unsigned char low = 0x80, high = 0xbf;
  if (lead == 0xe0) low = 0xa0;
  if (lead == 0xed) high = 0x9f;
  if (lead == 0xf0) low = 0x90;
  if (lead == 0xf4) high = 0x8f;
  if (second < low || second > high) return 0;
  for (int i = 2; i < length; ++i) {
    if ((static_cast<unsigned char>(p[i]) & 0xc0) != 0x80) return 0;
  }
  return length;
}

// The length of the longest prefix of `text` that cuts into well-formed
// characters; text.size() when the whole text is well-formed. Runs of ASCII
// are crossed eight bytes at a time; a word that holds a non-ASCII byte jumps
// straight to the first such byte.
inline size_t WellFormedPrefixLength(std::string_view text) {
  size_t pos = 0;
  const size_t size = text.size();
  while (pos < size) {
    if (size - pos >= 8) {
      const uint64_t high = LoadWord(text.data() + pos) & kHighBits;
      if (high == 0) {
        pos += 8;
        continue;
      }
      pos += static_cast<size_t>(__builtin_ctzll(high)) >> 3;
    } else if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    const int length = WellFormedMultiByteLength(text.data() + pos, size - pos);
    if (length == 0) break;
    pos += length;
  }
  return pos;
}

// True when `text` cuts into well-formed characters.
inline bool IsWellFormedUtf8(std::string_view text) {
  return WellFormedPrefixLength(text) == text.size();
}

// The position of the first space (0x20) in `text` at or after `pos`
// (pos <= text.size()), or text.size() when there is none. The next eight
// bytes are tested as one word (a zero byte of word ^ 0x2020202020202020 is a
// space, and the lowest flagged byte is always a true one); the rest is left
// to memchr.
inline size_t FindSpace(std::string_view text, size_t pos) {
  const size_t size = text.size();
  if (size - pos >= 8) {
    constexpr uint64_t kLowBits = 0x0101010101010101ull;
    constexpr uint64_t kSpaces = 0x2020202020202020ull;
    const uint64_t word = LoadWord(text.data() + pos) ^ kSpaces;
    const uint64_t zeros = (word - kLowBits) & ~word & kHighBits;
    if (zeros != 0) {
      return pos + (static_cast<size_t>(__builtin_ctzll(zeros)) >> 3);
    }
    pos += 8;
  }
  if (pos >= size) return size;
  const void* hit = std::memchr(text.data() + pos, ' ', size - pos);
  return hit == nullptr
             ? size
             : static_cast<size_t>(static_cast<const char*>(hit) - text.data());
}

}  // namespace korvel::lite

#endif  // KORVEL_LITE_UTF8_H_
