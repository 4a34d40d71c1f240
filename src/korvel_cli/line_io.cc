#include "korvel_cli/line_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "absl/strings/str_cat.h"
#include "korvel_tokenizer/tokenizer.h"

namespace korvel::cli {
namespace {

constexpr size_t kMinReadSize = size_t{1} << 20;
// Lines reach the runtime, whose texts are under 2 GiB, whole; a longer one
// is refused as soon as this much of it is read.
constexpr size_t kMaxLineBytes = tokenizer::kMaxTextSize - 1;

void SplitLines(std::string_view text, std::vector<std::string_view>* lines) {
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    if (newline == std::string_view::npos) {
      lines->push_back(text);
      return;
    }
    lines->push_back(text.substr(0, newline));
    text.remove_prefix(newline + 1);
  }
}

}  // namespace

absl::StatusOr<LineReader> LineReader::Open(const std::string& path) {
  if (path.empty() || path == "-") {
    return LineReader(STDIN_FILENO, false, "standard input");
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return absl::NotFoundError(absl::StrCat(path, ": ", std::strerror(errno)));
  }
  return LineReader(fd, true, path);
}

LineReader::LineReader(int fd, bool owns_fd, std::string name)
    : fd_(fd), owns_fd_(owns_fd), name_(std::move(name)) {
  struct stat info;
  regular_file_ = ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
}

LineReader::LineReader(LineReader&& other) noexcept
    : fd_(other.fd_),
      owns_fd_(std::exchange(other.owns_fd_, false)),
      name_(std::move(other.name_)),
      regular_file_(other.regular_file_),
      buffers_{std::move(other.buffers_[0]), std::move(other.buffers_[1])},
      current_(other.current_),
      begin_(other.begin_),
      end_(other.end_),
      lines_read_(other.lines_read_),
      at_eof_(other.at_eof_) {}

LineReader::~LineReader() {
  if (owns_fd_) ::close(fd_);
}

absl::Status LineReader::LineTooLong(size_t index) const {
  return absl::InvalidArgumentError(
      absl::StrCat(name_, ":", lines_read_ + index + 1,
                   ": line is longer than 2 GiB, the most korvel reads"));
}

absl::StatusOr<bool> LineReader::NextBatch(
    std::vector<std::string_view>* lines) {
  lines->clear();
  // Move the unread tail to the other buffer, then read until it holds a
  // complete line. Each buffer keeps its size, so that it is not filled with
  // zeros again.
  const std::string& last = buffers_[current_];
  current_ = 1 - current_;
  std::string& buffer = buffers_[current_];
  if (buffer.size() < end_ - begin_) buffer.resize(end_ - begin_);
  if (end_ != begin_) {
    std::memcpy(buffer.data(), last.data() + begin_, end_ - begin_);
  }
  end_ -= begin_;
  begin_ = 0;
  size_t scanned = 0;
  while (!at_eof_) {
    if (std::memchr(buffer.data() + scanned, '\n', end_ - scanned) !=
        nullptr) {
      break;
    }
    scanned = end_;
    if (end_ > kMaxLineBytes) return LineTooLong(0);
    if (buffer.size() - end_ < kMinReadSize) {
      buffer.resize(std::min(std::max(buffer.size() * 2, end_ + kMinReadSize),
                              kMaxLineBytes + kMinReadSize));
    }
    const ssize_t count =
        ::read(fd_, buffer.data() + end_, buffer.size() - end_);
    if (count < 0) {
      if (errno == EINTR) continue;
      return absl::DataLossError(
          absl::StrCat(name_, ": read failed (", std::strerror(errno), ")"));
    }
    if (count == 0) at_eof_ = true;
    end_ += static_cast<size_t>(count);
  }
  std::string_view unread(buffer.data(), end_);
  size_t batch_end = end_;
  if (!at_eof_) batch_end = unread.rfind('\n') + 1;
  SplitLines(unread.substr(0, batch_end), lines);
  for (size_t i = 0; i < lines->size(); ++i) {
    if ((*lines)[i].size() > kMaxLineBytes) return LineTooLong(i);
  }
  lines_read_ += lines->size();
  begin_ = batch_end;
  return !lines->empty();
}

absl::StatusOr<OutputSink> OutputSink::Open(const std::string& path) {
  if (path.empty() || path == "-") return OutputSink(std::nullopt);
  absl::StatusOr<AtomicFile> file = AtomicFile::Create(path);
  if (!file.ok()) return file.status();
  return OutputSink(*std::move(file));
}

void OutputSink::Write(std::string_view bytes) {
  if (file_.has_value()) {
    file_->Write(bytes);
  } else {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  }
}

void OutputSink::Flush() {
  if (!file_.has_value()) std::fflush(stdout);
}

absl::Status OutputSink::Finish() {
  if (file_.has_value()) return file_->Commit();
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return absl::UnavailableError("standard output: write failed");
  }
  return absl::OkStatus();
}

}  // namespace korvel::cli
