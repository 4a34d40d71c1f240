#include "korvel_import/internal/hf_normalization.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "absl/types/span.h"
#include "darts/darts.h"

namespace korvel::import::hf {
namespace {

struct CharsMapEntry {
  const char* key;
  const char* value;
};

// kNfcMap and kNfkcMap, sorted by key bytes.
#include "korvel_import/normalization_maps.inc"

std::string BuildCharsMap(absl::Span<const CharsMapEntry> entries) {
  std::vector<const char*> keys;
  std::vector<size_t> lengths;
  std::vector<int> offsets;
  std::string pool;
  for (const CharsMapEntry& entry : entries) {
    keys.push_back(entry.key);
    lengths.push_back(std::strlen(entry.key));
    offsets.push_back(static_cast<int>(pool.size()));
    pool += entry.value;
    pool.push_back('\0');
  }
  Darts::DoubleArray trie;
  if (trie.build(keys.size(), keys.data(), lengths.data(), offsets.data()) !=
      0) {
    return std::string();  // Cannot happen for the generated tables.
  }
  const uint32_t trie_size =
      static_cast<uint32_t>(trie.size() * trie.unit_size());
  std::string blob(sizeof(trie_size), '\0');
  std::memcpy(blob.data(), &trie_size, sizeof(trie_size));
  blob.append(static_cast<const char*>(trie.array()), trie_size);
  blob += pool;
  return blob;
}

}  // namespace

std::string UnicodeFormCharsMap(UnicodeForm form) {
  switch (form) {
    case UnicodeForm::kNfc:
      return BuildCharsMap(kNfcMap);
    case UnicodeForm::kNfkc:
      return BuildCharsMap(kNfkcMap);
    case UnicodeForm::kNone:
      break;
  }
  return std::string();
}

}  // namespace korvel::import::hf
