#include "libkorvel/korvel_processor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "absl/status/statusor.h"
#include "absl/strings/str_cat.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_model_converters/model_converter.h"

namespace korvel {
namespace {

absl::Status ReadError(const std::string& path, int error) {
  return absl::NotFoundError(absl::StrCat("Cannot read model file ", path, ": ",
                                          std::strerror(error)));
}

absl::StatusOr<std::string> ReadFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return ReadError(path, errno);
  std::string bytes;
  char buffer[1 << 16];
  size_t read;
  while ((read = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
    bytes.append(buffer, read);
  }
  const int error = std::ferror(file) ? errno : 0;
  std::fclose(file);
  if (error != 0) return ReadError(path, error);
  return bytes;
}

}  // namespace

KorvelProcessor::KorvelProcessor() = default;

KorvelProcessor::~KorvelProcessor() = default;

absl::Status KorvelProcessor::Load(std::string_view path_view) {
  model_proto_.Clear();
  lite_processor_.reset();
  const std::string path(path_view);

  absl::StatusOr<std::string> bytes = ReadFile(path);
  if (!bytes.ok()) return bytes.status();
  ModelProto model;
  if (!model.ParseFromString(*bytes)) {
    return absl::InvalidArgumentError(
        absl::StrCat("Not a full model file: ", path));
  }
  absl::StatusOr<std::string> lite_bytes =
      lite::ToFlatbuffer(model, lite::ConverterOptions());
  if (!lite_bytes.ok()) {
    return absl::Status(lite_bytes.status().code(),
                        absl::StrCat("Cannot convert model file ", path, ": ",
                                     lite_bytes.status().message()));
  }
  auto processor = std::make_unique<lite::KorvelLiteProcessor>(
      std::make_shared<std::string>(*std::move(lite_bytes)));
  if (processor->status() != absl::StatusCode::kOk) {
    return absl::Status(
        processor->status(),
        absl::StrCat("Cannot convert model file ", path,
                     ": the runtime refuses the converted model"));
  }
  model_proto_ = std::move(model);
  lite_processor_ = std::move(processor);
  return absl::OkStatus();
}

absl::Status KorvelProcessor::Encode(std::string_view text,
                                     std::vector<int>* ids) const {
  if (lite_processor_ == nullptr) {
    return absl::FailedPreconditionError("No model is loaded.");
  }
  const absl::StatusCode code = lite_processor_->Encode(text, ids);
  if (code != absl::StatusCode::kOk) {
    return absl::Status(code, "Cannot encode the text.");
  }
  return absl::OkStatus();
}

float KorvelProcessor::GetScore(int id) const {
  if (id < 0 || id >= model_proto_.pieces_size()) return 0.0f;
  return model_proto_.pieces(id).score();
}

}  // namespace korvel
