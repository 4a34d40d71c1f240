// korvel encode: text lines to piece ids or piece texts.

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "absl/flags/flag.h"
#include "absl/status/status.h"
#include "absl/strings/str_cat.h"
#include "korvel_cli/command.h"
#include "korvel_cli/line_command.h"
#include "korvel_cli/output_escaping.h"
#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/model.h"

ABSL_FLAG(std::string, output, "ids",
          "what to print per line: 'ids' or 'pieces' (piece texts), space "
          "separated");
ABSL_FLAG(bool, sample, false,
          "sample a segmentation instead of taking the best one");
ABSL_FLAG(float, alpha, 0.1f,
          "with --sample: the unigram noise scale or the BPE merge dropout "
          "probability");
ABSL_FLAG(uint64_t, seed, 0,
          "with --sample: the random seed; the same seed gives the same "
          "output, whatever --threads");

namespace korvel::cli {
namespace {

// The random source of one line: SplitMix64 seeded from the run's seed and
// the line's index, so a line's samples do not depend on which thread encodes
// it.
class LineRandom {
 public:
  LineRandom(uint64_t seed, uint64_t line_index)
      : state_(seed ^ Mix(line_index + 0x632BE59BD9B4E019ull)) {}

  // A uniform draw from [0, 1) with 24 random bits.
  float Next() {
    state_ += 0x9E3779B97F4A7C15ull;
    return static_cast<float>(Mix(state_) >> 40) * 0x1.0p-24f;
  }

 private:
  static uint64_t Mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  uint64_t state_;
};

struct EncodeSettings {
  bool pieces = false;
  bool sample = false;
  float alpha = 0.0f;
  uint64_t seed = 0;
};

absl::Status EncodeFailure(std::string_view line, absl::StatusCode code) {
  if (line.size() >= 0x7FFFFFFF) {
    return absl::InvalidArgumentError(absl::StrCat(
        "line of ", line.size(), " bytes is too long to encode"));
  }
  return absl::Status(code, absl::StrCat("encoding failed (",
                                         absl::StatusCodeToString(code), ")"));
}

absl::Status EncodeLine(const lite::KorvelLiteProcessor& processor,
                        const EncodeSettings& settings, std::string_view line,
                        uint64_t line_index, LineScratch& scratch,
                        std::string& out) {
  absl::StatusCode code;
  if (settings.sample) {
    code = processor.Normalize(line, &scratch.text, nullptr);
    if (code == absl::StatusCode::kOk) {
      LineRandom random(settings.seed, line_index);
      const auto draw = [&random] { return random.Next(); };
      code = processor.SampleNormalized(scratch.text, settings.alpha, draw,
                                        &scratch.ids, nullptr);
    }
  } else {
    code = processor.Encode(line, &scratch.ids);
  }
  if (code != absl::StatusCode::kOk) return EncodeFailure(line, code);

  const char* separator = "";
  for (const int id : scratch.ids) {
    out.append(separator);
    if (settings.pieces) {
      AppendEscapedPiece(processor.IdToPiece(id), &out);
    } else {
      absl::StrAppend(&out, id);
    }
    separator = " ";
  }
  return absl::OkStatus();
}

absl::Status RunEncode(const CommandArgs& args) {
  EncodeSettings settings;
  const std::string output = absl::GetFlag(FLAGS_output);
  if (output != "ids" && output != "pieces") {
    return UsageError("encode", absl::StrCat("--output must be 'ids' or "
                                             "'pieces', not '",
                                             output, "'"));
  }
  settings.pieces = output == "pieces";
  settings.sample = absl::GetFlag(FLAGS_sample);
  settings.alpha = absl::GetFlag(FLAGS_alpha);
  settings.seed = absl::GetFlag(FLAGS_seed);
  if (!settings.sample && (args.Given("alpha") || args.Given("seed"))) {
    return UsageError("encode", "--alpha and --seed need --sample");
  }
  if (!std::isfinite(settings.alpha) || settings.alpha < 0.0f) {
    return UsageError("encode", "--alpha must be finite and not negative");
  }

  absl::StatusOr<LineCommand> command = PrepareLineCommand("encode", args);
  if (!command.ok()) return command.status();
  const lite::KorvelLiteProcessor& processor = command->model->processor();
  if (settings.sample && settings.alpha > 1.0f &&
      processor.model()->model_type == lite::ModelType_BPE) {
    return UsageError("encode",
                      "--alpha is the merge dropout probability of a BPE "
                      "model and must not exceed 1");
  }
  return RunLineCommand(
      *command, "encoded",
      [&](std::string_view line, uint64_t line_index, LineScratch& scratch,
          std::string& out) {
        return EncodeLine(processor, settings, line, line_index, scratch, out);
      });
}

}  // namespace

const Command& EncodeCommand() {
  static const Command* const command = new Command{
      "encode",
      "--model=MODEL [flags] [INPUT]",
      "Encodes text lines into piece ids or pieces.",
      "Encodes every line of INPUT (standard input when absent or \"-\") "
      "with a lite model\nand prints one line of ids or pieces per input "
      "line, in input order.",
      {"model", "output", "sample", "alpha", "seed", "threads", "output_file"},
      RunEncode};
  return *command;
}

}  // namespace korvel::cli
