// korvel import (a Hugging Face tokenizer.json to a full model) and korvel
// convert (a full model to a lite model).

#include <climits>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "absl/flags/flag.h"
#include "absl/status/status.h"
#include "absl/status/statusor.h"
#include "absl/strings/match.h"
#include "absl/strings/str_cat.h"
#include "korvel_cli/command.h"
#include "korvel_cli/line_command.h"
#include "korvel_cli/line_io.h"
#include "korvel_cli/shared_flags.h"
#include "korvel_import/hf_import.h"
#include "korvel_import/tiktoken_import.h"
#include "korvel_import/vocab_import.h"
#include "korvel_model_converters/model_converter.h"
#include "korvel_tokenizer/model_bytes.h"
#include "korvel_proto/korvel_model.pb.h"

ABSL_FLAG(bool, bigram_trie_for_bpe_only,
          korvel::lite::ConverterOptions().bigram_trie_for_bpe_only,
          "give only BPE models a bigram trie");
ABSL_FLAG(bool, rename_null_byte_piece,
          korvel::lite::ConverterOptions().rename_null_byte_piece,
          "with byte fallback, store a piece that is the single byte 0x00 as "
          "an unused piece instead of failing");
ABSL_FLAG(bool, allow_extended_model_types,
          korvel::lite::ConverterOptions().allow_extended_model_types,
          "accept full-model types 3 and 4 besides unigram and BPE");

ABSL_FLAG(bool, tiktoken, false,
          "import: read a tiktoken rank file (BASE64 RANK lines)");
ABSL_FLAG(std::string, pattern, "",
          "import --tiktoken: the pre-tokenizer, gpt2, cl100k (llama3), qwen2, "
          "o200k or a regular expression");
ABSL_FLAG(std::string, special, "",
          "import --tiktoken: special tokens as TEXT=ID,TEXT=ID,...");

namespace korvel::cli {
namespace {

// The one input file and the --output_file of import and convert (standard
// output when empty or "-").
struct FileToFile {
  std::string input;
  std::string output;
};

absl::StatusOr<FileToFile> InputAndOutput(std::string_view command,
                                          const CommandArgs& args) {
  FileToFile files;
  files.output = absl::GetFlag(FLAGS_output_file);
  if (args.positional.size() != 1) {
    return UsageError(command, "expects exactly one input file");
  }
  files.input = args.positional[0];
  return files;
}

absl::Status WriteOutput(const std::string& path, std::string_view bytes) {
  absl::StatusOr<OutputSink> sink = OutputSink::Open(path);
  if (!sink.ok()) return sink.status();
  sink->Write(bytes);
  return sink->Finish();
}

absl::StatusOr<ModelProto> ReadFullModel(const std::string& path) {
  absl::StatusOr<tokenizer::ModelBytes> file =
      tokenizer::ModelBytes::ReadFile(path);
  if (!file.ok()) return file.status();
  const std::string_view bytes = file->data();
  ModelProto model;
  if (bytes.size() > INT_MAX ||
      !model.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    return absl::InvalidArgumentError(
        absl::StrCat(path, ": not a korvel full model (parsing failed)"));
  }
  if (model.pieces_size() == 0) {
    return absl::InvalidArgumentError(
        absl::StrCat(path, ": not a korvel full model (no pieces)"));
  }
  return model;
}

}  // namespace

absl::Status RunImport(const CommandArgs& args) {
  absl::StatusOr<FileToFile> files = InputAndOutput("import", args);
  if (!files.ok()) return files.status();
  absl::StatusOr<tokenizer::ModelBytes> json =
      tokenizer::ModelBytes::ReadFile(files->input);
  if (!json.ok()) return json.status();
  std::vector<std::string> warnings;
  absl::StatusOr<ModelProto> model =
      absl::GetFlag(FLAGS_tiktoken)
          ? import::ImportTiktoken(json->data(), absl::GetFlag(FLAGS_pattern),
                                   absl::GetFlag(FLAGS_special), &warnings)
      : absl::EndsWith(files->input, ".tsv")
          ? import::ImportVocabulary(json->data())
          : import::ImportHuggingFaceTokenizer(json->data(), &warnings);
  for (const std::string& warning : warnings) {
    std::fprintf(stderr, "korvel import: warning: %s: %s\n",
                 files->input.c_str(), warning.c_str());
  }
  if (!model.ok()) {
    return absl::Status(
        model.status().code(),
        absl::StrCat(files->input, ": ", model.status().message()));
  }
  std::string bytes;
  if (!model->SerializeToString(&bytes)) {
    return absl::InternalError(
        absl::StrCat(files->input,
                     ": the imported model cannot be serialized "
                     "(larger than 2 GiB)"));
  }
  return WriteOutput(files->output, bytes);
}

absl::Status RunConvert(const CommandArgs& args) {
  absl::StatusOr<FileToFile> files = InputAndOutput("convert", args);
  if (!files.ok()) return files.status();
  absl::StatusOr<ModelProto> model = ReadFullModel(files->input);
  if (!model.ok()) return model.status();

  lite::ConverterOptions options;
  options.bigram_trie_for_bpe_only =
      absl::GetFlag(FLAGS_bigram_trie_for_bpe_only);
  options.rename_null_byte_piece = absl::GetFlag(FLAGS_rename_null_byte_piece);
  options.allow_extended_model_types =
      absl::GetFlag(FLAGS_allow_extended_model_types);
  absl::StatusOr<std::string> lite_model =
      lite::ToVerifiedFlatbuffer(*model, options);
  if (!lite_model.ok()) {
    return absl::Status(
        lite_model.status().code(),
        absl::StrCat(files->input, ": ", lite_model.status().message()));
  }
  return WriteOutput(files->output, *lite_model);
}

}  // namespace korvel::cli
