#ifndef KORVEL_CLI_LINE_COMMAND_H_
#define KORVEL_CLI_LINE_COMMAND_H_

#include <memory>
#include <string>
#include <string_view>

#include "absl/status/status.h"
#include "absl/status/statusor.h"
#include "korvel_cli/command.h"
#include "korvel_cli/line_pipeline.h"
#include "korvel_tokenizer/tokenizer.h"

namespace korvel::cli {

// "korvel <command>: <message>", for mistakes on the command line.
absl::Status UsageError(std::string_view command, std::string_view message);

// What the line commands (encode, decode, normalize) share: a lite model from
// --model (read into memory, or mapped with --mmap), an optional input path
// (standard input without one), --threads and --output_file.
struct LineCommand {
  std::string name;
  std::unique_ptr<tokenizer::Tokenizer> model;
  std::string input;
  int threads = 1;
};

// Opens the model of --model, honouring --mmap.
absl::StatusOr<std::unique_ptr<tokenizer::Tokenizer>> OpenModel(
    const std::string& path);

// Checks the shared flags and arguments and opens the model.
absl::StatusOr<LineCommand> PrepareLineCommand(std::string_view name,
                                               const CommandArgs& args);

// Runs `transform` over the input lines (see TransformLines) and writes the
// output to standard output or, complete or not at all, to --output_file.
absl::Status RunLineCommand(const LineCommand& command, std::string_view verb,
                            LineTransform transform);

}  // namespace korvel::cli

#endif  // KORVEL_CLI_LINE_COMMAND_H_
