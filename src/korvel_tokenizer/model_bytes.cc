#include "korvel_tokenizer/model_bytes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "absl/status/status.h"
#include "absl/strings/str_cat.h"
#include "korvel_lite/limits.h"

namespace korvel::tokenizer {
namespace {

// Strings at least this long keep their bytes in a heap buffer, which
// operator new aligns for any fundamental type and which a move hands over.
constexpr size_t kHeapStringSize = 32;
// Files above the largest model the runtime loads are refused before reading.
constexpr size_t kMaxReadSize = lite::kMaxTextSize;

absl::Status ErrnoError(const std::string& path, int error) {
  std::string message = absl::StrCat(path, ": ", std::strerror(error));
  return error == ENOENT ? absl::NotFoundError(message)
                         : absl::UnavailableError(message);
}

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Opens `path` for reading into `file` and returns the file's size; only
// regular files pass.
absl::StatusOr<size_t> OpenRegularFile(const std::string& path,
                                       std::unique_ptr<FileDescriptor>& file) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer; it is refused
  // below like every other file that is not regular.
  file = std::make_unique<FileDescriptor>(
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file->fd() < 0) return ErrnoError(path, errno);
  struct stat info;
  if (::fstat(file->fd(), &info) != 0) return ErrnoError(path, errno);
  if (!S_ISREG(info.st_mode)) {
    return absl::InvalidArgumentError(
        absl::StrCat(path, ": not a regular file"));
  }
  return static_cast<size_t>(info.st_size);
}

}  // namespace

absl::StatusOr<ModelBytes> ModelBytes::ReadFile(const std::string& path) {
  std::unique_ptr<FileDescriptor> file;
  absl::StatusOr<size_t> size = OpenRegularFile(path, file);
  if (!size.ok()) return size.status();
  if (*size > kMaxReadSize) {
    return absl::InvalidArgumentError(
        absl::StrCat(path, ": not a korvel lite model (larger than 2 GiB)"));
  }
  std::string bytes;
  bytes.reserve(*size < kHeapStringSize ? kHeapStringSize : *size);
  bytes.resize(*size);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got =
        ::read(file->fd(), bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return ErrnoError(path, errno);
    if (got == 0) break;  // the file shrank while being read
    done += static_cast<size_t>(got);
  }
  bytes.resize(done);
  return FromString(std::move(bytes));
}

absl::StatusOr<ModelBytes> ModelBytes::MapFile(const std::string& path) {
  std::unique_ptr<FileDescriptor> file;
  absl::StatusOr<size_t> size = OpenRegularFile(path, file);
  if (!size.ok()) return size.status();
  ModelBytes result;
  if (*size == 0) return result;
  void* address =
      ::mmap(nullptr, *size, PROT_READ, MAP_PRIVATE, file->fd(), 0);
  if (address == MAP_FAILED) return ErrnoError(path, errno);
  result.mapping_ = address;
  result.data_ = static_cast<const char*>(address);
  result.size_ = *size;
  return result;
}

ModelBytes ModelBytes::FromString(std::string bytes) {
  if (bytes.capacity() < kHeapStringSize) bytes.reserve(kHeapStringSize);
  ModelBytes result;
  result.owned_ = std::move(bytes);
  result.data_ = result.owned_.data();
  result.size_ = result.owned_.size();
  return result;
}

ModelBytes::ModelBytes(ModelBytes&& other) noexcept {
  *this = std::move(other);
}

ModelBytes& ModelBytes::operator=(ModelBytes&& other) noexcept {
  if (this != &other) {
    Release();
    owned_ = std::move(other.owned_);
    mapping_ = std::exchange(other.mapping_, nullptr);
    data_ = mapping_ != nullptr ? static_cast<const char*>(mapping_)
                                : owned_.data();
    size_ = std::exchange(other.size_, 0);
    other.data_ = nullptr;
  }
  return *this;
}

ModelBytes::~ModelBytes() { Release(); }

void ModelBytes::Release() {
  if (mapping_ != nullptr) ::munmap(mapping_, size_);
  mapping_ = nullptr;
  owned_.clear();
  data_ = nullptr;
  size_ = 0;
}

}  // namespace korvel::tokenizer
