#ifndef KORVEL_LITE_DOUBLE_ARRAY_H_
#define KORVEL_LITE_DOUBLE_ARRAY_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "absl/status/status.h"

namespace korvel::lite {

// A read-only view of a double-array trie blob: 32-bit little-endian units,
// each either a value unit (bit 31 set, value in bits 0-30) or an inner unit
// (label in bits 0-7, has-leaf bit 8, extension bit 9, offset in bits 10-31).
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

  static uint32_t offset(uint32_t unit) {
    return (unit >> 10) << ((unit & (1u << 9)) >> 6);
  }
  static bool has_leaf(uint32_t unit) { return (unit & 0x100u) != 0; }
  static bool is_value(uint32_t unit) { return (unit & 0x80000000u) != 0; }
  static bool label_matches(uint32_t unit, unsigned char ch) {
    return (unit & 0x800000ffu) == ch;
  }

  // The value of the key ending at `node`; the node must have its leaf bit.
  int32_t leaf_value(uint32_t node) const {
    return static_cast<int32_t>(units[node ^ offset(units[node])] &
                                0x7fffffffu);
  }

  // The value stored for `key`, or -1 when the key is absent or empty.
  int32_t exact_lookup(std::string_view key) const {
    if (units == nullptr || key.empty()) return -1;
    uint32_t node = 0;
    uint32_t unit = units[0];
    for (unsigned char ch : key) {
      node ^= offset(unit) ^ ch;
      unit = units[node];
      if (!label_matches(unit, ch)) return -1;
    }
    if (!has_leaf(unit)) return -1;
    return static_cast<int32_t>(units[node ^ offset(unit)] & 0x7fffffffu);
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
      node ^= offset(unit) ^ ch;
      unit = units[node];
      if (!label_matches(unit, ch)) return;
      if (has_leaf(unit)) {
        on_match(static_cast<int32_t>(units[node ^ offset(unit)] & 0x7fffffffu),
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
    const uint32_t child = node ^ offset(units[node]) ^ ch;
    return label_matches(units[child], ch) ? static_cast<int32_t>(child) : -1;
  }
};

// Binds `out` to the blob at `data` after checking that every walk over it
// stays inside it: 4-byte aligned data, a non-zero multiple of 1024 bytes, a
// root without label or leaf, every inner unit's block of 256 children inside
// the blob, every leaf backed by a value unit, and every value below
// `max_value` (compared unsigned, so -1 imposes no bound). With
// `values_are_unit_positions`, each value must also name an inner unit of the
// blob. A null or empty blob returns OK when `optional` and leaves `out`
// unbound. Returns kOk or kInternal; on kInternal the view may already be bound
// and must be discarded.
absl::StatusCode InitializeTrie(const void* data, size_t size,
                                uint32_t max_value,
                                bool values_are_unit_positions, bool optional,
                                DoubleArray* out);

}  // namespace korvel::lite

#endif  // KORVEL_LITE_DOUBLE_ARRAY_H_
