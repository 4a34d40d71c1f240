#include "korvel_model_converters/bigram_trie.h"

#include <algorithm>
#include <string_view>

#include "absl/container/flat_hash_set.h"
#include "absl/status/status.h"
#include "darts/darts.h"
#include "korvel_lite/utf8.h"
#include "korvel_model_converters/double_array_blob.h"

namespace korvel::lite {
namespace {

constexpr uint32_t kValueBit = 0x80000000u;

using Units = std::vector<uint32_t>;

uint32_t Offset(uint32_t unit) {
  return (unit >> 10) << ((unit & (1u << 9)) >> 6);
}

// The node reached from the root over `bytes`, following labelled children
// only; 0 when some step fails.
uint32_t WalkFromRoot(const Units& units, std::string_view bytes) {
  size_t node = 0;
  for (unsigned char ch : bytes) {
    const size_t child = node ^ Offset(units[node]) ^ ch;
    if (child >= units.size() || (units[child] & 0x800000ffu) != ch) return 0;
    node = child;
  }
  return static_cast<uint32_t>(node);
}

absl::Status OutOfBoundsError() {
  return absl::InternalError(
      "Out-of-bounds leaf position in bigram trie patching.");
}

// Writes the continuation node of `key` into the key's value unit.
absl::Status StoreContinuation(std::string_view key, Units* units) {
  const size_t first_length = CharLengthAt(key, 0);
  const uint32_t continuation =
      first_length == key.size() ? 0
                                 : WalkFromRoot(*units, key.substr(first_length));
  size_t node = 0;
  for (unsigned char ch : key) {
    node ^= Offset((*units)[node]) ^ ch;
    if (node >= units->size()) return OutOfBoundsError();
  }
  const size_t value_unit = node ^ Offset((*units)[node]);
  if (value_unit >= units->size()) return OutOfBoundsError();
  (*units)[value_unit] = kValueBit | continuation;
  return absl::OkStatus();
}

}  // namespace

absl::StatusOr<std::vector<uint8_t>> BuildBigramTrieBlob(
    const std::vector<std::string>& pieces) {
  absl::flat_hash_set<std::string_view> key_set;
  key_set.reserve(pieces.size());
  for (const std::string& piece : pieces) {
    const std::string_view text = piece;
    if (text.empty()) continue;
    size_t previous = 0;
    size_t pos = CharLengthAt(text, 0);
    while (pos < text.size()) {
      const size_t next = pos + CharLengthAt(text, pos);
      key_set.insert(text.substr(previous, next - previous));
      previous = pos;
      pos = next;
    }
  }
  if (key_set.empty()) return std::vector<uint8_t>();

  // std::string_view compares bytes as unsigned char.
  std::vector<std::string_view> keys(key_set.begin(), key_set.end());
  std::sort(keys.begin(), keys.end());
  std::vector<const char*> key_data(keys.size());
  std::vector<size_t> lengths(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i].find('\0') != std::string_view::npos) {
      return absl::InvalidArgumentError(
          std::string("Bigram key contains invalid embedded null byte: ")
              .append(keys[i]));
    }
    key_data[i] = keys[i].data();
    lengths[i] = keys[i].size();
  }

  Darts::DoubleArray trie;
  if (!BuildTrie(key_data, lengths, nullptr, &trie)) {
    return absl::InternalError("Failed to build base bigram trie");
  }
  if (trie.size() == 0) {
    return absl::InternalError("Bigram trie array size is zero.");
  }
  const auto* built = static_cast<const uint32_t*>(trie.array());
  Units units(built, built + trie.size());
  trie.clear();
  for (std::string_view key : keys) {
    const absl::Status status = StoreContinuation(key, &units);
    if (!status.ok()) return status;
  }
  return UnitsToBlob(units.data(), units.size());
}

}  // namespace korvel::lite
