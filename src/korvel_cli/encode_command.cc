// korvel encode: text lines to piece ids, piece texts or JSON objects.

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
#include "korvel_cli/shared_flags.h"
#include "korvel_tokenizer/split_mix.h"
#include "korvel_tokenizer/tokenizer.h"

ABSL_FLAG(bool, add_bos, false, "put the model's BOS id first");
ABSL_FLAG(bool, add_eos, false, "put the model's EOS id last");
ABSL_FLAG(bool, parse_special, false,
          "encode texts of control pieces and of the unknown piece in the "
          "input (such as <s>, <unk>) as "
          "their ids; off, they are plain text");
ABSL_FLAG(bool, sample, false,
          "sample a segmentation instead of taking the best one");
ABSL_FLAG(float, alpha, 0.1f,
          "with --sample: the unigram noise scale or the BPE merge dropout "
          "probability (at most 1)");
ABSL_FLAG(uint64_t, seed, 0,
          "with --sample: the random seed; the same seed gives the same "
          "output, whatever --threads");

namespace korvel::cli {
namespace {

enum class EncodeOutput { kIds, kPieces, kJson };

struct EncodeSettings {
  EncodeOutput output = EncodeOutput::kIds;
  tokenizer::EncodeOptions options;
  bool sample = false;
  float alpha = 0.0f;
  uint64_t seed = 0;
};

// The sampling seed of one line, from the run's seed and the line's index, so
// that a line's samples do not depend on which thread encodes it.
uint64_t LineSeed(uint64_t seed, uint64_t line_index) {
  return seed ^ tokenizer::SplitMix64(line_index + 0x632BE59BD9B4E019ull);
}

absl::Status SampleLine(const tokenizer::Tokenizer& model,
                        const EncodeSettings& settings, std::string_view line,
                        uint64_t line_index, std::vector<int>& ids) {
  absl::Status status = model.Sample(line, settings.alpha,
                                     LineSeed(settings.seed, line_index), &ids);
  if (!status.ok()) return status;
  if (settings.options.add_bos) ids.insert(ids.begin(), model.bos_id());
  if (settings.options.add_eos) ids.push_back(model.eos_id());
  return absl::OkStatus();
}

void AppendJson(const tokenizer::Tokenizer& model, const LineScratch& scratch,
                std::string& out) {
  const std::vector<tokenizer::Offset>& offsets = scratch.ranges;
  out.append("{\"ids\":[");
  for (size_t i = 0; i < scratch.ids.size(); ++i) {
    absl::StrAppend(&out, i == 0 ? "" : ",", scratch.ids[i]);
  }
  out.append("],\"pieces\":[");
  for (size_t i = 0; i < scratch.ids.size(); ++i) {
    if (i > 0) out.push_back(',');
    AppendJsonString(model.IdToPiece(scratch.ids[i]), &out);
  }
  out.append("],\"offsets\":[");
  for (size_t i = 0; i < offsets.size(); ++i) {
    absl::StrAppend(&out, i == 0 ? "[" : ",[", offsets[i].begin, ",",
                    offsets[i].end, "]");
  }
  out.append("]}");
}

absl::Status EncodeLine(const tokenizer::Tokenizer& model,
                        const EncodeSettings& settings, std::string_view line,
                        uint64_t line_index, LineScratch& scratch,
                        std::string& out) {
  if (line.size() >= tokenizer::kMaxTextSize) {
    return absl::InvalidArgumentError(
        absl::StrCat("line of ", line.size(), " bytes is too long to encode"));
  }
  const bool json = settings.output == EncodeOutput::kJson;
  const absl::Status status =
      settings.sample
          ? SampleLine(model, settings, line, line_index, scratch.ids)
          : model.Encode(line, settings.options, &scratch.ids,
                         json ? &scratch.ranges : nullptr);
  if (!status.ok()) return status;
  if (json) {
    AppendJson(model, scratch, out);
    return absl::OkStatus();
  }
  for (size_t i = 0; i < scratch.ids.size(); ++i) {
    if (i > 0) out.push_back(' ');
    if (settings.output == EncodeOutput::kPieces) {
      AppendEscapedPiece(model.IdToPiece(scratch.ids[i]), &out);
    } else {
      absl::StrAppend(&out, scratch.ids[i]);
    }
  }
  return absl::OkStatus();
}

absl::StatusOr<EncodeSettings> ReadSettings(const CommandArgs& args) {
  EncodeSettings settings;
  const std::string output = absl::GetFlag(FLAGS_output);
  if (output == "pieces") {
    settings.output = EncodeOutput::kPieces;
  } else if (output == "json") {
    settings.output = EncodeOutput::kJson;
  } else if (!output.empty() && output != "ids") {
    return UsageError("encode", absl::StrCat("--output must be 'ids', "
                                             "'pieces' or 'json', not '",
                                             output, "'"));
  }
  settings.options.add_bos = absl::GetFlag(FLAGS_add_bos);
  settings.options.add_eos = absl::GetFlag(FLAGS_add_eos);
  settings.options.parse_special = absl::GetFlag(FLAGS_parse_special);
  settings.sample = absl::GetFlag(FLAGS_sample);
  settings.alpha = absl::GetFlag(FLAGS_alpha);
  settings.seed = absl::GetFlag(FLAGS_seed);
  if (!settings.sample && (args.Given("alpha") || args.Given("seed"))) {
    return UsageError("encode", "--alpha and --seed need --sample");
  }
  if (!std::isfinite(settings.alpha) || settings.alpha < 0.0f) {
    return UsageError("encode", "--alpha must be finite and not negative");
  }
  if (settings.sample && (settings.options.parse_special ||
                          settings.output == EncodeOutput::kJson)) {
    return UsageError("encode",
                      "--sample gives neither --parse_special nor offsets "
                      "(--output=json)");
  }
  return settings;
}

// Option errors that only the model can tell, found before reading input.
absl::Status CheckAgainstModel(const tokenizer::Tokenizer& model,
                               const EncodeSettings& settings) {
  const tokenizer::ModelKind kind = model.model_kind();
  if (settings.sample && settings.alpha > 1.0f &&
      (kind == tokenizer::ModelKind::kBpe ||
       kind == tokenizer::ModelKind::kByteLevelBpe)) {
    return UsageError("encode",
                      "--alpha is the merge dropout probability of a BPE "
                      "model and must not exceed 1");
  }
  if (settings.options.add_bos && model.bos_id() < 0) {
    return UsageError("encode", "--add_bos: the model has no BOS piece");
  }
  if (settings.options.add_eos && model.eos_id() < 0) {
    return UsageError("encode", "--add_eos: the model has no EOS piece");
  }
  return absl::OkStatus();
}

}  // namespace

absl::Status RunEncode(const CommandArgs& args) {
  absl::StatusOr<EncodeSettings> settings = ReadSettings(args);
  if (!settings.ok()) return settings.status();
  absl::StatusOr<LineCommand> command = PrepareLineCommand("encode", args);
  if (!command.ok()) return command.status();
  const tokenizer::Tokenizer& model = *command->model;
  absl::Status status = CheckAgainstModel(model, *settings);
  if (!status.ok()) return status;
  return RunLineCommand(*command, "encoded",
                        [&](std::string_view line, uint64_t line_index,
                            LineScratch& scratch, std::string& out) {
                          return EncodeLine(model, *settings, line, line_index,
                                            scratch, out);
                        });
}

}  // namespace korvel::cli
