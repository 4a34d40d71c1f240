#ifndef KORVEL_LITE_NORMALIZER_H_
#define KORVEL_LITE_NORMALIZER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "absl/status/status.h"
#include "korvel_lite/double_array.h"
#include "korvel_lite/korvel_lite_model_generated.h"

namespace korvel::lite {

// The normalized form of the longest prefix that `NormalizePrefix` matched:
// `replacement` views the input, the character map's replacement pool or a
// constant U+FFFD, and stands for the first `consumed` input bytes.
struct NormalizedPrefix {
  std::string_view replacement;
  int32_t consumed = 0;
};

// The normalization settings and character map of a loaded model. It views the
// model buffer and never copies it; after `Initialize` it is read-only, so any
// number of threads may call `NormalizePrefix` at once.
//
// A character-map blob holds a 4-byte trie size T, T bytes of double-array
// units (key: source bytes, value: offset into the pool) and a pool of
// NUL-terminated replacement strings whose last byte is NUL.
struct Normalizer {
  const NormalizerSpec* spec = nullptr;
  const DoubleArray* user_defined_trie = nullptr;
  DoubleArray charsmap_trie;
  const char* replacement_pool = nullptr;
  size_t replacement_pool_size = 0;
  bool add_dummy_prefix = true;
  bool remove_extra_whitespaces = true;
  bool escape_whitespaces = true;
  bool treat_whitespace_as_suffix = false;

  // Copies the flags of `spec` (null: no normalization) and binds its
  // character map. Returns kOk, or kInternal for a malformed character map.
  absl::StatusCode Initialize(const NormalizerSpec* spec);

  // Normalizes the longest prefix of `input` that one rule covers: the text of
  // a user-defined piece passes through whole, else the longest character-map
  // key is replaced, else one well-formed character passes through, else one
  // byte becomes U+FFFD. Consumes at least one byte of non-empty input.
  NormalizedPrefix NormalizePrefix(std::string_view input) const;
};

}  // namespace korvel::lite

#endif  // KORVEL_LITE_NORMALIZER_H_
