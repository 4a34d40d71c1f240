#include "korvel_cli/command.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "absl/flags/commandlineflag.h"
#include "absl/flags/parse.h"
#include "absl/flags/reflection.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_format.h"
#include "korvel_cli/absl_view.h"

namespace korvel::cli {
namespace {

std::vector<const Command*> AllCommands() {
  return {&ImportCommand(), &ConvertCommand(),   &EncodeCommand(),
          &DecodeCommand(), &NormalizeCommand(), &InfoCommand()};
}

const Command* FindCommand(std::string_view name) {
  for (const Command* command : AllCommands()) {
    if (name == command->name) return command;
  }
  return nullptr;
}

void Print(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

bool IsHelpArgument(std::string_view arg) {
  return arg == "--help" || arg == "-help" || arg == "-h" ||
         arg == "--helpfull";
}

std::string ProgramHelp() {
  std::string help =
      "Usage: korvel <command> [flags] [arguments]\n\n"
      "Commands:\n";
  for (const Command* command : AllCommands()) {
    absl::StrAppendFormat(&help, "  %-10s %s\n", command->name,
                          command->summary);
  }
  absl::StrAppend(&help,
                  "\nRun 'korvel <command> --help' for the flags of a "
                  "command.\n");
  return help;
}

std::string CommandHelp(const Command& command) {
  std::string help =
      absl::StrCat("Usage: korvel ", command.name, " ", command.synopsis,
                   "\n\n", command.description, "\n");
  if (!command.flags.empty()) absl::StrAppend(&help, "\nFlags:\n");
  for (const char* name : command.flags) {
    const absl::CommandLineFlag* flag = absl::FindCommandLineFlag(name);
    if (flag == nullptr) continue;
    const std::string default_value =
        flag->IsOfType<std::string>()
            ? absl::StrCat("\"", flag->DefaultValue(), "\"")
            : flag->DefaultValue();
    absl::StrAppend(&help, "  --", name, "\n      ", flag->Help(),
                    " (default: ", default_value, ")\n");
  }
  return help;
}

const absl::CommandLineFlag* AcceptedFlag(const Command& command,
                                          std::string_view name) {
  for (const char* accepted : command.flags) {
    if (name == accepted) return absl::FindCommandLineFlag(accepted);
  }
  return nullptr;
}

// Checks that every flag in `args` belongs to `command` and records the names
// given. Follows abseil's syntax: one or two dashes, "--name=value",
// "--name value" for flags that are not bool, "--noname" for bool flags, and
// "--" ends the flags.
absl::Status CheckFlags(const Command& command,
                        const std::vector<std::string_view>& args,
                        CommandArgs& parsed) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-') continue;
    arg.remove_prefix(arg[1] == '-' ? 2 : 1);
    const size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    const absl::CommandLineFlag* flag = AcceptedFlag(command, name);
    if (flag == nullptr && name.substr(0, 2) == "no") {
      flag = AcceptedFlag(command, name.substr(2));
      if (flag != nullptr && flag->IsOfType<bool>() &&
          equals == std::string_view::npos) {
        parsed.given_flags.insert(std::string(name.substr(2)));
        continue;
      }
      flag = nullptr;
    }
    if (flag == nullptr) {
      return absl::InvalidArgumentError(
          absl::StrCat("korvel ", command.name, ": unknown flag --",
                       AbslView(name),
                       " (see 'korvel ", command.name, " --help')"));
    }
    parsed.given_flags.insert(std::string(name));
    if (equals == std::string_view::npos && !flag->IsOfType<bool>()) ++i;
  }
  return absl::OkStatus();
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
  if (argc < 2) {
    Print(stderr, "korvel: missing command (see 'korvel --help')\n");
    return 1;
  }
  const std::string_view name = argv[1];
  if (IsHelpArgument(name) || name == "help") {
    const Command* command = argc > 2 ? FindCommand(argv[2]) : nullptr;
    Print(stdout, command != nullptr ? CommandHelp(*command) : ProgramHelp());
    return 0;
  }
  const Command* command = FindCommand(name);
  if (command == nullptr) {
    Print(stderr, absl::StrCat("korvel: unknown command '", AbslView(name),
                               "' (see 'korvel --help')\n"));
    return 1;
  }

  const std::vector<std::string_view> args(argv + 2, argv + argc);
  for (std::string_view arg : args) {
    if (arg == "--") break;
    if (IsHelpArgument(arg)) {
      Print(stdout, CommandHelp(*command));
      return 0;
    }
  }
  CommandArgs parsed;
  absl::Status status = CheckFlags(*command, args, parsed);
  if (status.ok()) {
    // Abseil reports bad flag values itself, on one line, and exits with 1.
    std::vector<char*> flag_argv = {argv[0]};
    flag_argv.insert(flag_argv.end(), argv + 2, argv + argc);
    const std::vector<char*> rest =
        absl::ParseCommandLine(static_cast<int>(flag_argv.size()),
                               flag_argv.data());
    parsed.positional.assign(rest.begin() + 1, rest.end());
    status = command->run(parsed);
  }
  if (status.ok()) return 0;
  Print(stderr, absl::StrCat(status.message(), "\n"));
  return 1;
}

}  // namespace korvel::cli
