#ifndef KORVEL_CLI_SHARED_FLAGS_H_
#define KORVEL_CLI_SHARED_FLAGS_H_

#include <string>

#include "absl/flags/declare.h"

// Flags that several subcommands accept.
ABSL_DECLARE_FLAG(std::string, model);
ABSL_DECLARE_FLAG(std::string, output_file);
ABSL_DECLARE_FLAG(int, threads);
ABSL_DECLARE_FLAG(bool, mmap);
ABSL_DECLARE_FLAG(std::string, output);

#endif  // KORVEL_CLI_SHARED_FLAGS_H_
