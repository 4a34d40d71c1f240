#ifndef KORVEL_CLI_LITE_MODEL_FILE_H_
#define KORVEL_CLI_LITE_MODEL_FILE_H_

#include <memory>
#include <string>

#include "absl/status/statusor.h"
#include "korvel_cli/mapped_file.h"
#include "korvel_lite/korvel_lite_processor.h"

namespace korvel::cli {

// A lite model file mapped read-only and loaded in place: the processor reads
// the mapped pages and never copies them. Open fails, with a message naming the
// file and the problem, unless the processor loaded. The processor is const,
// so any number of threads may use it at once.
class LiteModelFile {
 public:
  static absl::StatusOr<std::unique_ptr<LiteModelFile>> Open(
      const std::string& path);

  LiteModelFile(const LiteModelFile&) = delete;
  LiteModelFile& operator=(const LiteModelFile&) = delete;

  const lite::KorvelLiteProcessor& processor() const { return processor_; }
  size_t file_size() const { return file_.data().size(); }

 private:
  explicit LiteModelFile(MappedFile file)
      : file_(std::move(file)), processor_(file_.data()) {}

  // Declared first so that the mapping outlives the processor.
  MappedFile file_;
  lite::KorvelLiteProcessor processor_;
};

}  // namespace korvel::cli

#endif  // KORVEL_CLI_LITE_MODEL_FILE_H_
