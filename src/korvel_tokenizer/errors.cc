#include "korvel_tokenizer/internal/errors.h"

#include <cstdint>

#include "absl/strings/str_cat.h"
#include "korvel_lite/load_diagnostic.h"

namespace korvel::tokenizer {
namespace {

enum WireType : uint32_t {
  kVarint = 0,
  kFixed64 = 1,
  kLength = 2,
  kFixed32 = 5
};

// A reader of protobuf wire-format fields that fails on anything malformed.
class WireReader {
 public:
  explicit WireReader(std::string_view bytes) : rest_(bytes) {}

  bool done() const { return rest_.empty(); }

  bool ReadVarint(uint64_t* value) {
    *value = 0;
    for (int shift = 0; shift < 64 && !rest_.empty(); shift += 7) {
      const auto byte = static_cast<unsigned char>(rest_[0]);
      rest_.remove_prefix(1);
      *value |= uint64_t{byte & 0x7Fu} << shift;
      if ((byte & 0x80) == 0) return true;
    }
    return false;
  }

  // Reads one field's tag and skips its value; `payload` receives a
  // length-delimited field's bytes.
  bool ReadField(uint64_t* number, uint32_t* type, std::string_view* payload) {
    uint64_t tag;
    if (!ReadVarint(&tag)) return false;
    *number = tag >> 3;
    *type = static_cast<uint32_t>(tag & 7);
    if (*number == 0) return false;
    uint64_t value;
    switch (*type) {
      case kVarint:
        return ReadVarint(&value);
      case kFixed64:
        return Skip(8, payload);
      case kFixed32:
        return Skip(4, payload);
      case kLength:
        return ReadVarint(&value) && Skip(value, payload);
      default:
        return false;
    }
  }

 private:
  bool Skip(uint64_t size, std::string_view* payload) {
    if (size > rest_.size()) return false;
    *payload = rest_.substr(0, static_cast<size_t>(size));
    rest_.remove_prefix(static_cast<size_t>(size));
    return true;
  }

  std::string_view rest_;
};

// A piece of a full model: text (1), score (2, a float) and type (3).
bool LooksLikePiece(std::string_view bytes) {
  WireReader reader(bytes);
  uint64_t number;
  uint32_t type;
  std::string_view payload;
  while (!reader.done()) {
    if (!reader.ReadField(&number, &type, &payload)) return false;
    const bool expected = (number == 1 && type == kLength) ||
                          (number == 2 && type == kFixed32) ||
                          (number == 3 && type == kVarint);
    if (!expected) return false;
  }
  return true;
}

// The one place that words a lite model's broken load rule.
std::string BrokenLoadRule(std::string_view bytes, absl::StatusCode code) {
  const std::string rule = lite::ExplainLoadFailure(bytes);
  if (rule.empty()) {
    return absl::StrCat("a korvel lite model that does not load (",
                        absl::StatusCodeToString(code), ")");
  }
  return absl::StrCat("a korvel lite model that breaks a load rule: ", rule);
}

}  // namespace

bool LooksLikeFullModel(std::string_view bytes) {
  WireReader reader(bytes);
  uint64_t number;
  uint32_t type;
  std::string_view payload;
  if (!reader.ReadField(&number, &type, &payload) || number != 1 ||
      type != kLength || !LooksLikePiece(payload)) {
    return false;
  }
  while (!reader.done()) {
    if (!reader.ReadField(&number, &type, &payload)) return false;
  }
  return true;
}

absl::Status LoadFailure(std::string_view file_name, std::string_view bytes,
                         absl::StatusCode code) {
  // Abseil may be built with a string view type of its own.
  const absl::string_view name(file_name.data(), file_name.size());
  if (bytes.empty()) {
    return absl::InvalidArgumentError(
        absl::StrCat(name, ": not a korvel lite model (empty file)"));
  }
  if (LooksLikeFullModel(bytes)) {
    return absl::InvalidArgumentError(absl::StrCat(
        name,
        ": a korvel full model, not a lite model; convert it first "
        "with `korvel convert`"));
  }
  if (code == absl::StatusCode::kInvalidArgument) {
    return absl::InvalidArgumentError(
        absl::StrCat(name, ": not a korvel lite model (verification failed)"));
  }
  return absl::InvalidArgumentError(
      absl::StrCat(name, ": ", BrokenLoadRule(bytes, code)));
}

absl::Status IdOutOfRange(int id, int vocab_size) {
  return absl::OutOfRangeError(absl::StrCat(
      "id ", id, " is outside the vocabulary (ids 0 to ", vocab_size - 1, ")"));
}

}  // namespace korvel::tokenizer
