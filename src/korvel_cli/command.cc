#include "korvel_cli/command.h"

#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "absl/flags/commandlineflag.h"
#include "absl/flags/reflection.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_format.h"
#include "korvel_cli/absl_view.h"

namespace korvel::cli {
namespace {

const std::vector<Command>& AllCommands() {
  static const std::vector<Command>* const commands = new std::vector<Command>{
      {"import",
       "[--output_file=MODEL] TOKENIZER_JSON\n"
       "       korvel import --tiktoken --pattern=NAME [--special=TEXT=ID,...] "
       "[--output_file=MODEL] RANKS",
       "Imports a Hugging Face tokenizer.json as a full model.",
       "Imports a Hugging Face tokenizer.json as a full korvel model, "
       "written to\n--output_file (which appears only once it is complete) "
       "or to standard output.\nA file ending in .tsv is read as a list of "
       "piece<TAB>score lines instead\n(a unigram model). With --tiktoken "
       "the file is a tiktoken rank file, with the\npre-tokenizer named by "
       "--pattern and the special tokens by --special."
       "\n\nSupported: BPE models (merges ranked in list order, optional "
       "byte_fallback)\nand Unigram models; normalizers Precompiled, NFC, "
       "NFKC, Prepend(\"\xE2\x96\x81\"),\nReplace(\" \" -> "
       "\"\xE2\x96\x81\") and Sequences of them; pre-tokenizers "
       "Metaspace, Split on\n\" \" after that Replace; byte-level BPE "
       "(the ByteLevel pre-tokenizer, alone or\nafter Isolated Splits, "
       "ignore_merges); added tokens, special or not. Refused\nwith a "
       "message naming the component: WordPiece, WordLevel, other "
       "normalizers\nand pre-tokenizers, BPE dropout. Texts that would "
       "encode differently from\nHugging Face tokenizers are named in a "
       "warning.",
       {"output_file", "tiktoken", "pattern", "special"},
       RunImport},
      {"convert",
       "[--output_file=LITE_MODEL] [flags] FULL_MODEL",
       "Converts a full model into a lite model.",
       "Converts a full korvel model into a lite model that the runtime "
       "loads in place,\nwritten to --output_file (which appears only once it "
       "is complete) or to\nstandard output.",
       {"output_file", "bigram_trie_for_bpe_only", "rename_null_byte_piece",
        "allow_extended_model_types"},
       RunConvert},
      {"encode",
       "--model=MODEL [flags] [INPUT]",
       "Encodes text lines into piece ids or pieces.",
       "Encodes every line of INPUT (standard input when absent or \"-\") "
       "with a lite model\nand prints one line per input line, in input "
       "order: ids or pieces separated by\nspaces (pieces with \\\\, \\t, "
       "\\n, \\r and \\xHH for backslash, control characters\nand space), or "
       "with --output=json an object with \"ids\", \"pieces\" and "
       "\"offsets\"\n([begin, end) byte ranges into the line).",
       {"model", "mmap", "output", "add_bos", "add_eos", "parse_special",
        "sample", "alpha", "seed", "threads", "output_file"},
       RunEncode},
      {"decode",
       "--model=MODEL [flags] [INPUT]",
       "Decodes lines of piece ids back into text.",
       "Decodes every line of space-separated piece ids in INPUT (standard "
       "input when\nabsent or \"-\") back into text, one output line per "
       "input line. A line that is\na JSON object, as encode --output=json "
       "prints it, gives the ids of its \"ids\".\nA decoded text that holds "
       "a newline spans several output lines. Control\npieces (such as <s>) "
       "decode to nothing unless --keep_special. With\n--output=pieces it "
       "prints the pieces instead, escaped as encode prints them.",
       {"model", "mmap", "output", "keep_special", "threads", "output_file"},
       RunDecode},
      {"normalize",
       "--model=MODEL [flags] [INPUT]",
       "Prints the normalized form of text lines.",
       "Prints the model's normalized form of every line of INPUT (standard "
       "input when\nabsent or \"-\"), one output line per input line.",
       {"model", "mmap", "offsets", "threads", "output_file"},
       RunNormalize},
      {"info",
       "--model=MODEL | MODEL",
       "Describes a lite model.",
       "Describes a lite model: vocabulary, model type, special ids, "
       "normalizer settings,\ntrie sizes, byte fallback and direct mapping.",
       {"model", "mmap"},
       RunInfo},
  };
  return *commands;
}

const Command* FindCommand(std::string_view name) {
  for (const Command& command : AllCommands()) {
    if (name == command.name) return &command;
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
  for (const Command& command : AllCommands()) {
    absl::StrAppendFormat(&help, "  %-10s %s\n", command.name, command.summary);
  }
  absl::StrAppend(&help,
                  "\nRun 'korvel <command> --help' for the flags of a "
                  "command, 'korvel --version' for the version.\n");
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

absl::CommandLineFlag* AcceptedFlag(const Command& command,
                                    std::string_view name) {
  for (const char* accepted : command.flags) {
    if (name != accepted) continue;
    const auto flags = absl::GetAllFlags();
    const auto found = flags.find(accepted);
    return found == flags.end() ? nullptr : found->second;
  }
  return nullptr;
}

absl::Status FlagError(const Command& command, std::string_view message) {
  return absl::InvalidArgumentError(
      absl::StrCat("korvel ", command.name, ": ", AbslView(message),
                   " (see 'korvel ", command.name, " --help')"));
}

// Sets the flags in `args` that belong to `command`, records their names and
// collects the positional arguments. Follows abseil's syntax: one or two
// dashes, "--name=value", "--name value" for flags that are not bool,
// "--noname" for bool flags, and "--" ends the flags. Errors carry the
// command's prefix like every other message of the program.
absl::Status ParseArgs(const Command& command,
                       const std::vector<std::string_view>& args,
                       CommandArgs& parsed) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "--") {
      parsed.positional.insert(parsed.positional.end(), args.begin() + i + 1,
                               args.end());
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      parsed.positional.emplace_back(arg);
      continue;
    }
    arg.remove_prefix(arg[1] == '-' ? 2 : 1);
    const size_t equals = arg.find('=');
    std::string_view name = arg.substr(0, equals);
    absl::CommandLineFlag* flag = AcceptedFlag(command, name);
    std::string value = equals == std::string_view::npos
                            ? std::string()
                            : std::string(arg.substr(equals + 1));
    if (flag == nullptr && name.substr(0, 2) == "no" &&
        equals == std::string_view::npos) {
      flag = AcceptedFlag(command, name.substr(2));
      if (flag != nullptr && !flag->IsOfType<bool>()) flag = nullptr;
      if (flag != nullptr) {
        name.remove_prefix(2);
        value = "false";
      }
    }
    if (flag == nullptr) {
      return FlagError(command,
                       absl::StrCat("unknown flag --", AbslView(name)));
    }
    if (equals == std::string_view::npos && value.empty()) {
      if (flag->IsOfType<bool>()) {
        value = "true";
      } else if (i + 1 < args.size()) {
        value = std::string(args[++i]);
      } else {
        return FlagError(command,
                         absl::StrCat("--", AbslView(name), " needs a value"));
      }
    }
    std::string error;
    if (!flag->ParseFrom(value, &error)) {
      return FlagError(command, absl::StrCat("bad value '", value, "' for --",
                                             AbslView(name)));
    }
    parsed.given_flags.insert(std::string(name));
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
  if (name == "--version" || name == "-version") {
    Print(stdout, absl::StrCat("korvel ", KORVEL_VERSION, "\n"));
    return 0;
  }
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
  absl::Status status;
  try {
    status = ParseArgs(*command, args, parsed);
    if (status.ok()) status = command->run(parsed);
  } catch (const std::bad_alloc&) {
    // The command's memory and temporary files are gone by now; the message
    // itself allocates nothing.
    std::fprintf(stderr, "korvel %s: out of memory\n", command->name);
    return 1;
  }
  if (status.ok()) return 0;
  Print(stderr, absl::StrCat(status.message(), "\n"));
  return 1;
}

}  // namespace korvel::cli
