#ifndef KORVEL_MODEL_CONVERTERS_INTERNAL_DOUBLE_ARRAY_BLOB_H_
#define KORVEL_MODEL_CONVERTERS_INTERNAL_DOUBLE_ARRAY_BLOB_H_

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/status/statusor.h"
#include "darts/darts.h"

// Turning key/value lists into the double-array blobs of a lite model. Used by
// the converter only; not installed.

namespace korvel::lite {

// A double-array blob mapping each key to its value: the trie's 32-bit units,
// unit 0 first, in host byte order, with nothing before or after them. An
// empty list gives an empty blob.
//
// The pairs are sorted by unsigned bytes (then by value), so the result does
// not depend on their order. The keys must stay alive for the call; values
// must be non-negative. A key with a NUL byte or a repeated key gives
// kInvalidArgument naming the key; a builder refusal gives kInternal.
absl::StatusOr<std::vector<uint8_t>> BuildDoubleArrayBlob(
    std::vector<std::pair<std::string_view, int>> pairs);

// Builds `trie` over sorted keys; `values` null gives each key its index.
// False when the builder refuses, including keys the unit format cannot hold
// (the builder's exceptions stop here).
bool BuildTrie(const std::vector<const char*>& keys,
               const std::vector<size_t>& lengths, const int* values,
               Darts::DoubleArray* trie);

// The `num_units` units at `units` as blob bytes.
std::vector<uint8_t> UnitsToBlob(const void* units, size_t num_units);

}  // namespace korvel::lite

#endif  // KORVEL_MODEL_CONVERTERS_INTERNAL_DOUBLE_ARRAY_BLOB_H_
