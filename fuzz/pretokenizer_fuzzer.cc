// Arbitrary bytes through every pre-tokenizer family's hand-written matcher
// and through PCRE2 running the family's pattern: the pieces must tile the
// text and be the same. Texts with a character whose class differs between
// the pre-tokenizer's Unicode version and PCRE2's are skipped.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "korvel_pretokenizer/internal/unicode_classes.h"
#include "korvel_pretokenizer/pretokenizer.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace korvel::pretokenizer {
namespace {

struct Steps {
  std::vector<std::vector<SplitStep>> family, regex;
  pcre2_code* classes = nullptr;  // (\p{Lu})|...|(\s)|(.) anchored
  pcre2_match_data* match_data = nullptr;
};

const Steps& AllSteps() {
  static const Steps* steps = [] {
    auto* steps = new Steps;
    // Each family alone, and DeepSeek's three splits in sequence.
    for (const std::vector<int>& sequence : std::vector<std::vector<int>>{
             {1}, {2}, {3}, {4}, {5}, {6}, {7}, {5, 6, 7}}) {
      auto& family = steps->family.emplace_back(sequence.size());
      auto& regex = steps->regex.emplace_back(sequence.size());
      for (size_t i = 0; i < sequence.size(); ++i) {
        const Family f = static_cast<Family>(sequence[i]);
        if (SplitStep::ForFamily(f, &family[i]) != absl::StatusCode::kOk ||
            SplitStep::ForPattern(PatternOfFamily(f), &regex[i]) !=
                absl::StatusCode::kOk) {
          std::abort();
        }
      }
    }
    const std::string pattern =
        R"((\p{Lu})|(\p{Ll})|(\p{Lt})|(\p{Lm})|(\p{Lo})|(\p{M})|(\p{N})|)"
        R"((\p{P})|(\p{S})|(\s)|(.))";
    int error;
    PCRE2_SIZE offset;
    steps->classes = pcre2_compile(
        reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
        PCRE2_UTF | PCRE2_UCP | PCRE2_ANCHORED | PCRE2_DOTALL, &error, &offset,
        nullptr);
    if (steps->classes == nullptr) std::abort();
    steps->match_data =
        pcre2_match_data_create_from_pattern(steps->classes, nullptr);
    return steps;
  }();
  return *steps;
}

// True when PCRE2 puts every well-formed character of `text` in the class
// the pre-tokenizer's table gives it.
bool ClassesAgree(std::string_view text) {
  const Steps& steps = AllSteps();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  for (; p < end; p += internal::CharAt(p, end).length) {
    const internal::Char c = internal::CharAt(p, end);
    if (*p >= 0x80 && c.length == 1) continue;
    if (pcre2_match(steps.classes, p, c.length, 0, 0, steps.match_data,
                    nullptr) <= 0) {
      return false;
    }
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(steps.match_data);
    int group = 1;
    while (ovector[2 * group] == PCRE2_UNSET) ++group;
    if (c.bits != (group == 11 ? internal::kNone : 1u << group)) return false;
  }
  return true;
}

// The pieces, each followed by a NUL; aborts unless they tile `text`.
std::string Pieces(const std::vector<SplitStep>& steps, std::string_view text,
                   absl::StatusCode* status) {
  std::string joined;
  size_t covered = 0;
  *status = ForEachPretoken(steps, text, [&](std::string_view piece) {
    if (piece.empty() || piece.data() != text.data() + covered) std::abort();
    covered += piece.size();
    joined.append(piece);
    joined += '\0';
  });
  if (*status == absl::StatusCode::kOk && covered != text.size()) std::abort();
  return joined;
}

}  // namespace
}  // namespace korvel::pretokenizer

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvel::pretokenizer;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Steps& steps = AllSteps();
  for (size_t i = 0; i < steps.family.size(); ++i) {
    absl::StatusCode family_status, regex_status;
    const std::string family = Pieces(steps.family[i], text, &family_status);
    const std::string regex = Pieces(steps.regex[i], text, &regex_status);
    if (family_status != absl::StatusCode::kOk) std::abort();
    if (regex_status != absl::StatusCode::kOk) continue;
    if (family != regex && ClassesAgree(text)) {
      std::fprintf(stderr, "family step %zu differs from PCRE2\n", i);
      std::abort();
    }
  }
  return 0;
}
