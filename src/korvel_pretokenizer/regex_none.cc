// The regex engine of a build without PCRE2: nothing compiles.

#include "korvel_pretokenizer/internal/regex.h"

namespace korvel::pretokenizer::internal {

bool RegexEngineAvailable() { return false; }

absl::StatusCode Regex::Compile(std::string_view, std::unique_ptr<Regex>*) {
  return absl::StatusCode::kFailedPrecondition;
}

Regex::~Regex() = default;

absl::StatusCode Regex::Split(std::string_view,
                              absl::FunctionRef<void(std::string_view)>) const {
  return absl::StatusCode::kFailedPrecondition;
}

}  // namespace korvel::pretokenizer::internal
