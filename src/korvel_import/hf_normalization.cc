#include "korvel_import/internal/hf_normalization.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "darts/darts.h"

namespace korvel::import::hf {
namespace {

// kNfcMap and kNfkcMap: key, NUL, value, NUL, for each entry, sorted by key
// bytes.
#include "korvel_import/normalization_maps.inc"

// The character map blob of a table above, without its array's final NUL.
std::string BuildCharsMap(std::string_view rest) {
  std::vector<const char*> keys;
  std::vector<size_t> lengths;
  std::vector<int> offsets;
  std::string pool;
  while (!rest.empty()) {
    const std::string_view key(rest.data());
    rest.remove_prefix(key.size() + 1);
    const std::string_view value(rest.data());
    rest.remove_prefix(value.size() + 1);
    keys.push_back(key.data());
    lengths.push_back(key.size());
    offsets.push_back(static_cast<int>(pool.size()));
    pool.append(value);
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
      return BuildCharsMap({kNfcMap, sizeof(kNfcMap) - 1});
    case UnicodeForm::kNfkc:
      return BuildCharsMap({kNfkcMap, sizeof(kNfkcMap) - 1});
    case UnicodeForm::kNone:
      break;
  }
  return std::string();
}

}  // namespace korvel::import::hf
