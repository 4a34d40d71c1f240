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
  if ((root & 0x800001ffu) != 0) return absl::StatusCode::kInternal;
  const uint32_t root_offset = DoubleArray::offset(root);
  if (root_offset == 0 || (root_offset | 0xffu) >= num_units) {
    return absl::StatusCode::kInternal;
  }

  for (size_t i = 1; i < num_units; ++i) {
    const uint32_t unit = units[i];
    if (DoubleArray::is_value(unit)) {
      const uint32_t value = unit & 0x7fffffffu;
      if (value >= max_value) return absl::StatusCode::kInternal;
      if (values_are_unit_positions &&
          (value >= num_units || DoubleArray::is_value(units[value]))) {
        return absl::StatusCode::kInternal;
      }
      continue;
    }
    const size_t base = i ^ DoubleArray::offset(unit);
    if ((base | 0xffu) >= num_units) return absl::StatusCode::kInternal;
    if (DoubleArray::has_leaf(unit) && !DoubleArray::is_value(units[base])) {
      return absl::StatusCode::kInternal;
    }
  }
  return absl::StatusCode::kOk;
}

}  // namespace korvel::lite
