// korvel info: what a lite model holds.

#include <cstdint>
#include <string>

#include "absl/flags/flag.h"
#include "absl/status/status.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_format.h"
#include "korvel_cli/absl_view.h"
#include "korvel_cli/command.h"
#include "korvel_cli/line_command.h"
#include "korvel_cli/shared_flags.h"
#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/model.h"

namespace korvel::cli {
namespace {

// Type 3 is unigram unless the model has a byte-level spec.
std::string ModelTypeName(const lite::Model& model) {
  if (model.byte_level) return "byte-level bpe";
  const int type = model.model_type;
  switch (type) {
    case lite::ModelType_UNIGRAM:
      return "unigram";
    case lite::ModelType_BPE:
      return "bpe";
    default:
      return absl::StrCat("other (", type, ")");
  }
}

std::string BlobSize(const flatbuffers::Vector<uint8_t>* blob) {
  return blob == nullptr ? "absent" : absl::StrCat(blob->size(), " bytes");
}

const char* YesNo(bool value) { return value ? "yes" : "no"; }

std::string PieceTypeCounts(const lite::Model& model) {
  uint64_t counts[7] = {};
  for (size_t id = 0; id < model.vocab_size(); ++id) {
    const int type = model.types[id];
    if (type >= 1 && type <= 6) ++counts[type];
  }
  return absl::StrFormat(
      "normal %d, unknown %d, control %d, user-defined %d, unused %d, byte %d",
      counts[1], counts[2], counts[3], counts[4], counts[5], counts[6]);
}

std::string DirectMapping(const lite::ModelProto& root, size_t vocab_size) {
  if (!root.enable_direct_mapping()) return "no";
  const flatbuffers::Vector<uint8_t>* flags = root.direct_mapping_flags();
  if (flags == nullptr) return "yes, all pieces";
  uint64_t allowed = 0;
  for (const uint8_t flag : *flags) allowed += flag != 0;
  return absl::StrCat("yes, ", allowed, " of ", vocab_size, " pieces");
}

std::string NormalizerReport(const lite::NormalizerSpec& spec) {
  return absl::StrCat(
      "  name:                     ",
      spec.name() == nullptr ? "" : spec.name()->str(), "\n",
      "  add dummy prefix:         ", YesNo(spec.add_dummy_prefix()), "\n",
      "  remove extra whitespaces: ", YesNo(spec.remove_extra_whitespaces()),
      "\n", "  escape whitespaces:       ", YesNo(spec.escape_whitespaces()),
      "\n",
      "  whitespace as suffix:     ", YesNo(spec.treat_whitespace_as_suffix()),
      "\n",
      "  character map:            ", BlobSize(spec.precompiled_charsmap()),
      "\n");
}

// One line per pre-tokenizer step: its family number (0 for a pattern run by
// the regex engine) and its pattern text.
std::string ByteLevelReport(const lite::ModelProto& root) {
  const lite::ByteLevelSpec& spec = *root.byte_level();
  std::string report = absl::StrCat(
      "ignore merges:              ", YesNo(spec.ignore_merges()), "\n",
      "pre-tokenizer steps:        ",
      spec.pretokenizer() == nullptr ? 0 : spec.pretokenizer()->size(), "\n");
  if (spec.pretokenizer() == nullptr) return report;
  for (const lite::PretokenizerStep* step : *spec.pretokenizer()) {
    absl::StrAppend(&report, "  family ", step->family(), ": ",
                    step->pattern() == nullptr
                        ? ""
                        : AbslView(step->pattern()->string_view()),
                    "\n");
  }
  return report;
}

std::string Report(const tokenizer::Tokenizer& file) {
  const lite::KorvelLiteProcessor& processor = file.processor();
  const lite::Model& model = *processor.model();
  const lite::ModelProto& root = *model.root;
  const lite::Normalizer& normalizer = model.normalizer;
  std::string report = absl::StrCat(
      "file size:                  ", file.model_bytes().size(), " bytes\n",
      "model type:                 ", ModelTypeName(model), "\n",
      "vocabulary size:            ", processor.vocab_size(), "\n",
      "piece types:                ", PieceTypeCounts(model), "\n",
      "unk id:                     ", processor.unk_id(), "\n",
      "bos id:                     ", processor.bos_id(), "\n",
      "eos id:                     ", processor.eos_id(), "\n",
      "pad id:                     ", processor.pad_id(), "\n",
      "unknown surface:            \"", AbslView(model.unk_surface()), "\"\n");
  absl::StrAppend(
      &report,
      "byte fallback:              ", YesNo(model.byte_piece_ids[0] >= 0), "\n",
      "direct mapping:             ",
      DirectMapping(root, processor.vocab_size()), "\n",
      "normalizer:                 ",
      normalizer.spec == nullptr ? "none, text passes unchanged\n" : "\n");
  if (normalizer.spec != nullptr)
    absl::StrAppend(&report, NormalizerReport(*normalizer.spec));
  if (model.byte_level) absl::StrAppend(&report, ByteLevelReport(root));
  absl::StrAppend(
      &report, "piece trie:                 ", BlobSize(root.piece_trie()),
      "\n", "user-defined trie:          ", BlobSize(root.user_defined_trie()),
      "\n", "bigram trie:                ", BlobSize(root.bigram_trie()), "\n");
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
