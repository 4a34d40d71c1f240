#ifndef KORVEL_PRETOKENIZER_INTERNAL_REGEX_H_
#define KORVEL_PRETOKENIZER_INTERNAL_REGEX_H_

#include <memory>
#include <string_view>

#include "absl/functional/function_ref.h"
#include "absl/status/status.h"

namespace korvel::pretokenizer::internal {

// True when this build has the regex engine (PCRE2).
bool RegexEngineAvailable();

// A pattern compiled by the regex engine in UTF-8 mode with Unicode classes,
// run with match, depth and heap limits. Immutable; safe from many threads.
class Regex {
 public:
  // kFailedPrecondition without the engine, kInvalidArgument when `pattern`
  // does not compile (invalid UTF-8 included).
  static absl::StatusCode Compile(std::string_view pattern,
                                  std::unique_ptr<Regex>* regex);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // SplitStep::Split for this pattern. Each byte of `text` that starts no
  // well-formed character is matched as U+E000 (private use, in no class).
  // An empty match emits nothing; the search then resumes one character
  // later.
  absl::StatusCode Split(
      std::string_view text,
      absl::FunctionRef<void(std::string_view piece)> on_piece) const;

 private:
  Regex() = default;
  void* code_ = nullptr;           // pcre2_code_8
  void* match_context_ = nullptr;  // pcre2_match_context_8
};

}  // namespace korvel::pretokenizer::internal

#endif  // KORVEL_PRETOKENIZER_INTERNAL_REGEX_H_
