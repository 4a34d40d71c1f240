#include "korvel_cli/line_command.h"

#include <algorithm>
#include <thread>

#include "absl/flags/flag.h"
#include "absl/strings/str_cat.h"
#include "korvel_cli/absl_view.h"
#include "korvel_cli/line_io.h"
#include "korvel_cli/shared_flags.h"

namespace korvel::cli {
namespace {

constexpr int kMaxThreads = 256;

}  // namespace

absl::Status UsageError(std::string_view command, std::string_view message) {
  return absl::InvalidArgumentError(
      absl::StrCat("korvel ", AbslView(command), ": ", AbslView(message)));
}

absl::StatusOr<std::unique_ptr<tokenizer::Tokenizer>> OpenModel(
    const std::string& path) {
  tokenizer::OpenOptions options;
  options.mmap = absl::GetFlag(FLAGS_mmap);
  return tokenizer::Tokenizer::Open(path, options);
}

absl::StatusOr<LineCommand> PrepareLineCommand(std::string_view name,
                                               const CommandArgs& args) {
  LineCommand command;
  command.name = std::string(name);
  const std::string model_path = absl::GetFlag(FLAGS_model);
  if (model_path.empty()) return UsageError(name, "--model is required");
  if (args.positional.size() > 1) {
    return UsageError(name, "expects at most one input file");
  }
  if (!args.positional.empty()) command.input = args.positional[0];
  command.threads = absl::GetFlag(FLAGS_threads);
  if (command.threads < 0 || command.threads > kMaxThreads) {
    return UsageError(name, absl::StrCat("--threads must be 0 (all cores) or "
                                         "from 1 to ",
                                         kMaxThreads));
  }
  if (command.threads == 0) {
    command.threads = static_cast<int>(std::min<unsigned>(
        std::max(std::thread::hardware_concurrency(), 1u), kMaxThreads));
  }
  absl::StatusOr<std::unique_ptr<tokenizer::Tokenizer>> model =
      OpenModel(model_path);
  if (!model.ok()) return model.status();
  command.model = *std::move(model);
  return command;
}

absl::Status RunLineCommand(const LineCommand& command, std::string_view verb,
                            LineTransform transform) {
  absl::StatusOr<LineReader> reader = LineReader::Open(command.input);
  if (!reader.ok()) return reader.status();
  absl::StatusOr<OutputSink> sink =
      OutputSink::Open(absl::GetFlag(FLAGS_output_file));
  if (!sink.ok()) return sink.status();
  absl::Status status =
      TransformLines(*reader, command.threads, verb, transform, *sink);
  if (!status.ok()) return status;
  return sink->Finish();
}

}  // namespace korvel::cli
