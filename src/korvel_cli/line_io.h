#ifndef KORVEL_CLI_LINE_IO_H_
#define KORVEL_CLI_LINE_IO_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "absl/status/status.h"
#include "absl/status/statusor.h"
#include "korvel_cli/atomic_file.h"

namespace korvel::cli {

// Reads text from a file or standard input in batches of whole lines. A line
// ends at '\n', which is not part of it; a last line without '\n' counts as a
// line too. A line of 2 GiB or more is refused once 2 GiB of it are read, so
// each buffer stays under 2 GiB and 1 MiB. A batch holds every complete line
// available after one read, so an interactive producer sees its lines answered
// as it writes them. Not thread-safe. The reader keeps two buffers in turn,
// so the views of a batch live until the second call after the one that gave
// them: a caller may read the next batch while it still works on this one.
class LineReader {
 public:
  // An empty path or "-" reads standard input.
  static absl::StatusOr<LineReader> Open(const std::string& path);

  LineReader(LineReader&& other) noexcept;
  LineReader& operator=(LineReader&&) = delete;
  ~LineReader();

  // Replaces `lines` with the next batch. Returns false, with `lines` empty,
  // at the end of the input.
  absl::StatusOr<bool> NextBatch(std::vector<std::string_view>* lines);

  // "standard input" or the path, for messages.
  const std::string& name() const { return name_; }

  // Whether NextBatch never waits for a producer: true for a regular file,
  // which a caller may then read ahead of the lines it has answered.
  bool reads_ahead() const { return regular_file_; }

 private:
  LineReader(int fd, bool owns_fd, std::string name);
  // Refuses line `index` of the batch being read.
  absl::Status LineTooLong(size_t index) const;

  int fd_;
  bool owns_fd_;
  std::string name_;
  bool regular_file_ = false;
  // The current batch and its unread tail are in buffers_[current_].
  std::string buffers_[2];
  int current_ = 0;
  // The unread bytes are buffers_[current_][begin_, end_).
  size_t begin_ = 0;
  size_t end_ = 0;
  uint64_t lines_read_ = 0;  // In earlier batches.
  bool at_eof_ = false;
};

// Where a command writes its result: standard output, or a file that appears
// only once it is complete (see AtomicFile). Not thread-safe.
class OutputSink {
 public:
  // An empty path or "-" means standard output.
  static absl::StatusOr<OutputSink> Open(const std::string& path);

  void Write(std::string_view bytes);
  // Makes written bytes visible now (standard output only).
  void Flush();
  // Completes the output; errors name the destination.
  absl::Status Finish();

 private:
  explicit OutputSink(std::optional<AtomicFile> file)
      : file_(std::move(file)) {}

  std::optional<AtomicFile> file_;
};

}  // namespace korvel::cli

#endif  // KORVEL_CLI_LINE_IO_H_
