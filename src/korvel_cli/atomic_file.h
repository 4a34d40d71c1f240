#ifndef KORVEL_CLI_ATOMIC_FILE_H_
#define KORVEL_CLI_ATOMIC_FILE_H_

#include <cstdio>
#include <string>
#include <string_view>

#include "absl/status/status.h"
#include "absl/status/statusor.h"

namespace korvel::cli {

// Writes a file so that readers see either its old contents or the complete
// new ones. What stands at the path decides how:
// - nothing, or a regular file: the bytes go to a temporary file in the same
//   directory, which `Commit` flushes to disk and renames over the target.
//   A new file gets 0666 minus the umask; a replaced one keeps its permission
//   bits, and its owner and group where the process may set them.
//   Destroying the writer without a successful `Commit` removes the temporary
//   file and leaves the target untouched, and so does SIGINT, SIGTERM or
//   SIGHUP while it is the only writer open in the process (the signal then
//   ends the process as it would have).
// - a symbolic link: the file it names (through any chain of links, even one
//   that does not exist yet) is written as above; the link stays.
// - a character or block device, a FIFO or a socket: the bytes are written
//   straight into it, as a shell's `>` would; such a target has no old
//   contents to keep.
// - a directory: refused.
// Errors name the path as given. Not thread-safe.
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
  AtomicFile(std::string path, std::string target, std::string temp_path,
             std::FILE* file)
      : path_(std::move(path)),
        target_(std::move(target)),
        temp_path_(std::move(temp_path)),
        file_(file) {}
  void Discard();

  std::string path_;
  // The file that `Commit` renames the temporary file to: `path_` with its
  // symbolic links resolved. Empty when writing straight into `path_`.
  std::string target_;
  // Empty when writing straight into `path_`.
  std::string temp_path_;
  std::FILE* file_ = nullptr;
  int write_error_ = 0;
};

}  // namespace korvel::cli

#endif  // KORVEL_CLI_ATOMIC_FILE_H_
