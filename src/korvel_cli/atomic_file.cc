#include "korvel_cli/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
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

void InstallCleanupHandlers() {
  static const bool installed = [] {
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
  (void)installed;
}

// Creates the temporary file from the mkostemp `pattern` and registers it
// when no other file is; the signals wait meanwhile, so that none finds the
// file created but not registered. Returns the descriptor or -1 with errno.
int CreateRegisteredTempFile(char* pattern) {
  InstallCleanupHandlers();
  sigset_t blocked;
  sigset_t previous;
  sigemptyset(&blocked);
  for (const int signal_number : kCleanupSignals) {
    sigaddset(&blocked, signal_number);
  }
  ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  const int fd = ::mkostemp(pattern, O_CLOEXEC);
  const int error = errno;
  const size_t length = std::strlen(pattern);
  if (fd >= 0 && length < sizeof(pending_temp_path) &&
      !temp_path_registered.load()) {
    std::memcpy(pending_temp_path, pattern, length + 1);
    temp_path_registered.store(true);
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return fd;
}

void UnregisterTempFile(const std::string& temp_path) {
  if (temp_path_registered.load() && temp_path == pending_temp_path) {
    temp_path_registered.store(false);
  }
}

// Sets `target` to `path` with the symbolic links of its last component
// followed, to a file that need not exist (as open(2) with O_CREAT does).
// Returns 0 or an errno value.
int FollowLinks(const std::string& path, std::string& target) {
  constexpr int kMaxLinks = 40;  // Linux's limit for one lookup
  target = path;
  for (int links = 0; links <= kMaxLinks; ++links) {
    struct stat info;
    if (::lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      return 0;  // the caller's stat reports any error
    }
    char link[PATH_MAX];
    const ssize_t length = ::readlink(target.c_str(), link, sizeof(link));
    if (length < 0) return errno;
    if (length == 0) return ENOENT;
    if (static_cast<size_t>(length) == sizeof(link)) return ENAMETOOLONG;
    const std::string_view next(link, static_cast<size_t>(length));
    const size_t slash = target.rfind('/');
    if (next.front() == '/' || slash == std::string::npos) {
      target = std::string(next);
    } else {
      target = target.substr(0, slash + 1) + std::string(next);
    }
  }
  return ELOOP;
}

}  // namespace

absl::StatusOr<AtomicFile> AtomicFile::Create(const std::string& path) {
  std::string target;
  if (const int error = FollowLinks(path, target); error != 0) {
    return WriteError(path, error);
  }
  struct stat existing;
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (!exists && errno != ENOENT) return WriteError(path, errno);
  if (exists && S_ISDIR(existing.st_mode)) return WriteError(path, EISDIR);
  if (exists && !S_ISREG(existing.st_mode)) {
    // A device, FIFO or socket: renaming a file over it would destroy it
    // (as root, a rename over /dev/null breaks the machine).
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return WriteError(path, errno);
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
      const int error = errno;
      ::close(fd);
      return WriteError(path, error);
    }
    return AtomicFile(path, "", "", file);
  }

  std::string pattern = target + ".tmp.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = CreateRegisteredTempFile(name.data());
  if (fd < 0) return WriteError(path, errno);
  std::string temp_path(name.data());
  if (exists) {
    // The owner first: changing it clears set-user-ID and set-group-ID bits.
    if (::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
      (void)::fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
    }
    ::fchmod(fd, existing.st_mode & 07777);
  } else {
    ::fchmod(fd, NewFileMode());
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    ::close(fd);
    ::unlink(temp_path.c_str());
    UnregisterTempFile(temp_path);
    return WriteError(path, error);
  }
  return AtomicFile(path, std::move(target), std::move(temp_path), file);
}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : path_(std::move(other.path_)),
      target_(std::move(other.target_)),
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
  const bool straight = temp_path_.empty();
  int error = write_error_;
  if (error == 0 && std::fflush(file_) != 0) error = errno;
  if (error == 0 && !straight && ::fsync(::fileno(file_)) != 0) error = errno;
  if (std::fclose(std::exchange(file_, nullptr)) != 0 && error == 0) {
    error = errno;
  }
  if (!straight) {
    if (error == 0 && std::rename(temp_path_.c_str(), target_.c_str()) != 0) {
      error = errno;
    }
    if (error != 0) ::unlink(temp_path_.c_str());
    UnregisterTempFile(temp_path_);
  }
  if (error != 0) return WriteError(path_, error);
  return absl::OkStatus();
}

void AtomicFile::Discard() {
  if (file_ == nullptr) return;
  std::fclose(std::exchange(file_, nullptr));
  if (temp_path_.empty()) return;
  ::unlink(temp_path_.c_str());
  UnregisterTempFile(temp_path_);
}

}  // namespace korvel::cli
