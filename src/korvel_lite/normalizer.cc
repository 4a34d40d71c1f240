#include "korvel_lite/normalizer.h"

#include <cstdint>
#include <cstring>

namespace korvel::lite {

absl::StatusCode Normalizer::Initialize(const NormalizerSpec* normalizer_spec) {
  spec = normalizer_spec;
  if (spec == nullptr) return absl::StatusCode::kOk;
  add_dummy_prefix = spec->add_dummy_prefix();
  remove_extra_whitespaces = spec->remove_extra_whitespaces();
  escape_whitespaces = spec->escape_whitespaces();
  treat_whitespace_as_suffix = spec->treat_whitespace_as_suffix();

  const auto* charsmap = spec->precompiled_charsmap();
  if (charsmap == nullptr || charsmap->size() == 0) return absl::StatusCode::kOk;
  const size_t blob_size = charsmap->size();
  if (blob_size < 5) return absl::StatusCode::kInternal;
  const uint8_t* blob = charsmap->data();
  uint32_t trie_size;
  std::memcpy(&trie_size, blob, sizeof(trie_size));
  if (blob_size - 4 <= trie_size) return absl::StatusCode::kInternal;
  replacement_pool = reinterpret_cast<const char*>(blob + 4 + trie_size);
  replacement_pool_size = blob_size - 4 - trie_size;
  if (blob[blob_size - 1] != 0) return absl::StatusCode::kInternal;
  return InitializeTrie(blob + 4, trie_size,
                        static_cast<uint32_t>(replacement_pool_size),
                        /*values_are_unit_positions=*/false,
                        /*optional=*/false, &charsmap_trie);
}

}  // namespace korvel::lite
