#include "korvel_lite/double_array.h"

#include <cstddef>
#include <cstdint>

namespace korvel::lite {
namespace {

// The scan below checks units in blocks of this many (the blob holds a whole
// number of them); within a block it has no data-dependent branches.
constexpr size_t kScanBlock = trie_unit::kBlockSize;

// All ones when `condition`, else zero.
uint32_t MaskIf(bool condition) {
  return 0u - static_cast<uint32_t>(condition);
}

// Whether every unit of the block of kScanBlock units at `begin` keeps its
// targets inside the blob and finds there the kind of unit it expects: an
// inner unit's block of children lies in the blob and, for a leaf, starts
// with a value unit; a value is below `value_bound` and, with `positions`,
// names an inner unit. The first loop has no branches, so the compiler can
// vectorize it; it notes each unit's target with the kind expected there in
// bit 31 (a unit that expects nothing targets itself), and the second loop
// compares them once all targets are known to be in bounds.
bool BlockIsSound(const uint32_t* units, uint32_t begin, uint32_t num_units,
                  uint32_t value_bound, bool positions) {
  const uint32_t* block = units + begin;
  const uint32_t positions_mask = MaskIf(positions);
  uint32_t targets[kScanBlock];
  uint32_t violations = 0;
  for (uint32_t k = 0; k < kScanBlock; ++k) {
    const uint32_t i = begin + k;
    const uint32_t unit = block[k];
    const uint32_t value_mask = MaskIf(trie_unit::IsValue(unit));
    const uint32_t value = unit & trie_unit::kValueMask;
    const uint32_t short_offset = unit >> 10;
    const uint32_t extended = MaskIf(unit & trie_unit::kExtensionBit);
    const uint32_t base =
        i ^ ((short_offset & ~extended) | ((short_offset << 8) & extended));
    const uint32_t inner_out =
        MaskIf((base | trie_unit::kLabelMask) >= num_units);
    const uint32_t value_out = MaskIf(value >= value_bound);
    violations |= (value_out & value_mask) | (inner_out & ~value_mask);

    const uint32_t needs_value = ~value_mask & MaskIf(trie_unit::HasLeaf(unit));
    const uint32_t needs_inner = value_mask & positions_mask;
    const uint32_t needs_nothing = ~(needs_value | needs_inner);
    targets[k] = (needs_value & (base | trie_unit::kValueBit)) |
                 (needs_inner & value) |
                 (needs_nothing & (i | (unit & trie_unit::kValueBit)));
  }
  if (violations != 0) return false;
  uint32_t mismatches = 0;
  for (const uint32_t target : targets) {
    mismatches |= units[target & trie_unit::kValueMask] ^ target;
  }
  return (mismatches & trie_unit::kValueBit) == 0;
}

}  // namespace

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

  // Blobs live in models below 2 GiB; larger ones are refused so that unit
  // positions fit in 32 bits.
  if (num_units > UINT32_MAX) return absl::StatusCode::kInternal;
  const auto unit_count = static_cast<uint32_t>(num_units);
  const uint32_t value_bound =
      values_are_unit_positions && unit_count < max_value ? unit_count
                                                          : max_value;
  for (uint32_t begin = 0; begin < unit_count; begin += kScanBlock) {
    if (!BlockIsSound(units, begin, unit_count, value_bound,
                      values_are_unit_positions)) {
      return absl::StatusCode::kInternal;
    }
  }
  return absl::StatusCode::kOk;
}

}  // namespace korvel::lite
