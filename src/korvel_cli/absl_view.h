#ifndef KORVEL_CLI_ABSL_VIEW_H_
#define KORVEL_CLI_ABSL_VIEW_H_

#include <string_view>

#include "absl/strings/string_view.h"

namespace korvel::cli {

// The same bytes as abseil's string view, for abseil calls: abseil may be
// built with its own string_view type instead of the standard one.
inline absl::string_view AbslView(std::string_view text) {
  return absl::string_view(text.data(), text.size());
}

}  // namespace korvel::cli

#endif  // KORVEL_CLI_ABSL_VIEW_H_
