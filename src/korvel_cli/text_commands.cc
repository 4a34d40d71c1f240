// korvel decode (ids back to text) and korvel normalize (the model's
// normalized form of text).

#include <cstdint>
#include <string>
#include <string_view>

#include "absl/flags/flag.h"
#include "absl/status/status.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_split.h"
#include "korvel_cli/absl_view.h"
#include "korvel_cli/command.h"
#include "korvel_cli/line_command.h"
#include "korvel_cli/output_escaping.h"
#include "korvel_cli/shared_flags.h"
#include "korvel_lite/korvel_lite_processor.h"

ABSL_FLAG(bool, offsets, false,
          "after the normalized text print a tab and, space separated, the "
          "input offset of every normalized byte plus the input length");

namespace korvel::cli {
namespace {

absl::Status ParseIds(std::string_view line, std::vector<int>& ids) {
  ids.clear();
  for (absl::string_view token : absl::StrSplit(
           AbslView(line), absl::ByAnyChar(" \t\r"), absl::SkipEmpty())) {
    int id;
    if (!absl::SimpleAtoi(token, &id)) {
      return absl::InvalidArgumentError(
          absl::StrCat("not a piece id: '", token, "'"));
    }
    ids.push_back(id);
  }
  return absl::OkStatus();
}

absl::Status DecodeLine(const tokenizer::Tokenizer& model, bool pieces,
                        std::string_view line, LineScratch& scratch,
                        std::string& out) {
  absl::Status status = ParseIds(line, scratch.ids);
  if (!status.ok()) return status;
  if (!pieces) {
    status = model.Decode(scratch.ids, &scratch.text);
    if (status.ok()) out.append(scratch.text);
    return status;
  }
  for (size_t i = 0; i < scratch.ids.size(); ++i) {
    const int id = scratch.ids[i];
    if (id < 0 || id >= model.vocab_size()) {
      return model.Decode({id}, &scratch.text);  // the out-of-range error
    }
    if (i > 0) out.push_back(' ');
    AppendEscapedPiece(model.IdToPiece(id), &out);
  }
  return absl::OkStatus();
}

absl::Status NormalizeLine(const lite::KorvelLiteProcessor& processor,
                           bool with_offsets, std::string_view line,
                           LineScratch& scratch, std::string& out) {
  const absl::StatusCode code = processor.Normalize(
      line, &scratch.text, with_offsets ? &scratch.offsets : nullptr);
  if (code != absl::StatusCode::kOk) {
    return absl::Status(code,
                        absl::StrCat("normalization failed (",
                                     absl::StatusCodeToString(code), ")"));
  }
  out.append(scratch.text);
  if (with_offsets) {
    out.push_back('\t');
    const char* separator = "";
    for (const size_t offset : scratch.offsets) {
      absl::StrAppend(&out, separator, offset);
      separator = " ";
    }
  }
  return absl::OkStatus();
}

}  // namespace

absl::Status RunDecode(const CommandArgs& args) {
  const std::string output = absl::GetFlag(FLAGS_output);
  if (!output.empty() && output != "text" && output != "pieces") {
    return UsageError("decode", absl::StrCat("--output must be 'text' or "
                                             "'pieces', not '",
                                             output, "'"));
  }
  absl::StatusOr<LineCommand> command = PrepareLineCommand("decode", args);
  if (!command.ok()) return command.status();
  const tokenizer::Tokenizer& model = *command->model;
  const bool pieces = output == "pieces";
  return RunLineCommand(*command, "decoded",
                        [&](std::string_view line, uint64_t,
                            LineScratch& scratch, std::string& out) {
                          return DecodeLine(model, pieces, line, scratch, out);
                        });
}

absl::Status RunNormalize(const CommandArgs& args) {
  absl::StatusOr<LineCommand> command = PrepareLineCommand("normalize", args);
  if (!command.ok()) return command.status();
  const lite::KorvelLiteProcessor& processor = command->model->processor();
  const bool with_offsets = absl::GetFlag(FLAGS_offsets);
  return RunLineCommand(*command, "normalized",
                        [&](std::string_view line, uint64_t,
                            LineScratch& scratch, std::string& out) {
                          return NormalizeLine(processor, with_offsets, line,
                                               scratch, out);
                        });
}

}  // namespace korvel::cli
