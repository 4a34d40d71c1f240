#ifndef KORVEL_TOKENIZER_MODEL_BYTES_H_
#define KORVEL_TOKENIZER_MODEL_BYTES_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "absl/status/statusor.h"

namespace korvel::tokenizer {

// The bytes of a model file, owned in memory or mapped read-only.
//
// The bytes start at an address aligned for any fundamental type (a heap
// buffer or a page boundary) and keep that address when the object is moved,
// so a processor may read them in place for as long as the object lives.
// Mapped bytes stay valid only while nobody truncates or rewrites the file in
// place. Errors name the file: kNotFound for a missing file,
// kInvalidArgument for one that is not a regular file, kUnavailable for other
// failures to read it.
class ModelBytes {
 public:
  static absl::StatusOr<ModelBytes> ReadFile(const std::string& path);
  static absl::StatusOr<ModelBytes> MapFile(const std::string& path);
  static ModelBytes FromString(std::string bytes);

  ModelBytes(ModelBytes&& other) noexcept;
  ModelBytes& operator=(ModelBytes&& other) noexcept;
  ModelBytes(const ModelBytes&) = delete;
  ModelBytes& operator=(const ModelBytes&) = delete;
  ~ModelBytes();

  std::string_view data() const { return std::string_view(data_, size_); }
  bool mapped() const { return mapping_ != nullptr; }

 private:
  ModelBytes() = default;
  void Release();

  std::string owned_;
  void* mapping_ = nullptr;
  const char* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace korvel::tokenizer

#endif  // KORVEL_TOKENIZER_MODEL_BYTES_H_
