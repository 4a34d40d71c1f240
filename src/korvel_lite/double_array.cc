#include "korvel_lite/double_array.h"

#include <cstdint>

namespace korvel::lite {

absl::StatusCode InitializeTrie(const void* data, size_t size,
                                uint32_t max_value,
                                bool values_are_unit_positions, bool optional,
                                DoubleArray* out) {
  if (data == nullptr || size == 0) {
    return optional ? absl::StatusCode::kOk : absl::StatusCode::kInternal;
  }
  if (size < 1024 || size % 1024 != 0 ||
      reinterpret_cast<uintptr_t>(data) % 4 != 0) {
    return absl::StatusCode::kInternal;
  }
  const uint32_t* units = static_cast<const uint32_t*>(data);
  const size_t num_units = size / 4;
  out->units = units;
  out->num_units = num_units;

  const uint32_t root = units[0];
  if (trie_unit::Label(root) != 0 || trie_unit::HasLeaf(root)) {
    return absl::StatusCode::kInternal;
  }
  const uint32_t root_offset = trie_unit::Offset(root);
  if (root_offset == 0 || (root_offset | trie_unit::kLabelMask) >= num_units) {
    return absl::StatusCode::kInternal;
  }

  for (size_t i = 1; i < num_units; ++i) {
    const uint32_t unit = units[i];
    if (trie_unit::IsValue(unit)) {
      const uint32_t value = unit & trie_unit::kValueMask;
      if (value >= max_value) return absl::StatusCode::kInternal;
      if (values_are_unit_positions &&
          (value >= num_units || trie_unit::IsValue(units[value]))) {
        return absl::StatusCode::kInternal;
      }
      continue;
    }
    const size_t base = i ^ trie_unit::Offset(unit);
    if ((base | trie_unit::kLabelMask) >= num_units) {
      return absl::StatusCode::kInternal;
    }
    if (trie_unit::HasLeaf(unit) && !trie_unit::IsValue(units[base])) {
      return absl::StatusCode::kInternal;
    }
  }
  return absl::StatusCode::kOk;
}

}  // namespace korvel::lite
