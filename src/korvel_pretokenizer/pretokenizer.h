#ifndef KORVEL_PRETOKENIZER_PRETOKENIZER_H_
#define KORVEL_PRETOKENIZER_PRETOKENIZER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "absl/functional/function_ref.h"
#include "absl/status/status.h"
#include "absl/types/span.h"

namespace korvel::pretokenizer {

// The pre-tokenizer patterns that byte-level tokenizers ship, each matched by
// hand-written code that gives exactly the regex engine's matches. The
// numbers are stored in model files: never renumber them.
enum class Family : uint8_t {
  kNone = 0,         // not a family: the pattern runs through the regex engine
  kGpt2 = 1,         // GPT-2, and the ByteLevel pre-tokenizer's own pattern
  kCl100k = 2,       // Llama-3, cl100k
  kQwen2 = 3,        // Qwen2 and 3: cl100k with one digit per pre-token
  kO200k = 4,        // GPT-4o, gpt-oss
  kDigits1To3 = 5,   // \p{N}{1,3}, the first split of DeepSeek-style files
  kDeepSeekCjk = 6,  // the CJK split of DeepSeek-style files
  kDeepSeek = 7,     // the main split of DeepSeek-style files
};
inline constexpr int kLastFamily = 7;

// The family whose pattern is exactly `pattern` (the text of a Split's
// `pattern.Regex` in tokenizer.json, or of the ByteLevel pre-tokenizer's
// built-in pattern), raw carriage returns and line feeds counting as the
// escapes \r and \n; or kNone.
Family FamilyOfPattern(std::string_view pattern);

// The pattern text of a family; empty for kNone and unknown numbers.
std::string_view PatternOfFamily(Family family);

// True when this build can run patterns that are not a family.
bool HasRegexEngine();

// One split step: a family matcher, or a pattern compiled by the regex engine
// (PCRE2 in UTF-8 mode with Unicode classes) with match, depth and heap
// limits. The families take their character classes from the Unicode data
// the build was made with (15.0 on Debian 12); the regex engine uses its own
// Unicode tables. Text that is not valid UTF-8 is split as if every byte that
// starts no well-formed character were one character of its own that belongs
// to no letter, mark, number, punctuation, symbol or space class (the regex
// engine matches it as U+E000). A regex step passes no piece for an empty
// match and resumes its search one character later. Immutable after creation
// and safe to use from any number of threads at once.
class SplitStep {
 public:
  SplitStep();  // splits nothing: the whole text is one piece
  ~SplitStep();
  SplitStep(SplitStep&&) noexcept;
  SplitStep& operator=(SplitStep&&) noexcept;

  // A step for a known family (not kNone); kInvalidArgument otherwise.
  static absl::StatusCode ForFamily(Family family, SplitStep* step);
  // Compiles `pattern`: kFailedPrecondition when this build has no regex
  // engine, kInvalidArgument when the pattern does not compile.
  static absl::StatusCode ForPattern(std::string_view pattern, SplitStep* step);

  // Calls `on_piece` for each piece of `text` in order: every match and every
  // non-empty stretch between matches. The pieces tile `text`. Family steps
  // allocate nothing. kResourceExhausted when the regex engine hits its
  // limits; the pieces already passed then cover a prefix of `text`.
  absl::StatusCode Split(
      std::string_view text,
      absl::FunctionRef<void(std::string_view piece)> on_piece) const;

  // The family of a family step; kNone for a regex step and an empty one.
  Family family() const { return family_; }

 private:
  struct Compiled;
  Family family_ = Family::kNone;
  std::unique_ptr<Compiled> compiled_;
};

// Splits `text` with each step in turn, every step splitting the pieces of
// the one before, and calls `on_pretoken` with each final piece in order.
// With no steps the whole text is one pre-token. Empty text gives none.
absl::StatusCode ForEachPretoken(
    absl::Span<const SplitStep> steps, std::string_view text,
    absl::FunctionRef<void(std::string_view pretoken)> on_pretoken);

}  // namespace korvel::pretokenizer

#endif  // KORVEL_PRETOKENIZER_PRETOKENIZER_H_
