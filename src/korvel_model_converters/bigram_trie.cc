#include "korvel_model_converters/bigram_trie.h"

#include <algorithm>
#include <string_view>

#include "absl/container/flat_hash_set.h"
#include "absl/status/status.h"
#include "darts/darts.h"
#include "korvel_lite/trie_unit.h"
#include "korvel_lite/utf8.h"
#include "korvel_model_converters/internal/double_array_blob.h"

namespace korvel::lite {
namespace {

using Units = std::vector<uint32_t>;

// Writes the continuation node of `key`, a key of the freshly built trie
// `units`, into the key's value unit: the node that the key's text after its
// first character reaches from the root, or 0 when that text is empty or
// reaches no node. The builder keeps every child block inside the array, so
// the walks need no bounds checks.
void StoreContinuation(std::string_view key, Units* units) {
  const size_t first_length = CharLengthAt(key, 0);
  uint32_t continuation = 0;
  if (first_length < key.size()) {
    continuation = trie_unit::Walk(units->data(), 0, key.substr(first_length));
    if (continuation == trie_unit::kNoNode) continuation = 0;
  }
  const uint32_t node = trie_unit::Walk(units->data(), 0, key);
  const uint32_t value_unit = trie_unit::ValuePosition(node, (*units)[node]);
  (*units)[value_unit] = trie_unit::kValueBit | continuation;
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
  for (std::string_view key : keys) StoreContinuation(key, &units);
  return UnitsToBlob(units.data(), units.size());
}

}  // namespace korvel::lite
