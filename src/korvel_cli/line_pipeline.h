#ifndef KORVEL_CLI_LINE_PIPELINE_H_
#define KORVEL_CLI_LINE_PIPELINE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "absl/functional/function_ref.h"
#include "absl/status/status.h"
#include "korvel_cli/line_io.h"
#include "korvel_tokenizer/options.h"

namespace korvel::cli {

// Working space a line transformation reuses from line to line. Every worker
// thread has its own.
struct LineScratch {
  std::vector<int> ids;
  std::vector<std::string_view> views;
  std::string text;
  std::vector<size_t> offsets;
  std::vector<tokenizer::Offset> ranges;
};

// Appends the output for `line` (without its newline) to `out`. `line_index`
// counts input lines from 0. A failure's message describes the problem; the
// pipeline adds the input name and line number.
using LineTransform =
    absl::FunctionRef<absl::Status(std::string_view line, uint64_t line_index,
                                   LineScratch& scratch, std::string& out)>;

// Runs `transform` on every line of `reader` and writes one output line per
// input line to `sink`, in input order. With `threads` > 1 each batch of lines
// is cut into that many ranges of about equal size that run at once (on the
// calling thread and a pool that lives for the run), so
// `transform` must then be safe to call concurrently. The first failing line
// in input order ends the run; the lines before it have been written. Shows
// progress under `verb` (see ProgressMeter).
absl::Status TransformLines(LineReader& reader, int threads,
                            std::string_view verb, LineTransform transform,
                            OutputSink& sink);

}  // namespace korvel::cli

#endif  // KORVEL_CLI_LINE_PIPELINE_H_
