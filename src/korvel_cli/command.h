#ifndef KORVEL_CLI_COMMAND_H_
#define KORVEL_CLI_COMMAND_H_

#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "absl/status/status.h"

namespace korvel::cli {

// The command line of one subcommand after flag parsing.
struct CommandArgs {
  // Arguments that are not flags, in order.
  std::vector<std::string> positional;
  // Names of the flags given on the command line.
  absl::flat_hash_set<std::string> given_flags;

  bool Given(std::string_view flag) const {
    return given_flags.contains(std::string(flag));
  }
};

// A subcommand of the korvel program. Flags are abseil flags defined in the
// subcommand's source file; `flags` lists the ones it accepts, and any other
// flag on its command line is an error.
struct Command {
  const char* name;
  // The synopsis after "korvel <name>", such as "--model=M [input]".
  const char* synopsis;
  // One line for the list of commands.
  const char* summary;
  // What the command reads and writes, for its --help.
  const char* description;
  std::vector<const char*> flags;
  // Returns OK or an error whose message is the one line to show.
  absl::Status (*run)(const CommandArgs& args);
};

// The subcommands' entry points, each defined in its own source file with
// the flags it reads; their names, help and accepted flags are in command.cc.
absl::Status RunImport(const CommandArgs& args);
absl::Status RunConvert(const CommandArgs& args);
absl::Status RunEncode(const CommandArgs& args);
absl::Status RunDecode(const CommandArgs& args);
absl::Status RunNormalize(const CommandArgs& args);
absl::Status RunInfo(const CommandArgs& args);

// Runs the subcommand named in argv[1]; argv[0] is the program name. Returns
// the process exit status: 0 on success (help included), 1 on any failure,
// after one line on standard error.
int RunCommandLine(int argc, char** argv);

}  // namespace korvel::cli

#endif  // KORVEL_CLI_COMMAND_H_
