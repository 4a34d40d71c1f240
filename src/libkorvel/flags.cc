#include "libkorvel/flags.h"

#include <vector>

#include "absl/flags/parse.h"
#include "absl/flags/usage.h"

namespace korvel {

void ParseCommandLineFlags(const char* usage, int* argc, char*** argv,
                           bool remove_flags) {
  // abseil accepts one usage message per process.
  static const bool usage_set =
      (absl::SetProgramUsageMessage(usage == nullptr ? "" : usage), true);
  (void)usage_set;
  const std::vector<char*> positional = absl::ParseCommandLine(*argc, *argv);
  if (!remove_flags) return;
  for (size_t i = 0; i < positional.size(); ++i) (*argv)[i] = positional[i];
  (*argv)[positional.size()] = nullptr;
  *argc = static_cast<int>(positional.size());
}

}  // namespace korvel
