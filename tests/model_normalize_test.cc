// Model::Normalize and CanSkipNormalization: whitespace rules, the character
// map, offsets, agreement of the quick paths with the general loop, and
// agreement of both with the reference over random texts and character maps.

#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/utf8.h"
#include "reference_text.h"
#include "test_models.h"

namespace korvel::lite::testing {
namespace {

constexpr char kWs[] = "\xe2\x96\x81";
constexpr char kFffd[] = "\xef\xbf\xbd";

struct Flags {
  bool add_dummy_prefix = true;
  bool remove_extra_whitespaces = true;
  bool escape_whitespaces = true;
  bool treat_whitespace_as_suffix = false;
  bool charsmap = false;
  bool spec = true;
};

constexpr Flags kDefault;
constexpr Flags kNoRemove{true, false, true, false, false, true};
constexpr Flags kNoEscape{true, true, false, false, false, true};
constexpr Flags kSuffix{true, true, true, true, false, true};
constexpr Flags kNoPrefix{false, true, true, false, false, true};
constexpr Flags kPlain{false, false, true, false, false, true};
constexpr Flags kCharsMap{true, true, true, false, true, true};
constexpr Flags kNoSpec{true, true, true, false, false, false};

// Processors are cached per flag set; building a trie costs more than a test.
const KorvelLiteProcessor& ProcessorFor(const Flags& flags) {
  static auto* cache =
      new std::map<std::tuple<bool, bool, bool, bool, bool, bool>,
                   std::unique_ptr<KorvelLiteProcessor>>();
  const auto key = std::make_tuple(
      flags.add_dummy_prefix, flags.remove_extra_whitespaces,
      flags.escape_whitespaces, flags.treat_whitespace_as_suffix,
      flags.charsmap, flags.spec);
  auto& slot = (*cache)[key];
  if (slot == nullptr) {
    ModelProtoT model = MakeModel({{"<unk>", 0.0f, PieceType_UNKNOWN},
                                   {"a", -1.0f},
                                   {"<sep>", 0.0f, PieceType_USER_DEFINED},
                                   {"x  y", 0.0f, PieceType_USER_DEFINED},
                                   {" q", 0.0f, PieceType_USER_DEFINED}});
    if (flags.spec) {
      model.normalizer_spec = MakeNormalizerSpec(
          flags.add_dummy_prefix, flags.remove_extra_whitespaces,
          flags.escape_whitespaces, flags.treat_whitespace_as_suffix,
          flags.charsmap ? FoldingCharsMap() : std::vector<uint8_t>{});
    }
    slot = std::make_unique<KorvelLiteProcessor>(PackShared(model));
    EXPECT_EQ(slot->status(), absl::StatusCode::kOk);
  }
  return *slot;
}

struct NormalizeCase {
  const char* name;
  Flags flags;
  std::string input;
  std::string expected;
  std::vector<size_t> offsets;
};

std::string Ws(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += kWs;
  return out;
}

TEST(NormalizeTest, TextAndOffsets) {
  const std::vector<NormalizeCase> cases = {
      {"collapse and trim",
       kDefault,
       "  Hello   world  ",
       Ws(1) + "Hello" + Ws(1) + "world",
       {2, 2, 2, 2, 3, 4, 5, 6, 7, 7, 7, 10, 11, 12, 13, 14, 15}},
      {"no removal keeps runs",
       kNoRemove,
       "a  b",
       Ws(1) + "a" + Ws(2) + "b",
       {0, 0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 4}},
      {"no removal keeps leading spaces",
       kNoRemove,
       "  a",
       Ws(3) + "a",
       {0, 0, 0, 0, 0, 0, 1, 1, 1, 2, 3}},
      {"no removal keeps trailing spaces",
       kNoRemove,
       "a ",
       Ws(1) + "a" + Ws(1),
       {0, 0, 0, 0, 1, 1, 1, 2}},
      {"no escaping", kNoEscape, "a b", " a b", {0, 0, 1, 2, 3}},
      {"no escaping trims spaces",
       kNoEscape,
       "  a  b  ",
       " a b",
       {2, 2, 3, 5, 6}},
      {"suffix",
       kSuffix,
       "a b",
       "a" + Ws(1) + "b" + Ws(1),
       {0, 1, 1, 1, 2, 3, 3, 3, 3}},
      {"suffix after trailing spaces",
       kSuffix,
       "a  ",
       "a" + Ws(1),
       {0, 1, 1, 1, 1}},
      {"no dummy prefix",
       kNoPrefix,
       "  a b ",
       "a" + Ws(1) + "b",
       {2, 3, 3, 3, 4, 5}},
      {"offsets", kDefault, "ab", Ws(1) + "ab", {0, 0, 0, 0, 1, 2}},
      {"offsets after leading spaces",
       kDefault,
       "  ab",
       Ws(1) + "ab",
       {2, 2, 2, 2, 3, 4}},
      {"final entry at removed trailing spaces",
       kDefault,
       "ab  ",
       Ws(1) + "ab",
       {0, 0, 0, 0, 1, 2}},
      {"invalid byte",
       kDefault,
       "a\xff"
       "b",
       Ws(1) + "a" + kFffd + "b",
       {0, 0, 0, 0, 1, 1, 1, 2, 3}},
      {"every bad byte its own U+FFFD",
       kDefault,
       "\xe3\x81",
       Ws(1) + kFffd + kFffd,
       {0, 0, 0, 0, 0, 0, 1, 1, 1, 2}},
      {"multi-byte character",
       kDefault,
       "\xc3\xa9",
       Ws(1) + "\xc3\xa9",
       {0, 0, 0, 0, 0, 2}},
      {"spaces only", kDefault, "   ", "", {}},
      {"empty", kDefault, "", "", {}},
      {"empty without spec", kNoSpec, "", "", {}},
      {"literal whitespace symbol", kDefault, kWs, "", {0}},
      {"literal trailing whitespace symbol",
       kDefault,
       std::string("a") + kWs,
       Ws(1) + "a",
       {0, 0, 0, 0, 1}},
      {"no spec", kNoSpec, "a  b", "a  b", {0, 1, 2, 3, 4}},
      {"no spec keeps malformed bytes", kNoSpec, "\xff", "\xff", {0, 1}},
      {"folded letter",
       kCharsMap,
       "x\xef\xbc\xa1y",
       Ws(1) + "xAy",
       {0, 0, 0, 0, 1, 4, 5}},
      {"ligature", kCharsMap, "\xef\xac\x81", Ws(1) + "fi", {0, 0, 0, 0, 0, 3}},
      {"deleted character",
       kCharsMap,
       "a\xc2\xad"
       "b",
       Ws(1) + "ab",
       {0, 0, 0, 0, 3, 4}},
      {"longer key wins",
       kCharsMap,
       "\xef\xbd\xb6\xef\xbe\x9e",
       Ws(1) + "\xe3\x82\xac",
       {0, 0, 0, 0, 0, 0, 6}},
      {"mapped leading space",
       kCharsMap,
       "\xe3\x80\x80"
       "a",
       Ws(1) + "a",
       {3, 3, 3, 3, 4}},
      {"mapped inner space joins a run",
       kCharsMap,
       "a\xe3\x80\x80 b",
       Ws(1) + "a" + Ws(1) + "b",
       {0, 0, 0, 0, 1, 1, 1, 5, 6}},
      {"spaces inside a replacement stay",
       kCharsMap,
       "x\xe2\x91\xb4",
       Ws(1) + "xa" + Ws(2) + "b",
       {0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 4}},
      {"user-defined piece passes whole",
       kCharsMap,
       "<sep>",
       Ws(1) + "<sep>",
       {0, 0, 0, 0, 0, 0, 0, 0, 5}},
      {"user-defined piece keeps its spaces",
       kDefault,
       "x  y",
       Ws(1) + "x" + Ws(2) + "y",
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4}},
      {"user-defined piece starting with a space",
       kDefault,
       "  q",
       Ws(1) + "q",
       {1, 1, 1, 1, 3}},
  };
  for (const NormalizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const KorvelLiteProcessor& processor = ProcessorFor(c.flags);
    std::string normalized = "stale";
    std::vector<size_t> offsets = {99};
    ASSERT_EQ(processor.Normalize(c.input, &normalized, &offsets),
              absl::StatusCode::kOk);
    EXPECT_EQ(normalized, c.expected);
    EXPECT_EQ(offsets, c.offsets);
  }
}

// Without offsets and without a character map, well-formed text takes the
// fast path; it must match the general loop, except that it does not keep a
// user-defined piece's inner run of spaces.
TEST(NormalizeTest, FastPathText) {
  const std::vector<NormalizeCase> cases = {
      {"collapse and trim",
       kDefault,
       "  Hello   world  ",
       Ws(1) + "Hello" + Ws(1) + "world",
       {}},
      {"no removal",
       kNoRemove,
       " a  b ",
       Ws(2) + "a" + Ws(2) + "b" + Ws(1),
       {}},
      {"no escaping", kNoEscape, "a   b  ", " a b", {}},
      {"suffix", kSuffix, "a b", "a" + Ws(1) + "b" + Ws(1), {}},
      {"long words",
       kDefault,
       "abcdefghijklmnop qrstuvwxyz0123456789",
       Ws(1) + "abcdefghijklmnop" + Ws(1) + "qrstuvwxyz0123456789",
       {}},
      {"literal whitespace symbol", kDefault, kWs, "", {}},
      {"malformed text falls back",
       kDefault,
       "a\xff  b",
       Ws(1) + "a" + kFffd + Ws(1) + "b",
       {}},
      {"user-defined spaces collapse",
       kDefault,
       "x  y",
       Ws(1) + "x" + Ws(1) + "y",
       {}},
      {"user-defined piece starting with a space",
       kDefault,
       "  q",
       Ws(1) + "q",
       {}},
  };
  for (const NormalizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string normalized = "stale";
    ASSERT_EQ(ProcessorFor(c.flags).Normalize(c.input, &normalized, nullptr),
              absl::StatusCode::kOk);
    EXPECT_EQ(normalized, c.expected);
  }
}

TEST(NormalizeTest, Guards) {
  KorvelLiteProcessor broken(std::string_view("not a model"));
  std::string normalized = "kept";
  EXPECT_EQ(broken.Normalize("a", &normalized, nullptr),
            absl::StatusCode::kFailedPrecondition);
  EXPECT_EQ(normalized, "kept");
  EXPECT_FALSE(broken.CanSkipNormalization(""));
  EXPECT_EQ(ProcessorFor(kDefault).Normalize("a", nullptr, nullptr),
            absl::StatusCode::kInvalidArgument);
}

TEST(CanSkipNormalizationTest, Table) {
  const struct {
    const char* name;
    Flags flags;
    std::string input;
    bool expected;
  } cases[] = {
      {"dummy prefix", kDefault, "ab", false},
      {"plain model", kPlain, "ab", true},
      {"plain model, space escaped", kPlain, "a b", false},
      {"plain model, space kept",
       {false, false, false, false, false, true},
       "a b",
       true},
      {"plain model, malformed byte", kPlain, "ab\xff", false},
      {"plain model, long malformed", kPlain, "abcdefghijklmnop\xc0\x80",
       false},
      {"plain model, multi-byte", kPlain, "\xe3\x81\x82\xf0\x9f\x98\x80", true},
      {"character map", {false, false, true, false, true, true}, "ab", false},
      {"whitespace removal",
       {false, true, true, false, false, true},
       "ab",
       false},
      {"empty input", kDefault, "", true},
      {"empty input, character map", kCharsMap, "", true},
      {"no spec", kNoSpec, "  a\xff", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ProcessorFor(c.flags).CanSkipNormalization(c.input), c.expected);
  }
}

// Random text built from pieces that exercise every rule: spaces and runs of
// them, ASCII words, multi-byte characters, literal whitespace symbols,
// character-map keys, user-defined pieces and (optionally) malformed bytes.
std::string RandomText(std::mt19937& rng, bool malformed) {
  static const char* const kParts[] = {" ",
                                       "  ",
                                       "   ",
                                       "a",
                                       "hello",
                                       "xyz0123456789",
                                       "\xc3\xa9",
                                       "\xe3\x81\x82",
                                       "\xf0\x9f\x98\x80",
                                       kWs,
                                       "<sep>",
                                       "\xef\xbc\xa1",
                                       "\xef\xbd\xb6",
                                       "\xef\xbd\xb6\xef\xbe\x9e",
                                       "\xc2\xad",
                                       "\xe3\x80\x80",
                                       "\xe2\x91\xb4",
                                       "\t"};
  static const char* const kBad[] = {"\xff",         "\xc3", "\xe3\x81",
                                     "\xed\xa0\x80", "\x80", "\xc0\xaf"};
  std::string text;
  const int parts = std::uniform_int_distribution<int>(0, 24)(rng);
  for (int i = 0; i < parts; ++i) {
    if (malformed && rng() % 8 == 0) {
      text += kBad[rng() % std::size(kBad)];
    } else {
      text += kParts[rng() % std::size(kParts)];
    }
  }
  return text;
}

std::vector<Flags> AllFlagSets() {
  std::vector<Flags> sets;
  for (int bits = 0; bits < 64; ++bits) {
    sets.push_back({(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0,
                    (bits & 8) != 0, (bits & 16) != 0, (bits & 32) != 0});
  }
  return sets;
}

// Asking for offsets forces the general loop; the text must not change (the
// random texts hold no user-defined piece with a run of spaces). Offsets must
// be one per byte plus the final entry, non-decreasing and inside the input.
TEST(NormalizeTest, RandomTextsAgreeWithAndWithoutOffsets) {
  std::mt19937 rng(20240611);
  for (const Flags& flags : AllFlagSets()) {
    const KorvelLiteProcessor& processor = ProcessorFor(flags);
    for (int round = 0; round < 60; ++round) {
      const std::string input = RandomText(rng, /*malformed=*/round % 3 == 0);
      SCOPED_TRACE(::testing::PrintToString(input));
      std::string fast, general;
      std::vector<size_t> offsets;
      ASSERT_EQ(processor.Normalize(input, &fast, nullptr),
                absl::StatusCode::kOk);
      ASSERT_EQ(processor.Normalize(input, &general, &offsets),
                absl::StatusCode::kOk);
      EXPECT_EQ(fast, general);
      if (!general.empty() || !offsets.empty()) {
        ASSERT_EQ(offsets.size(), general.size() + 1);
        for (size_t k = 0; k < offsets.size(); ++k) {
          EXPECT_LE(offsets[k], input.size());
          if (k > 0) {
            EXPECT_LE(offsets[k - 1], offsets[k]);
          }
        }
      }
      if (flags.spec) {
        EXPECT_TRUE(IsWellFormedUtf8(general));
      }
      if (processor.CanSkipNormalization(input)) {
        EXPECT_EQ(general, input);
      }
    }
  }
}

// Normalize with and without offsets against the reference. Without offsets
// and without a character map, well-formed text takes the whitespace-only
// path, which does not consult user-defined pieces; the reference knows.
void ExpectNormalizeMatchesReference(const KorvelLiteProcessor& processor,
                                     const std::string& input) {
  std::string expected;
  std::vector<size_t> expected_offsets;
  fuzzing::ReferenceNormalize(*processor.model(), input, &expected,
                              &expected_offsets);
  std::string text = "stale";
  std::vector<size_t> offsets = {7};
  ASSERT_EQ(processor.Normalize(input, &text, &offsets), absl::StatusCode::kOk);
  EXPECT_EQ(text, expected);
  EXPECT_EQ(offsets, expected_offsets);
  fuzzing::ReferenceNormalize(*processor.model(), input, &expected, nullptr);
  ASSERT_EQ(processor.Normalize(input, &text, nullptr), absl::StatusCode::kOk);
  EXPECT_EQ(text, expected);
}

// Keys that put bytes in every class of the quick paths: letters that start
// keys only with non-ASCII continuations, letters whose keys continue with
// ASCII, one-byte keys, and characters without keys.
std::vector<uint8_t> MixedCharsMap() {
  return BuildCharsMap({
      {"e\xcc\x81", "\xc3\xa9"},  // e + combining acute
      {"a\xcc\x88", "\xc3\xa4"},  // a + combining diaeresis
      {"E\xcc\x81", "\xc3\x89"},
      {"a\xcc\x88\xcc\x81", "Z"},  // a longer key through the same node
      {"ff", "\xef\xac\x80"},      // a letter whose key continues in ASCII
      {"\t", " "},                 // one-byte keys
      {"x", "xx"},
      {"\xc2\xa0", " "},         // no-break space
      {"\xef\xbc\xa1", "A"},     // full-width A
      {"\xe2\x91\xb4", "a  b"},  // a replacement with spaces
      {"\xc2\xad", ""},          // deleted
  });
}

// Random text over a small alphabet that hits every byte class of the quick
// paths and every key above.
std::string RandomQuickPathText(std::mt19937* rng) {
  static const std::vector<std::string> kParts = {"a",
                                                  "e",
                                                  "E",
                                                  "f",
                                                  "ff",
                                                  "q",
                                                  "x",
                                                  "z",
                                                  ".",
                                                  ",",
                                                  " ",
                                                  " ",
                                                  "  ",
                                                  "\t",
                                                  "\xcc\x81",
                                                  "\xcc\x88",
                                                  "e\xcc\x81",
                                                  "a\xcc\x88\xcc\x81",
                                                  "\xc3\xa9",
                                                  "\xd0\xb6",
                                                  "\xe4\xb8\xad",
                                                  "\xf0\x9f\x98\x80",
                                                  "\xc2\xa0",
                                                  "\xef\xbc\xa1",
                                                  "\xe2\x91\xb4",
                                                  "\xc2\xad",
                                                  "<sep>",
                                                  "<se",
                                                  "x  y",
                                                  "\xff",
                                                  "\xe4\xb8",
                                                  "\xc0\x80",
                                                  "\xe2\x96\x81"};
  std::string text;
  const size_t parts = (*rng)() % 40;
  for (size_t i = 0; i < parts; ++i) text += kParts[(*rng)() % kParts.size()];
  return text;
}

TEST(NormalizeTest, RandomTextsMatchTheReference) {
  std::mt19937 rng(1234);
  const std::vector<TestPiece> pieces = {
      {"<unk>", 0.0f, PieceType_UNKNOWN},
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
    for (int round = 0; round < 300; ++round) {
      const std::string input = RandomQuickPathText(&rng);
      SCOPED_TRACE(::testing::PrintToString(input) + " flags " +
                   std::to_string(flags));
      ExpectNormalizeMatchesReference(processor, input);
    }
  }
}

// Long inputs that cross the output's first reservation many times over.
TEST(NormalizeTest, LongTextsGrowTheOutput) {
  std::mt19937 rng(5);
  ModelProtoT model =
      MakeModel({{"<unk>", 0.0f, PieceType_UNKNOWN}, {"a", -1.0f}});
  model.normalizer_spec =
      MakeNormalizerSpec(true, false, true, false, MixedCharsMap());
  const KorvelLiteProcessor processor(PackShared(model));
  std::string input;
  // Spaces and "x" triple or double the text.
  for (int i = 0; i < 5000; ++i) input += rng() % 2 ? "   " : "xxx";
  for (int i = 0; i < 200; ++i) input += RandomQuickPathText(&rng);
  ExpectNormalizeMatchesReference(processor, input);
}

}  // namespace
}  // namespace korvel::lite::testing
