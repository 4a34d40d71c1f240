#ifndef KORVEL_LITE_DOUBLE_ARRAY_H_
#define KORVEL_LITE_DOUBLE_ARRAY_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "absl/status/status.h"
#include "korvel_lite/trie_unit.h"

namespace korvel::lite {

// A read-only view of a double-array trie blob of 32-bit little-endian units
// laid out as trie_unit.h describes.
//
// The view owns nothing; the blob must outlive it. An unbound view (null
// `units`) behaves as an empty trie. Once `InitializeTrie` has accepted a blob,
// every walk below stays inside it for any input, so the walks carry no bounds
// checks. All operations are const and safe to call from many threads.
struct DoubleArray {
  const uint32_t* units = nullptr;
  size_t num_units = 0;

  struct Match {
    int32_t value;
    int32_t length;
  };

  bool bound() const { return units != nullptr; }

  static constexpr uint32_t offset(uint32_t unit) {
    return trie_unit::Offset(unit);
  }
  static constexpr bool has_leaf(uint32_t unit) {
    return trie_unit::HasLeaf(unit);
  }
  static constexpr bool is_value(uint32_t unit) {
    return trie_unit::IsValue(unit);
  }
  static constexpr bool label_matches(uint32_t unit, unsigned char ch) {
    return trie_unit::LabelMatches(unit, ch);
  }

  // The value of the key ending at `node`; the node must have its leaf bit.
  int32_t leaf_value(uint32_t node) const {
    return trie_unit::LeafValue(units, node, units[node]);
  }

  // The value stored for `key`, or -1 when the key is absent or empty.
  int32_t exact_lookup(std::string_view key) const {
    if (units == nullptr || key.empty()) return -1;
    uint32_t node = 0;
    uint32_t unit = units[0];
    for (unsigned char ch : key) {
      if (!trie_unit::Step(units, &node, &unit, ch)) return -1;
    }
    if (!trie_unit::HasLeaf(unit)) return -1;
    return trie_unit::LeafValue(units, node, unit);
  }

  // Calls on_match(value, length) for every prefix of `text` that is a key,
  // shortest first.
  template <typename OnMatch>
  void common_prefix_lookup(std::string_view text, OnMatch&& on_match) const {
    if (units == nullptr) return;
    uint32_t node = 0;
    uint32_t unit = units[0];
    const size_t size = text.size();
    for (size_t i = 0; i < size; ++i) {
      const unsigned char ch = static_cast<unsigned char>(text[i]);
      if (!trie_unit::Step(units, &node, &unit, ch)) return;
      if (trie_unit::HasLeaf(unit)) {
        on_match(trie_unit::LeafValue(units, node, unit),
                 static_cast<int32_t>(i + 1));
      }
    }
  }

  // The longest prefix of `text` that is a key: {value, length}, or {-1, 0}.
  Match longest_prefix_lookup(std::string_view text) const {
    Match longest{-1, 0};
    common_prefix_lookup(text, [&longest](int32_t value, int32_t length) {
      longest = {value, length};
    });
    return longest;
  }

  // The index of the child of `node` for byte `ch`, or -1.
  int32_t child_index(uint32_t node, unsigned char ch) const {
    const uint32_t child = trie_unit::ChildPosition(node, units[node], ch);
    return trie_unit::LabelMatches(units[child], ch)
               ? static_cast<int32_t>(child)
               : -1;
  }
};

// Binds `out` to the blob at `data` after checking that every walk over it
// stays inside it: 4-byte aligned data, a non-zero multiple of 1024 bytes, a
// root without label or leaf, every inner unit's block of 256 children inside
// the blob, every leaf backed by a value unit, and every value below
// `max_value` (compared unsigned, so -1 imposes no bound). With
// `values_are_unit_positions`, each value must also name an inner unit of the
// blob. A blob of 2^32 or more units is refused. A null or empty blob returns
// OK when `optional` and leaves `out` unbound. Returns kOk or kInternal; on
// kInternal the view may already be bound and must be discarded.
absl::StatusCode InitializeTrie(const void* data, size_t size,
                                uint32_t max_value,
                                bool values_are_unit_positions, bool optional,
                                DoubleArray* out);

}  // namespace korvel::lite

#endif  // KORVEL_LITE_DOUBLE_ARRAY_H_
