// The hand-written matchers against PCRE2 running the original patterns, the
// class table against PCRE2's classes, and the regex engine's limits.

#include "korvel_pretokenizer/pretokenizer.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "korvel_pretokenizer/internal/unicode_classes.h"

#ifdef KORVEL_TEST_WITH_PCRE2
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#endif

namespace korvel::pretokenizer {
namespace {

using internal::ClassOfCode;

std::vector<std::string> Pieces(absl::Span<const SplitStep> steps,
                                std::string_view text,
                                absl::StatusCode* status = nullptr) {
  std::vector<std::string> pieces;
  const absl::StatusCode code = ForEachPretoken(
      steps, text, [&](std::string_view p) { pieces.emplace_back(p); });
  if (status != nullptr) *status = code;
  return pieces;
}

std::string Join(const std::vector<std::string>& pieces) {
  std::string joined;
  for (const std::string& piece : pieces) joined += piece + "|";
  return joined;
}

// The steps of a family, and of the same patterns through the regex engine.
// DeepSeek-style files split with three patterns in sequence.
struct StepPair {
  std::string name;
  std::vector<SplitStep> family, regex;
};

std::vector<StepPair> AllFamilies() {
  std::vector<StepPair> pairs;
  const std::vector<std::vector<Family>> sequences = {
      {Family::kGpt2},
      {Family::kCl100k},
      {Family::kQwen2},
      {Family::kO200k},
      {Family::kDigits1To3},
      {Family::kDeepSeekCjk},
      {Family::kDeepSeek},
      {Family::kDigits1To3, Family::kDeepSeekCjk, Family::kDeepSeek}};
  for (const std::vector<Family>& sequence : sequences) {
    StepPair pair;
    for (Family family : sequence) {
      pair.name += std::to_string(static_cast<int>(family)) + " ";
      pair.family.emplace_back();
      EXPECT_EQ(SplitStep::ForFamily(family, &pair.family.back()),
                absl::StatusCode::kOk);
      pair.regex.emplace_back();
      EXPECT_EQ(
          SplitStep::ForPattern(PatternOfFamily(family), &pair.regex.back()),
          absl::StatusCode::kOk);
    }
    pairs.push_back(std::move(pair));
  }
  return pairs;
}

// Letters of every case class, marks, numbers, spaces and their look-alikes,
// the apostrophe and contraction letters (with U+017F, which matches s
// caselessly), symbols, emoji, controls and bytes that start no character.
const char* const kAlphabet[] = {"a",
                                 "b",
                                 "s",
                                 "t",
                                 "r",
                                 "e",
                                 "v",
                                 "l",
                                 "m",
                                 "d",
                                 "S",
                                 "T",
                                 "R",
                                 "E",
                                 "V",
                                 "L",
                                 "M",
                                 "D",
                                 "x",
                                 "Q",
                                 "0",
                                 "7",
                                 "'",
                                 "'",
                                 "'",
                                 "\xc5\xbf",
                                 " ",
                                 " ",
                                 " ",
                                 "\r",
                                 "\n",
                                 "\t",
                                 "\v",
                                 "\f",
                                 ".",
                                 ",",
                                 "!",
                                 "/",
                                 "-",
                                 "$",
                                 "+",
                                 "[",
                                 "\\",
                                 "`",
                                 "_",
                                 "\xc3\xa9",
                                 "\xc3\x89",
                                 "\xc3\x9f",
                                 "\xc7\x85",
                                 "\xca\xb0",
                                 "\xe3\x83\xbc",
                                 "\xe4\xb8\xad",
                                 "\xe9\xbe\xa5",
                                 "\xe3\x81\x82",
                                 "\xe3\x82\xab",
                                 "\xe3\x82\xa0",
                                 "\xe3\x82\x9f",
                                 "\xe3\x81\x80",
                                 "\xe4\xb8\x80",
                                 "\xcc\x81",
                                 "\xe0\xa4\x95",
                                 "\xe0\xa4\xbe",
                                 "\xd9\xa3",
                                 "\xc2\xb2",
                                 "\xe2\x85\xab",
                                 "\xc2\xa0",
                                 "\xe3\x80\x80",
                                 "\xe2\x80\xa8",
                                 "\xc2\x85",
                                 "\xe1\xa0\x8e",
                                 "\xe2\x80\x83",
                                 "\x1c",
                                 "\x00",
                                 "\xc2\xad",
                                 "\xe2\x80\x8b",
                                 "\xf0\x9f\x98\x80",
                                 "\xf0\x9f\x8f\xbd",
                                 "\xe2\x80\x8d",
                                 "\xe2\x82\xac",
                                 "\xce\xa9",
                                 "\xcf\x89",
                                 "\xd0\xaf",
                                 "\xed\x95\x9c",
                                 "\xee\x80\x80",
                                 "\x80",
                                 "\xff",
                                 "\xc3",
                                 "\xe2\x82",
                                 "\xed\xa0\x80",
                                 "\xc0\xaf",
                                 "\xf4\x90\x80\x80",
                                 "\xf0\x9f\x98"};

std::string RandomText(std::mt19937* rng) {
  std::uniform_int_distribution<int> length(0, 24);
  std::uniform_int_distribution<size_t> pick(0, std::size(kAlphabet) - 1);
  std::string text;
  for (int n = length(*rng); n > 0; --n) {
    const char* c = kAlphabet[pick(*rng)];
    text += *c == 0 ? std::string(1, '\0') : std::string(c);
  }
  return text;
}

TEST(PretokenizerTest, FamiliesMatchTheRegexEngine) {
  if (!HasRegexEngine()) GTEST_SKIP() << "built without PCRE2";
  std::vector<std::string> texts;
  std::mt19937 rng(21);
  for (int i = 0; i < 30000; ++i) texts.push_back(RandomText(&rng));
  const char* source_dir = std::getenv("KORVEL_SOURCE_DIR");
  std::ifstream sample(std::string(source_dir ? source_dir : ".") +
                       "/data/sample.txt");
  std::stringstream whole;
  whole << sample.rdbuf();
  ASSERT_FALSE(whole.str().empty());
  texts.push_back(whole.str());
  for (std::string line; std::getline(whole, line);) texts.push_back(line);
  for (const StepPair& pair : AllFamilies()) {
    for (const std::string& text : texts) {
      absl::StatusCode status;
      ASSERT_EQ(Join(Pieces(pair.family, text)),
                Join(Pieces(pair.regex, text, &status)))
          << "families " << pair.name << "on \"" << text << "\"";
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
    EXPECT_EQ(Join(Pieces({&step, 1}, c.text)), c.pieces) << c.text;
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
  EXPECT_EQ(Join(Pieces({}, "a b")), "a b|");
  EXPECT_TRUE(Pieces(AllFamilies()[0].family, "").empty());
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
  EXPECT_EQ(Join(Pieces({&step, 1}, "\xc3\xa9xx\x80x")), "\xc3\xa9|xx|\x80|x|");
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
    unsigned char utf8[4];
    int n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    utf8[0] = n == 1 ? cp : (0xf00u >> n) | (cp >> (6 * (n - 1)));
    for (int i = 1; i < n; ++i)
      utf8[i] = 0x80 | ((cp >> (6 * (n - 1 - i))) & 0x3f);
    ASSERT_GT(pcre2_match(code, utf8, n, 0, 0, data, nullptr), 0);
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
