#ifndef KORVEL_CLI_MAPPED_FILE_H_
#define KORVEL_CLI_MAPPED_FILE_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "absl/status/statusor.h"

namespace korvel::cli {

// A whole file mapped read-only into memory. The bytes start on a page
// boundary and stay valid and unchanged (for a file nobody rewrites) until the
// object is destroyed. Moving transfers the mapping. An empty file maps to an
// empty view. Errors name the file.
class MappedFile {
 public:
  static absl::StatusOr<MappedFile> Open(const std::string& path);

  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::string_view data() const {
    return std::string_view(static_cast<const char*>(address_), size_);
  }

 private:
  MappedFile(void* address, size_t size) : address_(address), size_(size) {}
  void Unmap();

  void* address_ = nullptr;
  size_t size_ = 0;
};

}  // namespace korvel::cli

#endif  // KORVEL_CLI_MAPPED_FILE_H_
