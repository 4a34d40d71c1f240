// The hand-written matchers against PCRE2 running the original patterns, the
// class table against PCRE2's classes, and the regex engine's limits.

#include "korvel_pretokenizer/pretokenizer.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "absl/strings/str_replace.h"
#include "gtest/gtest.h"
#include "korvel_pretokenizer/internal/unicode_classes.h"
#include "utf8_encode.h"

#ifdef KORVEL_TEST_WITH_PCRE2
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#endif

namespace korvel::pretokenizer {
namespace {

using internal::ClassOfCode;

// The pieces, each followed by '|'.
std::string Pieces(absl::Span<const SplitStep> steps, std::string_view text,
                   absl::StatusCode* status = nullptr) {
  std::string joined;
  const absl::StatusCode code =
      ForEachPretoken(steps, text, [&](std::string_view piece) {
        joined.append(piece);
        joined += '|';
      });
  if (status != nullptr) *status = code;
  return joined;
}

// The steps of each family, and of the same patterns through the regex
// engine; DeepSeek-style files split with three patterns in sequence.
struct StepPair {
  std::vector<SplitStep> family, regex;
};

std::vector<StepPair> AllFamilies() {
  std::vector<StepPair> pairs;
  for (const std::vector<int>& sequence : std::vector<std::vector<int>>{
           {1}, {2}, {3}, {4}, {5}, {6}, {7}, {5, 6, 7}}) {
    StepPair& pair = pairs.emplace_back();
    for (int family : sequence) {
      EXPECT_EQ(SplitStep::ForFamily(static_cast<Family>(family),
                                     &pair.family.emplace_back()),
                absl::StatusCode::kOk);
      EXPECT_EQ(
          SplitStep::ForPattern(PatternOfFamily(static_cast<Family>(family)),
                                &pair.regex.emplace_back()),
          absl::StatusCode::kOk);
    }
  }
  return pairs;
}

std::string Utf8(uint32_t code) {
  std::string utf8;
  lite::testing::AppendUtf8(code, &utf8);
  return utf8;
}

// Letters of every case class, marks, numbers, spaces and their look-alikes,
// the apostrophe and contraction letters (with U+017F, which matches s
// caselessly), symbols, emoji, controls and bytes that start no character.
std::vector<std::string> Alphabet() {
  std::vector<std::string> alphabet;
  const std::string_view ascii(
      "abstrevlmdSTREVLMDxQ07''' \r\n\t\v\f.,!/-$+[\\`_\x1c\0", 44);
  for (char c : ascii) alphabet.emplace_back(1, c);
  for (char32_t code :
       {0x17f,  0xe9,   0xc9,   0xdf,   0x1c5,  0x2b0,   0x30fc,  0x4e2d,
        0x9fa5, 0x3042, 0x30ab, 0x30a0, 0x309f, 0x3040,  0x4e00,  0x301,
        0x915,  0x93e,  0x663,  0xb2,   0x216b, 0xa0,    0x3000,  0x2028,
        0x85,   0x180e, 0x2003, 0xad,   0x200b, 0x1f600, 0x1f3fd, 0x200d,
        0x20ac, 0x3a9,  0x3c9,  0x42f,  0xd55c, 0xe000}) {
    alphabet.push_back(Utf8(code));
  }
  for (const char* bad : {"\x80", "\xff", "\xc3", "\xe2\x82", "\xed\xa0\x80",
                          "\xc0\xaf", "\xf4\x90\x80\x80", "\xf0\x9f\x98"}) {
    alphabet.emplace_back(bad);
  }
  return alphabet;
}

std::string RandomText(const std::vector<std::string>& alphabet,
                       std::mt19937* rng) {
  std::uniform_int_distribution<int> length(0, 24);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::string text;
  for (int n = length(*rng); n > 0; --n) text += alphabet[pick(*rng)];
  return text;
}

TEST(PretokenizerTest, FamiliesMatchTheRegexEngine) {
  if (!HasRegexEngine()) GTEST_SKIP() << "built without PCRE2";
  std::vector<std::string> texts;
  std::mt19937 rng(21);
  const std::vector<std::string> alphabet = Alphabet();
  for (int i = 0; i < 30000; ++i) texts.push_back(RandomText(alphabet, &rng));
  const char* source_dir = std::getenv("KORVEL_SOURCE_DIR");
  std::ifstream sample(std::string(source_dir ? source_dir : ".") +
                       "/data/sample.txt");
  std::stringstream whole;
  whole << sample.rdbuf();
  ASSERT_FALSE(whole.str().empty());
  texts.push_back(whole.str());
  for (std::string line; std::getline(whole, line);) texts.push_back(line);
  const std::vector<StepPair> pairs = AllFamilies();
  for (const StepPair& pair : pairs) {
    for (const std::string& text : texts) {
      absl::StatusCode status;
      ASSERT_EQ(Pieces(pair.family, text), Pieces(pair.regex, text, &status))
          << "step " << &pair - pairs.data() << " on \"" << text << "\"";
      ASSERT_EQ(status, absl::StatusCode::kOk);
    }
  }
}

TEST(PretokenizerTest, HandCases) {
  const struct {
    Family family;
    std::string text, pieces;
  } kCases[] = {
      {Family::kGpt2, "I'M  fine's 12\t\tx", "I|'|M| | fine|'s| 12|\t|\t|x|"},
      {Family::kCl100k, "I'M\xc5\xbf 12345  \n\n x",
       "I|'M|\xc5\xbf| |123|45|  \n\n| x|"},
      {Family::kQwen2, "ab12 ..\n", "ab|1|2| ..\n|"},
      {Family::kO200k, "DON'T HelloWorld a/b//\n",
       "DON'T| Hello|World| a|/b|//\n|"},
      {Family::kO200k, "\xcc\x81X\xca\xb0Y.", "\xcc\x81X\xca\xb0|Y|.|"},
      {Family::kDeepSeekCjk, "ab\xe4\xb8\xad\xe6\x96\x87\xe3\x82\xab!",
       "ab|\xe4\xb8\xad\xe6\x96\x87\xe3\x82\xab|!|"},
      {Family::kDeepSeek, ".net 7x\x80\x01 ", ".net| |7x|\x80\x01| |"},
      {Family::kGpt2, "a\xff\xfe b", "a|\xff\xfe| b|"},
  };
  for (const auto& c : kCases) {
    SplitStep step;
    ASSERT_EQ(SplitStep::ForFamily(c.family, &step), absl::StatusCode::kOk);
    EXPECT_EQ(Pieces({&step, 1}, c.text), c.pieces) << c.text;
  }
}

TEST(PretokenizerTest, PatternsAndSteps) {
  for (int i = 0; i <= kLastFamily + 1; ++i) {
    const Family family = static_cast<Family>(i);
    const bool known = i >= 1 && i <= kLastFamily;
    EXPECT_EQ(FamilyOfPattern(PatternOfFamily(family)),
              known ? family : Family::kNone);
    SplitStep step;
    EXPECT_EQ(
        SplitStep::ForFamily(family, &step),
        known ? absl::StatusCode::kOk : absl::StatusCode::kInvalidArgument);
  }
  EXPECT_EQ(FamilyOfPattern("[\xe4\xb8\x80-\xe9\xbe\xa5\\u3040-\xe3\x82\x9f"
                            "\xe3\x82\xa0-\xe3\x83\xbf]+"),
            Family::kDeepSeekCjk);
  std::string raw_breaks(PatternOfFamily(Family::kDeepSeek));
  raw_breaks = absl::StrReplaceAll(raw_breaks, {{"\\r", "\r"}, {"\\n", "\n"}});
  EXPECT_EQ(FamilyOfPattern(raw_breaks), Family::kDeepSeek);
  EXPECT_EQ(Pieces({}, "a b"), "a b|");
  SplitStep gpt2;
  ASSERT_EQ(SplitStep::ForFamily(Family::kGpt2, &gpt2), absl::StatusCode::kOk);
  EXPECT_TRUE(Pieces({&gpt2, 1}, "").empty());
}

TEST(PretokenizerTest, RegexEngine) {
  SplitStep step;
  if (!HasRegexEngine()) {
    EXPECT_EQ(SplitStep::ForPattern("a", &step),
              absl::StatusCode::kFailedPrecondition);
    return;
  }
  EXPECT_EQ(SplitStep::ForPattern("(a", &step),
            absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(SplitStep::ForPattern("\xff", &step),
            absl::StatusCode::kInvalidArgument);
  // Empty matches give no piece; the search resumes a character later.
  ASSERT_EQ(SplitStep::ForPattern("x*", &step), absl::StatusCode::kOk);
  EXPECT_EQ(Pieces({&step, 1}, "\xc3\xa9xx\x80x"), "\xc3\xa9|xx|\x80|x|");
  // A pattern that backtracks exponentially hits the limits.
  ASSERT_EQ(SplitStep::ForPattern("(a|aa)+$", &step), absl::StatusCode::kOk);
  absl::StatusCode status;
  Pieces({&step, 1}, "b" + std::string(200, 'a') + "b", &status);
  EXPECT_EQ(status, absl::StatusCode::kResourceExhausted);
}

#ifdef KORVEL_TEST_WITH_PCRE2
// Every code point's class against PCRE2's; they may differ only where
// PCRE2's older Unicode version has no character yet.
TEST(PretokenizerTest, ClassesMatchTheRegexEngine) {
  const char* kClasses[] = {"\\p{Cn}", "\\p{Lu}", "\\p{Ll}", "\\p{Lt}",
                            "\\p{Lm}", "\\p{Lo}", "\\p{M}",  "\\p{N}",
                            "\\p{P}",  "\\p{S}",  "\\s"};
  std::string pattern;
  for (const char* c : kClasses) pattern += std::string("(") + c + ")|";
  pattern += "(.)";
  int error;
  PCRE2_SIZE offset;
  pcre2_code* code = pcre2_compile(
      reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
      PCRE2_UTF | PCRE2_UCP | PCRE2_ANCHORED | PCRE2_DOTALL, &error, &offset,
      nullptr);
  ASSERT_NE(code, nullptr);
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
  int differences = 0;
  for (uint32_t cp = 0; cp < 0x110000; ++cp) {
    if (cp >= 0xd800 && cp <= 0xdfff) continue;
    const std::string utf8 = Utf8(cp);
    ASSERT_GT(pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(utf8.data()),
                          utf8.size(), 0, 0, data, nullptr),
              0);
    int group = 1;
    while (pcre2_get_ovector_pointer(data)[2 * group] == PCRE2_UNSET) ++group;
    // Groups: 1 unassigned, 2-11 the classes in bit order, 12 anything else.
    const uint32_t expected =
        group == 1 || group == 12 ? 1u : 1u << (group - 1);
    if (ClassOfCode(cp) != expected) {
      ++differences;
      ASSERT_EQ(group, 1) << std::hex << "U+" << cp;
    }
  }
  std::printf("Unicode %s; %d code points unassigned in PCRE2's version\n",
              internal::kUnicodeVersion, differences);
  pcre2_match_data_free(data);
  pcre2_code_free(code);
}
#endif

}  // namespace
}  // namespace korvel::pretokenizer
