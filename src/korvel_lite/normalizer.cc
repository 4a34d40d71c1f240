#include "korvel_lite/normalizer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "korvel_lite/utf8.h"

namespace korvel::lite {
namespace {

// The length of the longest prefix of `input` that is a key of `trie`, walking
// one child step per byte and reading only the has-leaf bits.
int32_t LongestKeyLength(const DoubleArray& trie, std::string_view input) {
  int32_t longest = 0;
  uint32_t node = 0;
  const int32_t size = static_cast<int32_t>(input.size());
  for (int32_t i = 0; i < size; ++i) {
    const int32_t child =
        trie.child_index(node, static_cast<unsigned char>(input[i]));
    if (child < 0) break;
    node = static_cast<uint32_t>(child);
    if (DoubleArray::has_leaf(trie.units[node])) longest = i + 1;
  }
  return longest;
}

// The length of the longest NUL-terminated string in `pool`, whose last byte
// is NUL.
size_t LongestReplacementLength(std::string_view pool) {
  size_t longest = 0;
  for (size_t start = 0; start < pool.size();) {
    const size_t end = pool.find('\0', start);
    longest = std::max(longest, end - start);
    start = end + 1;
  }
  return longest;
}

// The root's child for `byte` in `trie`, or -1; -1 for an unbound trie.
int32_t RootChild(const DoubleArray* trie, unsigned char byte) {
  if (trie == nullptr || !trie->bound()) return -1;
  return trie->child_index(0, byte);
}

}  // namespace

void Normalizer::ComputeByteClasses() {
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    const int32_t map_child = RootChild(&charsmap_trie, byte);
    const bool user_defined = RootChild(user_defined_trie, byte) >= 0;
    charsmap_child_bases[b] = 0;
    ByteClass byte_class = ByteClass::kOther;
    if (user_defined) {
      // A user-defined piece may start here.
    } else if (map_child < 0) {
      byte_class = byte >= 0x80  ? ByteClass::kMultiByte
                   : byte == ' ' ? ByteClass::kSpace
                                 : ByteClass::kPlain;
    } else if (byte < 0x80 && byte != ' ' &&
               !DoubleArray::has_leaf(charsmap_trie.units[map_child])) {
      const auto node = static_cast<uint32_t>(map_child);
      const uint32_t base =
          trie_unit::ValuePosition(node, charsmap_trie.units[node]);
      bool ascii_continuation = false;
      for (uint32_t next = 0; next < 0x80; ++next) {
        ascii_continuation |= DoubleArray::label_matches(
            charsmap_trie.units[base ^ next], static_cast<unsigned char>(next));
      }
      if (!ascii_continuation) {
        byte_class = ByteClass::kMapPrefix;
        charsmap_child_bases[b] = base;
      }
    }
    byte_classes[b] = byte_class;
  }
}

void Normalizer::AttachUserDefinedTrie(const DoubleArray* trie) {
  user_defined_trie = trie;
  ComputeByteClasses();
}

absl::StatusCode Normalizer::Initialize(const NormalizerSpec* normalizer_spec) {
  const absl::StatusCode code = Bind(normalizer_spec);
  if (code != absl::StatusCode::kOk) charsmap_trie = DoubleArray();
  ComputeByteClasses();
  return code;
}

absl::StatusCode Normalizer::Bind(const NormalizerSpec* normalizer_spec) {
  spec = normalizer_spec;
  if (spec == nullptr) return absl::StatusCode::kOk;
  add_dummy_prefix = spec->add_dummy_prefix();
  remove_extra_whitespaces = spec->remove_extra_whitespaces();
  escape_whitespaces = spec->escape_whitespaces();
  treat_whitespace_as_suffix = spec->treat_whitespace_as_suffix();

  const auto* charsmap = spec->precompiled_charsmap();
  if (charsmap == nullptr || charsmap->size() == 0)
    return absl::StatusCode::kOk;
  const size_t blob_size = charsmap->size();
  if (blob_size < 5) return absl::StatusCode::kInternal;
  const uint8_t* blob = charsmap->data();
  uint32_t trie_size;
  std::memcpy(&trie_size, blob, sizeof(trie_size));
  if (blob_size - 4 <= trie_size) return absl::StatusCode::kInternal;
  replacement_pool = reinterpret_cast<const char*>(blob + 4 + trie_size);
  replacement_pool_size = blob_size - 4 - trie_size;
  if (blob[blob_size - 1] != 0) return absl::StatusCode::kInternal;
  if (LongestReplacementLength({replacement_pool, replacement_pool_size}) >
      kMaxPieceLength) {
    return absl::StatusCode::kInternal;
  }
  return InitializeTrie(blob + 4, trie_size,
                        static_cast<uint32_t>(replacement_pool_size),
                        /*values_are_unit_positions=*/false,
                        /*optional=*/false, &charsmap_trie);
}

NormalizedPrefix Normalizer::NormalizePrefix(std::string_view input) const {
  if (input.empty()) return {};

  if (user_defined_trie != nullptr && user_defined_trie->bound()) {
    if (const int32_t length = LongestKeyLength(*user_defined_trie, input);
        length > 0) {
      return {input.substr(0, length), length};
    }
  }

  if (charsmap_trie.bound()) {
    const DoubleArray::Match match = charsmap_trie.longest_prefix_lookup(input);
    if (match.length > 0 &&
        static_cast<size_t>(match.value) < replacement_pool_size) {
      // The pool's last byte is NUL, so strlen stops inside the pool.
      const char* replacement = replacement_pool + match.value;
      return {std::string_view(replacement, std::strlen(replacement)),
              match.length};
    }
  }

  const unsigned char lead = static_cast<unsigned char>(input[0]);
  if (lead < 0x80) return {input.substr(0, 1), 1};
  const int32_t length = WellFormedCharLength(input);
  if (length == 0) return {kReplacementCharacter, 1};
  return {input.substr(0, length), length};
}

}  // namespace korvel::lite
