#include "korvel_cli/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "absl/strings/str_cat.h"

namespace korvel::cli {
namespace {

absl::Status WriteError(const std::string& path, int error) {
  return absl::UnavailableError(
      absl::StrCat(path, ": cannot write (", std::strerror(error), ")"));
}

// The permissions a newly created file would get: 0666 minus the umask.
mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// The temporary file that SIGINT, SIGTERM or SIGHUP removes before the process
// dies of the signal. The handler may only use async-signal-safe calls, so the
// path lives in a fixed buffer that is written only while no file is
// registered; one file at a time is covered.
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};
char pending_temp_path[4096];
std::atomic<bool> temp_path_registered{false};

void RemoveTempFileAndDie(int signal_number) {
  if (temp_path_registered.load()) ::unlink(pending_temp_path);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

void RegisterTempFile(const std::string& temp_path) {
  if (temp_path.size() >= sizeof(pending_temp_path) ||
      temp_path_registered.load()) {
    return;
  }
  std::memcpy(pending_temp_path, temp_path.c_str(), temp_path.size() + 1);
  temp_path_registered.store(true);
  static const bool handlers_installed = [] {
    for (const int signal_number : kCleanupSignals) {
      struct sigaction action = {};
      action.sa_handler = RemoveTempFileAndDie;
      sigemptyset(&action.sa_mask);
      struct sigaction previous;
      // A signal ignored by the parent (a background job's SIGINT) stays so.
      if (::sigaction(signal_number, nullptr, &previous) == 0 &&
          previous.sa_handler != SIG_IGN) {
        ::sigaction(signal_number, &action, nullptr);
      }
    }
    return true;
  }();
  (void)handlers_installed;
}

void UnregisterTempFile(const std::string& temp_path) {
  if (temp_path_registered.load() && temp_path == pending_temp_path) {
    temp_path_registered.store(false);
  }
}

}  // namespace

absl::StatusOr<AtomicFile> AtomicFile::Create(const std::string& path) {
  std::string pattern = path + ".tmp.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return WriteError(path, errno);
  std::string temp_path(name.data());
  ::fchmod(fd, NewFileMode());
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    ::close(fd);
    ::unlink(temp_path.c_str());
    return WriteError(path, error);
  }
  RegisterTempFile(temp_path);
  return AtomicFile(path, std::move(temp_path), file);
}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : path_(std::move(other.path_)),
      temp_path_(std::move(other.temp_path_)),
      file_(std::exchange(other.file_, nullptr)),
      write_error_(other.write_error_) {}

AtomicFile::~AtomicFile() { Discard(); }

void AtomicFile::Write(std::string_view bytes) {
  if (file_ == nullptr || write_error_ != 0 || bytes.empty()) return;
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
    write_error_ = errno != 0 ? errno : EIO;
  }
}

absl::Status AtomicFile::Commit() {
  if (file_ == nullptr) {
    return absl::FailedPreconditionError(
        absl::StrCat(path_, ": already committed or discarded"));
  }
  int error = write_error_;
  if (error == 0 && std::fflush(file_) != 0) error = errno;
  if (error == 0 && ::fsync(::fileno(file_)) != 0) error = errno;
  if (std::fclose(std::exchange(file_, nullptr)) != 0 && error == 0) {
    error = errno;
  }
  if (error == 0 && std::rename(temp_path_.c_str(), path_.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) ::unlink(temp_path_.c_str());
  UnregisterTempFile(temp_path_);
  if (error != 0) return WriteError(path_, error);
  return absl::OkStatus();
}

void AtomicFile::Discard() {
  if (file_ == nullptr) return;
  std::fclose(std::exchange(file_, nullptr));
  ::unlink(temp_path_.c_str());
  UnregisterTempFile(temp_path_);
}

}  // namespace korvel::cli
