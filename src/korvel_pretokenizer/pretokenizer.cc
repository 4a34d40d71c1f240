#include "korvel_pretokenizer/pretokenizer.h"

#include <string>
#include <utility>

#include "korvel_pretokenizer/internal/family_split.h"
#include "korvel_pretokenizer/internal/regex.h"

namespace korvel::pretokenizer {
namespace {

// The patterns as tokenizer.json files spell them once JSON escapes are
// decoded, indexed by Family.
constexpr std::string_view kPatterns[kLastFamily + 1] = {
    "",
    R"re('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)re",
    R"re((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)re",
    R"re((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)re",
    R"re([^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+(?i:'s|'t|'re|'ve|'m|'ll|'d)?|[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n/]*|\s*[\r\n]+|\s+(?!\S)|\s+)re",
    R"re(\p{N}{1,3})re",
    // [一-龥<U+3040>-ゟ゠-ヿ]+: the files write U+3040 (unassigned) as the JSON
    // escape \u3040.
    "[\xe4\xb8\x80-\xe9\xbe\xa5\xe3\x81\x80-\xe3\x82\x9f\xe3\x82\xa0-"
    "\xe3\x83\xbf]+",
    R"re([!"#$%&'()*+,\-./:;<=>?@\[\\\]^_`{|}~][A-Za-z]+|[^\r\n\p{L}\p{P}\p{S}]?[\p{L}\p{M}]+| ?[\p{P}\p{S}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)re",
};

// The CJK pattern with U+3040 left as the regex escape \u3040, as a file
// whose JSON escaped the backslash would spell it.
constexpr std::string_view kDeepSeekCjkEscaped =
    "[\xe4\xb8\x80-\xe9\xbe\xa5\\u3040-\xe3\x82\x9f\xe3\x82\xa0-"
    "\xe3\x83\xbf]+";

// `pattern` with a raw carriage return or line feed written as the escape
// that matches it: some files write them raw, which means the same.
std::string EscapeLineBreaks(std::string_view pattern) {
  std::string escaped;
  for (const char c : pattern) {
    if (c == '\r') {
      escaped += "\\r";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

absl::StatusCode SplitFrom(
    absl::Span<const SplitStep> steps, std::string_view text,
    absl::FunctionRef<void(std::string_view pretoken)> on_pretoken) {
  if (steps.size() == 1) return steps[0].Split(text, on_pretoken);
  absl::StatusCode inner = absl::StatusCode::kOk;
  const absl::StatusCode outer =
      steps[0].Split(text, [&](std::string_view piece) {
        if (inner == absl::StatusCode::kOk) {
          inner = SplitFrom({steps.data() + 1, steps.size() - 1}, piece,
                            on_pretoken);
        }
      });
  return inner != absl::StatusCode::kOk ? inner : outer;
}

}  // namespace

Family FamilyOfPattern(std::string_view raw_pattern) {
  const std::string pattern = EscapeLineBreaks(raw_pattern);
  for (int i = 1; i <= kLastFamily; ++i) {
    if (pattern == kPatterns[i]) return static_cast<Family>(i);
  }
  if (pattern == kDeepSeekCjkEscaped) return Family::kDeepSeekCjk;
  return Family::kNone;
}

std::string_view PatternOfFamily(Family family) {
  const int index = static_cast<int>(family);
  return index <= kLastFamily ? kPatterns[index] : std::string_view();
}

bool HasRegexEngine() { return internal::RegexEngineAvailable(); }

struct SplitStep::Compiled {
  std::unique_ptr<internal::Regex> regex;
};

SplitStep::SplitStep() = default;
SplitStep::~SplitStep() = default;
SplitStep::SplitStep(SplitStep&&) noexcept = default;
SplitStep& SplitStep::operator=(SplitStep&&) noexcept = default;

absl::StatusCode SplitStep::ForFamily(Family family, SplitStep* step) {
  const int index = static_cast<int>(family);
  if (index < 1 || index > kLastFamily || step == nullptr) {
    return absl::StatusCode::kInvalidArgument;
  }
  step->family_ = family;
  step->compiled_.reset();
  return absl::StatusCode::kOk;
}

absl::StatusCode SplitStep::ForPattern(std::string_view pattern,
                                       SplitStep* step) {
  if (step == nullptr) return absl::StatusCode::kInvalidArgument;
  auto compiled = std::make_unique<Compiled>();
  const absl::StatusCode status =
      internal::Regex::Compile(pattern, &compiled->regex);
  if (status != absl::StatusCode::kOk) return status;
  step->family_ = Family::kNone;
  step->compiled_ = std::move(compiled);
  return absl::StatusCode::kOk;
}

absl::StatusCode SplitStep::Split(
    std::string_view text,
    absl::FunctionRef<void(std::string_view piece)> on_piece) const {
  if (text.empty()) return absl::StatusCode::kOk;
  if (compiled_ != nullptr) return compiled_->regex->Split(text, on_piece);
  internal::SplitFamily(family_, text, on_piece);
  return absl::StatusCode::kOk;
}

absl::StatusCode ForEachPretoken(
    absl::Span<const SplitStep> steps, std::string_view text,
    absl::FunctionRef<void(std::string_view pretoken)> on_pretoken) {
  if (text.empty()) return absl::StatusCode::kOk;
  if (steps.empty()) {
    on_pretoken(text);
    return absl::StatusCode::kOk;
  }
  if (steps.size() == 3 && steps[0].family() == Family::kDigits1To3 &&
      steps[1].family() == Family::kDeepSeekCjk &&
      steps[2].family() == Family::kDeepSeek) {
    internal::SplitDeepSeekSequence(text, on_pretoken);
    return absl::StatusCode::kOk;
  }
  return SplitFrom(steps, text, on_pretoken);
}

}  // namespace korvel::pretokenizer
