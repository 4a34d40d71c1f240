#include "korvel_cli/lite_model_file.h"

#include "absl/status/status.h"
#include "absl/strings/str_cat.h"

namespace korvel::cli {
namespace {

// The runtime loads models of up to 2^31 - 2 bytes.
constexpr size_t kMaxModelSize = size_t{0x7FFFFFFF};

}  // namespace

absl::StatusOr<std::unique_ptr<LiteModelFile>> LiteModelFile::Open(
    const std::string& path) {
  absl::StatusOr<MappedFile> file = MappedFile::Open(path);
  if (!file.ok()) return file.status();
  if (file->data().empty()) {
    return absl::InvalidArgumentError(
        absl::StrCat(path, ": not a korvel lite model (empty file)"));
  }
  if (file->data().size() >= kMaxModelSize) {
    return absl::InvalidArgumentError(
        absl::StrCat(path, ": not a korvel lite model (larger than 2 GiB)"));
  }
  std::unique_ptr<LiteModelFile> model(new LiteModelFile(*std::move(file)));
  switch (model->processor_.status()) {
    case absl::StatusCode::kOk:
      return model;
    case absl::StatusCode::kInternal:
      return absl::InvalidArgumentError(absl::StrCat(
          path, ": corrupt korvel lite model (inconsistent contents)"));
    default:
      return absl::InvalidArgumentError(absl::StrCat(
          path, ": not a korvel lite model (verification failed)"));
  }
}

}  // namespace korvel::cli
