#include "korvel_model_converters/internal/double_array_blob.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "absl/status/status.h"
#include "darts/darts.h"

namespace korvel::lite {

bool BuildTrie(const std::vector<const char*>& keys,
               const std::vector<size_t>& lengths, const int* values,
               Darts::DoubleArray* trie) {
  try {
    return trie->build(keys.size(), keys.data(), lengths.data(), values) == 0;
  } catch (const Darts::Details::Exception&) {
    return false;
  }
}

std::vector<uint8_t> UnitsToBlob(const void* units, size_t num_units) {
  std::vector<uint8_t> blob(num_units * sizeof(uint32_t));
  if (!blob.empty()) std::memcpy(blob.data(), units, blob.size());
  return blob;
}

absl::StatusOr<std::vector<uint8_t>> BuildDoubleArrayBlob(
    std::vector<std::pair<std::string_view, int>> pairs) {
  if (pairs.empty()) return std::vector<uint8_t>();

  // std::string_view compares bytes as unsigned char, a prefix first.
  std::sort(pairs.begin(), pairs.end());

  std::vector<const char*> keys(pairs.size());
  std::vector<size_t> lengths(pairs.size());
  std::vector<int> values(pairs.size());
  for (size_t i = 0; i < pairs.size(); ++i) {
    const std::string_view key = pairs[i].first;
    if (key.find('\0') != std::string_view::npos) {
      return absl::InvalidArgumentError(
          std::string("Key contains invalid embedded null byte: ").append(key));
    }
    if (i > 0 && key == pairs[i - 1].first) {
      return absl::InvalidArgumentError(
          std::string("Duplicate key for trie building: ").append(key));
    }
    keys[i] = key.data();
    lengths[i] = key.size();
    values[i] = pairs[i].second;
  }

  Darts::DoubleArray trie;
  if (!BuildTrie(keys, lengths, values.data(), &trie)) {
    return absl::InternalError("Failed to build double-array trie");
  }
  return UnitsToBlob(trie.array(), trie.size());
}

}  // namespace korvel::lite
