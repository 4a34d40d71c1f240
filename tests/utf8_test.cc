// The character rules and word-at-a-time scans of utf8.h against the
// reference character rule and byte-by-byte loops.

#include "korvel_lite/utf8.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <string_view>

#include "reference_utf8.h"

namespace korvel::lite {
namespace {

size_t ReferencePrefixLength(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    const int length = fuzzing::WellFormedLength(text.substr(pos));
    if (length == 0) break;
    pos += length;
  }
  return pos;
}

size_t ReferenceFindSpace(std::string_view text, size_t pos) {
  while (pos < text.size() && text[pos] != ' ') ++pos;
  return pos;
}

// Random bytes biased towards what the scans must tell apart: ASCII runs
// longer than a word, spaces next to '!' (0x21, the byte that fools the
// zero-byte test above a real match), well-formed characters and the
// malformed sequences next to them.
std::string RandomBytes(std::mt19937& rng) {
  static constexpr std::string_view kParts[] = {"abcdefghijk",
                                                " ",
                                                "!",
                                                "! !",
                                                "\xc3\xa9",
                                                "\xe3\x81\x82",
                                                "\xf0\x9f\x98\x80",
                                                "\xf4\x8f\xbf\xbf",
                                                "\xc0\xaf",
                                                "\xe0\x9f\xbf",
                                                "\xed\xa0\x80",
                                                "\xed\x9f\xbf",
                                                "\xf4\x90\x80\x80",
                                                "\xf0\x8f\xbf\xbf",
                                                "\xc3",
                                                "\x80",
                                                "\xff",
                                                "\xa0!",
                                                std::string_view("\0", 1)};
  std::string text;
  const int parts = std::uniform_int_distribution<int>(0, 12)(rng);
  for (int i = 0; i < parts; ++i) {
    if (rng() % 4 == 0) {
      text.push_back(static_cast<char>(rng()));
    } else {
      text += kParts[rng() % std::size(kParts)];
    }
  }
  return text;
}

TEST(Utf8ScanTest, ShortSequencesMatchReference) {
  for (int b0 = 0; b0 < 256; ++b0) {
    for (int b1 = 0; b1 < 256; ++b1) {
      for (int b2 : {0x41, 0x80, 0xbf, 0xc0}) {
        for (int b3 : {0x80, 0xc0}) {
          const char bytes[8] = {static_cast<char>(b0), static_cast<char>(b1),
                                 static_cast<char>(b2), static_cast<char>(b3)};
          for (size_t size = 1; size <= 4; ++size) {
            const std::string_view text(bytes, size);
            ASSERT_EQ(WellFormedCharLength(text),
                      fuzzing::WellFormedLength(text))
                << b0 << " " << b1 << " " << b2 << " " << b3 << " " << size;
            ASSERT_EQ(WellFormedPrefixLength(text), ReferencePrefixLength(text))
                << b0 << " " << b1 << " " << b2 << " " << b3 << " " << size;
          }
        }
      }
    }
  }
}

TEST(Utf8ScanTest, WordScansMatchByteLoops) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20000; ++round) {
    const std::string text = RandomBytes(rng);
    SCOPED_TRACE(::testing::PrintToString(text));
    // Scanning from every start also covers unaligned word loads.
    for (size_t start = 0; start <= text.size(); ++start) {
      const std::string_view rest = std::string_view(text).substr(start);
      ASSERT_EQ(FindSpace(text, start), ReferenceFindSpace(text, start));
      const size_t prefix = ReferencePrefixLength(rest);
      ASSERT_EQ(WellFormedPrefixLength(rest), prefix);
      ASSERT_EQ(IsWellFormedUtf8(rest), prefix == rest.size());
    }
  }
}

TEST(Utf8ScanTest, FindSpaceEdges) {
  EXPECT_EQ(FindSpace("", 0), 0u);
  EXPECT_EQ(FindSpace("abc", 3), 3u);
  EXPECT_EQ(FindSpace("abcdefgh", 0), 8u);
  EXPECT_EQ(FindSpace("abcdefgh ", 0), 8u);
  EXPECT_EQ(FindSpace("!!!!!!! ", 0), 7u);
  EXPECT_EQ(FindSpace(" !!!!!!!", 0), 0u);
  EXPECT_EQ(FindSpace("abcdefghijklmnopq r", 2), 17u);
  EXPECT_EQ(FindSpace(std::string_view("\0\0\0\0\0\0\0\0 ", 9), 0), 8u);
}

}  // namespace
}  // namespace korvel::lite
