// Model::Normalize against a plain rendering of the normalization rules that
// asks NormalizePrefix for every span, over random texts and character maps
// that put bytes in every class of the quick paths: letters that start keys
// only with non-ASCII continuations, letters whose keys continue with ASCII,
// one-byte keys, user-defined pieces, characters without keys, spaces and
// malformed bytes.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/utf8.h"
#include "test_models.h"

namespace korvel::lite {
namespace {

using testing::BuildCharsMap;
using testing::MakeModel;
using testing::MakeNormalizerSpec;
using testing::PackShared;
using testing::TestPiece;

struct Normalized {
  std::string text;
  std::vector<size_t> offsets;
};

// The normalization rules, span by span.
Normalized PlainNormalize(const Normalizer& normalizer, std::string_view input) {
  Normalized result;
  if (input.empty()) return result;
  const std::string ws = normalizer.escape_whitespaces ? "\xe2\x96\x81" : " ";
  size_t offset = 0;
  if (normalizer.remove_extra_whitespaces) {
    while (true) {
      const NormalizedPrefix prefix = normalizer.NormalizePrefix(input.substr(offset));
      if (prefix.replacement != " ") break;
      offset += prefix.consumed;
      if (offset >= input.size()) return result;
    }
  }
  auto append = [&](std::string_view bytes, size_t at) {
    result.text += bytes;
    result.offsets.insert(result.offsets.end(), bytes.size(), at);
  };
  if (normalizer.add_dummy_prefix && !normalizer.treat_whitespace_as_suffix) {
    append(ws, offset);
  }
  bool previous_was_space = normalizer.remove_extra_whitespaces;
  while (offset < input.size()) {
    const NormalizedPrefix prefix = normalizer.NormalizePrefix(input.substr(offset));
    std::string_view text = prefix.replacement;
    if (previous_was_space) {
      while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    }
    if (!text.empty()) {
      for (char c : text) append(c == ' ' ? std::string_view(ws) : std::string_view(&c, 1), offset);
      previous_was_space = text.back() == ' ';
    }
    offset += prefix.consumed;
    if (!normalizer.remove_extra_whitespaces) previous_was_space = false;
  }
  if (normalizer.remove_extra_whitespaces) {
    while (result.text.size() >= ws.size() &&
           result.text.compare(result.text.size() - ws.size(), ws.size(), ws) == 0) {
      const size_t length = result.text.size() - ws.size();
      offset = result.offsets[length];
      result.text.resize(length);
      result.offsets.resize(length);
    }
  }
  if (normalizer.add_dummy_prefix && normalizer.treat_whitespace_as_suffix) {
    append(ws, offset);
  }
  result.offsets.push_back(offset);
  return result;
}

std::vector<uint8_t> MixedCharsMap() {
  return BuildCharsMap({
      {"e\xcc\x81", "\xc3\xa9"},       // e + combining acute
      {"a\xcc\x88", "\xc3\xa4"},       // a + combining diaeresis
      {"E\xcc\x81", "\xc3\x89"},
      {"a\xcc\x88\xcc\x81", "Z"},      // a longer key through the same node
      {"ff", "\xef\xac\x80"},           // a letter whose key continues in ASCII
      {"\t", " "},                      // one-byte keys
      {"x", "xx"},
      {"\xc2\xa0", " "},                // no-break space
      {"\xef\xbc\xa1", "A"},            // full-width A
      {"\xe2\x91\xb4", "a  b"},         // a replacement with spaces
      {"\xc2\xad", ""},                 // deleted
  });
}

// Random text over a small alphabet that hits every class and key above.
std::string RandomText(std::mt19937* rng) {
  static const std::vector<std::string> kParts = {
      "a", "e", "E", "f", "ff", "q", "x", "z", ".", ",", " ", " ", "  ", "\t",
      "\xcc\x81", "\xcc\x88", "e\xcc\x81", "a\xcc\x88\xcc\x81", "\xc3\xa9",
      "\xd0\xb6", "\xe4\xb8\xad", "\xf0\x9f\x98\x80", "\xc2\xa0", "\xef\xbc\xa1",
      "\xe2\x91\xb4", "\xc2\xad", "<sep>", "<se", "x  y", "\xff", "\xe4\xb8",
      "\xc0\x80", "\xe2\x96\x81"};
  std::string text;
  const size_t parts = (*rng)() % 40;
  for (size_t i = 0; i < parts; ++i) text += kParts[(*rng)() % kParts.size()];
  return text;
}

TEST(NormalizeFastPathTest, RandomTextsMatchThePlainRules) {
  std::mt19937 rng(1234);
  const std::vector<TestPiece> pieces = {{"<unk>", 0.0f, PieceType_UNKNOWN},
                                         {"a", -1.0f},
                                         {"<sep>", 0.0f, PieceType_USER_DEFINED},
                                         {"x  y", 0.0f, PieceType_USER_DEFINED},
                                         {"e\xcc", 0.0f, PieceType_USER_DEFINED}};
  for (int flags = 0; flags < 32; ++flags) {
    const bool add_dummy_prefix = flags & 1;
    const bool remove_extra = flags & 2;
    const bool escape = flags & 4;
    const bool suffix = flags & 8;
    const bool charsmap = flags & 16;
    ModelProtoT model = MakeModel(pieces);
    model.normalizer_spec =
        MakeNormalizerSpec(add_dummy_prefix, remove_extra, escape, suffix,
                           charsmap ? MixedCharsMap() : std::vector<uint8_t>{});
    const KorvelLiteProcessor processor(PackShared(model));
    ASSERT_EQ(processor.status(), absl::StatusCode::kOk);
    const Normalizer& normalizer = processor.model()->normalizer;
    for (int round = 0; round < 300; ++round) {
      const std::string input = RandomText(&rng);
      SCOPED_TRACE(::testing::PrintToString(input) + " flags " +
                   std::to_string(flags));
      const Normalized expected = PlainNormalize(normalizer, input);
      std::string text = "stale";
      std::vector<size_t> offsets = {7};
      ASSERT_EQ(processor.Normalize(input, &text, &offsets), absl::StatusCode::kOk);
      EXPECT_EQ(text, expected.text);
      EXPECT_EQ(offsets, expected.offsets);
      // Without offsets the text is the same, except on the whitespace-only
      // path, which does not consult user-defined pieces: it collapses the
      // spaces of one, and keeps whole a character that one cuts.
      const bool whitespace_only = !charsmap && IsWellFormedUtf8(input);
      if (!whitespace_only || (input.find("x  y") == std::string::npos &&
                               input.find("e\xcc") == std::string::npos)) {
        ASSERT_EQ(processor.Normalize(input, &text, nullptr), absl::StatusCode::kOk);
        EXPECT_EQ(text, expected.text);
      }
    }
  }
}

// Long inputs that cross the output's first reservation many times over.
TEST(NormalizeFastPathTest, LongTextsGrowTheOutput) {
  std::mt19937 rng(5);
  ModelProtoT model = MakeModel({{"<unk>", 0.0f, PieceType_UNKNOWN}, {"a", -1.0f}});
  model.normalizer_spec = MakeNormalizerSpec(true, false, true, false, MixedCharsMap());
  const KorvelLiteProcessor processor(PackShared(model));
  std::string input;
  // Spaces and "x" triple or double the text.
  for (int i = 0; i < 5000; ++i) input += rng() % 2 ? "   " : "xxx";
  for (int i = 0; i < 200; ++i) input += RandomText(&rng);
  const Normalized expected = PlainNormalize(processor.model()->normalizer, input);
  std::string text;
  std::vector<size_t> offsets;
  ASSERT_EQ(processor.Normalize(input, &text, &offsets), absl::StatusCode::kOk);
  EXPECT_EQ(text, expected.text);
  EXPECT_EQ(offsets, expected.offsets);
  ASSERT_EQ(processor.Normalize(input, &text, nullptr), absl::StatusCode::kOk);
  EXPECT_EQ(text, expected.text);
}

}  // namespace
}  // namespace korvel::lite
