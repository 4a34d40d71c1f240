// NormalizePrefix: user-defined pieces, the character map and the one-character
// fallback with its U+FFFD rule.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/utf8.h"
#include "test_models.h"

namespace korvel::lite::testing {
namespace {

std::unique_ptr<KorvelLiteProcessor> MakeProcessor(
    bool with_charsmap, bool remove_extra_whitespaces) {
  std::vector<TestPiece> pieces = {
      {"<unk>", 0.0f, PieceType_UNKNOWN},
      {"a", -1.0f},
      {"<sep>", 0.0f, PieceType_USER_DEFINED},
      {"\xef\xbc\xa2", 0.0f, PieceType_USER_DEFINED},
      {"<sep><sep>", 0.0f, PieceType_USER_DEFINED}};
  ModelProtoT model = MakeModel(pieces);
  model.normalizer_spec = MakeNormalizerSpec(
      true, remove_extra_whitespaces, true, false,
      with_charsmap ? FoldingCharsMap() : std::vector<uint8_t>{});
  auto processor = std::make_unique<KorvelLiteProcessor>(PackShared(model));
  EXPECT_EQ(processor->status(), absl::StatusCode::kOk);
  return processor;
}

struct PrefixCase {
  const char* name;
  std::string input;
  std::string replacement;
  int consumed;
};

void CheckCases(const Normalizer& normalizer,
                const std::vector<PrefixCase>& cases) {
  for (const PrefixCase& c : cases) {
    SCOPED_TRACE(c.name);
    const NormalizedPrefix prefix = normalizer.NormalizePrefix(c.input);
    EXPECT_EQ(prefix.replacement, c.replacement);
    EXPECT_EQ(prefix.consumed, c.consumed);
  }
}

TEST(NormalizePrefixTest, OneCharacterFallback) {
  const auto processor = MakeProcessor(/*with_charsmap=*/false,
                                       /*remove_extra_whitespaces=*/false);
  const std::string fffd(kReplacementCharacter);
  CheckCases(
      processor->model()->normalizer,
      {
          {"empty", "", "", 0},
          {"ascii", "ab", "a", 1},
          {"nul byte", std::string("\0x", 2), std::string("\0", 1), 1},
          {"two-byte", "\xc3\xa9z", "\xc3\xa9", 2},
          {"three-byte", "\xe3\x81\x82", "\xe3\x81\x82", 3},
          {"four-byte", "\xf0\x9f\x98\x80!", "\xf0\x9f\x98\x80", 4},
          {"largest code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf", 4},
          {"lone lead byte", "\xc3", fffd, 1},
          {"truncated three-byte", "\xe3\x81", fffd, 1},
          {"overlong two-byte", "\xc0\x80", fffd, 1},
          {"overlong three-byte", "\xe0\x80\xaf", fffd, 1},
          {"lone continuation", "\x80", fffd, 1},
          {"surrogate", "\xed\xa0\x80", fffd, 1},
          {"above U+10FFFF", "\xf4\x90\x80\x80", fffd, 1},
          {"bad continuation", "\xe3\x41\x82", fffd, 1},
          {"lead byte FF", "\xff", fffd, 1},
          // Without a character map and without whitespace removal the
          // user-defined pieces are not attached.
          {"user-defined not attached", "<sep>", "<", 1},
      });
}

TEST(NormalizePrefixTest, CharacterMapAndUserDefinedPieces) {
  const auto processor = MakeProcessor(/*with_charsmap=*/true,
                                       /*remove_extra_whitespaces=*/true);
  CheckCases(
      processor->model()->normalizer,
      {
          {"full-width letter", "\xef\xbc\xa1x", "A", 3},
          {"ligature", "\xef\xac\x81nd", "fi", 3},
          {"deleted character",
           "\xc2\xad"
           "a",
           "", 2},
          {"shorter key", "\xef\xbd\xb6x", "\xe3\x82\xab", 3},
          {"longer key wins", "\xef\xbd\xb6\xef\xbe\x9e", "\xe3\x82\xac", 6},
          {"longer key cut short", "\xef\xbd\xb6\xef\xbe", "\xe3\x82\xab", 3},
          {"replacement with spaces", "\xe2\x91\xb4", "a  b", 3},
          {"no key", "\xc3\xa9", "\xc3\xa9", 2},
          {"malformed, no key", "\xff", std::string(kReplacementCharacter), 1},
          {"user-defined piece", "<sep>x", "<sep>", 5},
          {"longest user-defined piece", "<sep><sep><sep>", "<sep><sep>", 10},
          {"user-defined prefix only", "<se", "<", 1},
          {"user-defined beats the map", "\xef\xbc\xa2", "\xef\xbc\xa2", 3},
      });
}

TEST(NormalizePrefixTest, ReplacementsViewTheirSources) {
  const auto processor = MakeProcessor(true, true);
  const Normalizer& normalizer = processor->model()->normalizer;
  const std::string input = "<sep>";
  EXPECT_EQ(normalizer.NormalizePrefix(input).replacement.data(), input.data());
  const NormalizedPrefix folded = normalizer.NormalizePrefix("\xef\xbc\xa1");
  EXPECT_GE(folded.replacement.data(), normalizer.replacement_pool);
  EXPECT_LT(folded.replacement.data(),
            normalizer.replacement_pool + normalizer.replacement_pool_size);
}

// Every bad byte of a broken sequence becomes its own U+FFFD, and the walk
// resynchronizes on the next well-formed character.
TEST(NormalizePrefixTest, WalkThroughMalformedText) {
  const auto processor = MakeProcessor(false, false);
  const Normalizer& normalizer = processor->model()->normalizer;
  std::string_view input = "\xe3\x81\xc0\x80\xed\xa0\x80\xc3\xa9";
  std::vector<std::string> pieces;
  while (!input.empty()) {
    const NormalizedPrefix prefix = normalizer.NormalizePrefix(input);
    ASSERT_GE(prefix.consumed, 1);
    pieces.emplace_back(prefix.replacement);
    input.remove_prefix(prefix.consumed);
  }
  const std::string fffd(kReplacementCharacter);
  EXPECT_EQ(pieces, std::vector<std::string>({fffd, fffd, fffd, fffd, fffd,
                                              fffd, fffd, "\xc3\xa9"}));
}

}  // namespace
}  // namespace korvel::lite::testing
