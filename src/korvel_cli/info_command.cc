// korvel info: what a lite model holds.

#include <cstddef>
#include <optional>
#include <string>

#include "absl/flags/flag.h"
#include "absl/status/status.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_format.h"
#include "absl/strings/str_replace.h"
#include "korvel_cli/command.h"
#include "korvel_cli/line_command.h"
#include "korvel_cli/shared_flags.h"
#include "korvel_tokenizer/model_info.h"

namespace korvel::cli {
namespace {

using tokenizer::ModelInfo;

std::string ModelTypeName(const ModelInfo& info) {
  switch (info.kind) {
    case tokenizer::ModelKind::kByteLevelBpe:
      return "byte-level bpe";
    case tokenizer::ModelKind::kUnigram:
      return "unigram";
    case tokenizer::ModelKind::kBpe:
      return "bpe";
    default:
      return absl::StrCat("other (", info.model_type, ")");
  }
}

std::string BlobSize(std::optional<size_t> size) {
  return size.has_value() ? absl::StrCat(*size, " bytes") : "absent";
}

const char* YesNo(bool value) { return value ? "yes" : "no"; }

std::string PieceTypeCounts(const ModelInfo::PieceTypeCounts& counts) {
  return absl::StrFormat(
      "normal %d, unknown %d, control %d, user-defined %d, unused %d, byte %d",
      counts.normal, counts.unknown, counts.control, counts.user_defined,
      counts.unused, counts.byte);
}

std::string DirectMapping(const ModelInfo& info, int vocab_size) {
  if (!info.direct_mapping) return "no";
  if (!info.direct_mapping_pieces.has_value()) return "yes, all pieces";
  return absl::StrCat("yes, ", *info.direct_mapping_pieces, " of ", vocab_size,
                      " pieces");
}

std::string NormalizerReport(const ModelInfo::NormalizerInfo& spec) {
  return absl::StrCat(
      "  name:                     ", spec.name, "\n",
      "  add dummy prefix:         ", YesNo(spec.add_dummy_prefix), "\n",
      "  remove extra whitespaces: ", YesNo(spec.remove_extra_whitespaces),
      "\n", "  escape whitespaces:       ", YesNo(spec.escape_whitespaces),
      "\n", "  whitespace as suffix:     ", YesNo(spec.whitespace_as_suffix),
      "\n", "  character map:            ", BlobSize(spec.charsmap_size), "\n");
}

// One line per pre-tokenizer step: its family number (0 for a pattern run by
// the regex engine) and its pattern text, with raw line breaks written as the
// regex escapes that match the same.
std::string ByteLevelReport(const ModelInfo& info) {
  std::string report = absl::StrCat(
      "ignore merges:              ", YesNo(info.ignore_merges), "\n",
      "pre-tokenizer steps:        ", info.pretokenizer.size(), "\n");
  for (const ModelInfo::PretokenizerStep& step : info.pretokenizer) {
    absl::StrAppend(
        &report, "  family ", step.family, ": ",
        absl::StrReplaceAll(step.pattern, {{"\r", "\\r"}, {"\n", "\\n"}}),
        "\n");
  }
  return report;
}

std::string Report(const tokenizer::Tokenizer& file) {
  const ModelInfo info = tokenizer::DescribeModel(file);
  std::string report = absl::StrCat(
      "file size:                  ", file.model_bytes().size(), " bytes\n",
      "model type:                 ", ModelTypeName(info), "\n",
      "vocabulary size:            ", file.vocab_size(), "\n",
      "piece types:                ", PieceTypeCounts(info.piece_types), "\n",
      "unk id:                     ", file.unk_id(), "\n",
      "bos id:                     ", file.bos_id(), "\n",
      "eos id:                     ", file.eos_id(), "\n",
      "pad id:                     ", file.pad_id(), "\n",
      "unknown surface:            \"", info.unk_surface, "\"\n");
  absl::StrAppend(
      &report, "byte fallback:              ", YesNo(info.byte_fallback), "\n",
      "direct mapping:             ", DirectMapping(info, file.vocab_size()),
      "\n", "normalizer:                 ",
      info.normalizer.has_value() ? "\n" : "none, text passes unchanged\n");
  if (info.normalizer.has_value())
    absl::StrAppend(&report, NormalizerReport(*info.normalizer));
  if (info.kind == tokenizer::ModelKind::kByteLevelBpe)
    absl::StrAppend(&report, ByteLevelReport(info));
  absl::StrAppend(
      &report, "piece trie:                 ", BlobSize(info.piece_trie_size),
      "\n",
      "user-defined trie:          ", BlobSize(info.user_defined_trie_size),
      "\n", "bigram trie:                ", BlobSize(info.bigram_trie_size),
      "\n");
  return report;
}

}  // namespace

absl::Status RunInfo(const CommandArgs& args) {
  std::string path = absl::GetFlag(FLAGS_model);
  if (path.empty() && args.positional.size() == 1) path = args.positional[0];
  if (path.empty() || args.positional.size() > (args.Given("model") ? 0 : 1)) {
    return UsageError("info", "expects one lite model, as --model or argument");
  }
  absl::StatusOr<std::unique_ptr<tokenizer::Tokenizer>> file = OpenModel(path);
  if (!file.ok()) return file.status();
  const std::string report = Report(**file);
  std::fwrite(report.data(), 1, report.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return absl::UnavailableError("standard output: write failed");
  }
  return absl::OkStatus();
}

}  // namespace korvel::cli
