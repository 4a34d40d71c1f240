#include "korvel_cli/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "absl/status/status.h"
#include "absl/strings/str_cat.h"

namespace korvel::cli {
namespace {

absl::Status ErrnoError(const std::string& path, int error) {
  std::string message = absl::StrCat(path, ": ", std::strerror(error));
  return error == ENOENT ? absl::NotFoundError(message)
                         : absl::UnavailableError(message);
}

}  // namespace

absl::StatusOr<MappedFile> MappedFile::Open(const std::string& path) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer; it is refused
  // below like every other file that is not regular.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return ErrnoError(path, errno);
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    return ErrnoError(path, error);
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    return absl::InvalidArgumentError(
        absl::StrCat(path, ": not a regular file"));
  }
  const size_t size = static_cast<size_t>(info.st_size);
  if (size == 0) {
    ::close(fd);
    return MappedFile(nullptr, 0);
  }
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  const int error = errno;
  ::close(fd);
  if (address == MAP_FAILED) return ErrnoError(path, error);
  return MappedFile(address, size);
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    Unmap();
    address_ = std::exchange(other.address_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() { Unmap(); }

void MappedFile::Unmap() {
  if (address_ != nullptr) ::munmap(address_, size_);
  address_ = nullptr;
  size_ = 0;
}

}  // namespace korvel::cli
