#ifndef KORVEL_CLI_ATOMIC_FILE_H_
#define KORVEL_CLI_ATOMIC_FILE_H_

#include <cstdio>
#include <string>
#include <string_view>

#include "absl/status/status.h"
#include "absl/status/statusor.h"

namespace korvel::cli {

// Writes a file so that readers see either its old contents or the complete
// new ones: the bytes go to a temporary file in the same directory, which
// `Commit` flushes to disk and renames over the target. Destroying the writer
// without a successful `Commit` removes the temporary file and leaves the
// target untouched, and so does SIGINT, SIGTERM or SIGHUP while it is the
// only writer open in the process (the signal then ends the process as it
// would have). Errors name the target file. Not thread-safe.
class AtomicFile {
 public:
  static absl::StatusOr<AtomicFile> Create(const std::string& path);

  AtomicFile(AtomicFile&& other) noexcept;
  AtomicFile& operator=(AtomicFile&&) = delete;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  // Appends bytes; a failure is remembered and reported by `Commit`.
  void Write(std::string_view bytes);
  absl::Status Commit();

  const std::string& path() const { return path_; }

 private:
  AtomicFile(std::string path, std::string temp_path, std::FILE* file)
      : path_(std::move(path)), temp_path_(std::move(temp_path)), file_(file) {}
  void Discard();

  std::string path_;
  std::string temp_path_;
  std::FILE* file_ = nullptr;
  int write_error_ = 0;
};

}  // namespace korvel::cli

#endif  // KORVEL_CLI_ATOMIC_FILE_H_
