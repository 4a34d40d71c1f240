// korvel_hf_encode: imports a Hugging Face tokenizer.json (or a piece<TAB>score
// vocabulary list), converts it to a lite model and encodes a text file with
// it, one line of space-separated ids per input line. It can also save the
// full and the lite model, and print each line's decoded text.
//
//   korvel_hf_encode --tokenizer=tokenizer.json --input=texts.txt
//   korvel_hf_encode --vocab=tiny_vocab.tsv --full_model_out=tiny.model
//       --lite_model_out=tiny.lite
//
// Messages go to standard error; the exit status is 0 on success, else 1.

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "absl/flags/flag.h"
#include "absl/flags/parse.h"
#include "absl/status/status.h"
#include "absl/status/statusor.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "korvel_import/hf_import.h"
#include "korvel_import/vocab_import.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_model_converters/model_converter.h"

ABSL_FLAG(std::string, tokenizer, "", "Hugging Face tokenizer.json to import");
ABSL_FLAG(std::string, vocab, "", "piece<TAB>score list to import instead");
ABSL_FLAG(std::string, input, "", "Text file to encode, one text per line");
ABSL_FLAG(bool, decode, false, "Print each line's decoded text after a tab");
ABSL_FLAG(std::string, full_model_out, "", "Where to write the full model");
ABSL_FLAG(std::string, lite_model_out, "", "Where to write the lite model");

namespace {

absl::StatusOr<std::string> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  if (!file) return absl::NotFoundError(absl::StrCat("Cannot read ", path));
  return contents.str();
}

absl::Status WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) return absl::InternalError(absl::StrCat("Cannot write ", path));
  return absl::OkStatus();
}

absl::StatusOr<korvel::ModelProto> ImportModel() {
  const std::string tokenizer = absl::GetFlag(FLAGS_tokenizer);
  const std::string vocab = absl::GetFlag(FLAGS_vocab);
  if (tokenizer.empty() == vocab.empty()) {
    return absl::InvalidArgumentError(
        "Give exactly one of --tokenizer, --vocab");
  }
  absl::StatusOr<std::string> text =
      ReadFile(tokenizer.empty() ? vocab : tokenizer);
  if (!text.ok()) return text.status();
  return tokenizer.empty() ? korvel::lite::ImportVocabulary(*text)
                           : korvel::lite::ImportHuggingFaceTokenizer(*text);
}

absl::Status EncodeLines(const korvel::lite::KorvelLiteProcessor& processor,
                         const std::string& text) {
  std::vector<int> ids;
  std::string decoded;
  std::string out;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line(text.data() + start, end - start);
    start = end + 1;
    absl::StatusCode code = processor.Encode(line, &ids);
    if (code != absl::StatusCode::kOk) {
      return absl::Status(code, "Encoding failed");
    }
    out = absl::StrJoin(ids, " ");
    if (absl::GetFlag(FLAGS_decode)) {
      code = processor.Decode(ids, &decoded, nullptr);
      if (code != absl::StatusCode::kOk) {
        return absl::Status(code, "Decoding failed");
      }
      absl::StrAppend(&out, "\t", decoded);
    }
    out.push_back('\n');
    std::fwrite(out.data(), 1, out.size(), stdout);
  }
  return std::fflush(stdout) == 0
             ? absl::OkStatus()
             : absl::InternalError("Cannot write standard output");
}

absl::Status Run() {
  absl::StatusOr<korvel::ModelProto> model = ImportModel();
  if (!model.ok()) return model.status();
  const std::string full_out = absl::GetFlag(FLAGS_full_model_out);
  if (!full_out.empty()) {
    absl::Status status = WriteFile(full_out, model->SerializeAsString());
    if (!status.ok()) return status;
  }
  absl::StatusOr<std::string> lite =
      korvel::lite::ToFlatbuffer(*model, korvel::lite::ConverterOptions());
  if (!lite.ok()) return lite.status();
  const std::string lite_out = absl::GetFlag(FLAGS_lite_model_out);
  if (!lite_out.empty()) {
    absl::Status status = WriteFile(lite_out, *lite);
    if (!status.ok()) return status;
  }
  const std::string input = absl::GetFlag(FLAGS_input);
  if (input.empty()) return absl::OkStatus();
  korvel::lite::KorvelLiteProcessor processor(*lite);
  if (processor.status() != absl::StatusCode::kOk) {
    return absl::Status(processor.status(), "The lite model does not load");
  }
  absl::StatusOr<std::string> text = ReadFile(input);
  if (!text.ok()) return text.status();
  return EncodeLines(processor, *text);
}

}  // namespace

int main(int argc, char** argv) {
  absl::ParseCommandLine(argc, argv);
  const absl::Status status = Run();
  if (!status.ok()) {
    std::cerr << "korvel_hf_encode: " << status.message() << "\n";
    return 1;
  }
  return 0;
}
