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

// How `NormalizePrefix` treats a byte that starts the input, as far as the
// roots of the user-defined trie and the character map tell:
enum class ByteClass : uint8_t {
  // Only `NormalizePrefix` can tell.
  kOther,
  // An ASCII byte other than space that starts no key: it passes alone.
  kPlain,
  // An ASCII byte other than space that starts character-map keys but is no
  // key itself, whose keys continue only with bytes of 0x80 or above (as a
  // letter followed by combining accents), and that starts no user-defined
  // piece: it passes alone unless the next byte continues a key.
  kMapPrefix,
  // A space that starts no key.
  kSpace,
  // A byte of 0x80 or above that starts no key: a well-formed character
  // passes whole, anything else becomes U+FFFD.
  kMultiByte,
};

// The longest text a model may hold in one piece, its unknown surface or one
// character-map replacement. Real replacements are a few dozen bytes at most;
// the cap keeps a small model from multiplying its input without bound.
inline constexpr size_t kMaxPieceLength = 4096;

// The normalization settings and character map of a loaded model. It views the
// model buffer and never copies it; after `Initialize` (and
// `AttachUserDefinedTrie`) it is read-only, so any number of threads may call
// `NormalizePrefix` at once.
//
// A character-map blob holds a 4-byte trie size T, T bytes of double-array
// units (key: source bytes, value: offset into the pool) and a pool of
// NUL-terminated replacement strings whose last byte is NUL, none longer than
// kMaxPieceLength.
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
  // Derived at load from the two tries' roots: the class of each byte and,
  // for a kMapPrefix byte, where the children of the character-map node it
  // reaches lie (the child for byte c is at base ^ c); 0 for other bytes.
  ByteClass byte_classes[256] = {};
  uint32_t charsmap_child_bases[256] = {};

  // Copies the flags of `spec` (null: no normalization) and binds its
  // character map. Returns kOk, or kInternal for a malformed character map.
  absl::StatusCode Initialize(const NormalizerSpec* spec);

  // Makes `NormalizePrefix` pass the texts of the keys of `trie` through
  // whole; `trie` must outlive the normalizer. Set the trie only this way, so
  // that `byte_classes` follows.
  void AttachUserDefinedTrie(const DoubleArray* trie);

  // True when `NormalizePrefix` returns the single byte at input[pos] (an
  // ASCII byte other than space) for input[pos, end). Never true for a byte
  // of class kOther, so that callers may use it as a quick test.
  bool PassesAlone(std::string_view input, size_t pos) const {
    const unsigned char lead = static_cast<unsigned char>(input[pos]);
    const ByteClass byte_class = byte_classes[lead];
    if (byte_class == ByteClass::kPlain) return true;
    if (byte_class != ByteClass::kMapPrefix) return false;
    if (pos + 1 == input.size()) return true;
    const unsigned char next = static_cast<unsigned char>(input[pos + 1]);
    return !DoubleArray::label_matches(
        charsmap_trie.units[charsmap_child_bases[lead] ^ next], next);
  }

  // Normalizes the longest prefix of `input` that one rule covers: the text of
  // a user-defined piece passes through whole, else the longest character-map
  // key is replaced, else one well-formed character passes through, else one
  // byte becomes U+FFFD. Consumes at least one byte of non-empty input.
  NormalizedPrefix NormalizePrefix(std::string_view input) const;

 private:
  absl::StatusCode Bind(const NormalizerSpec* spec);
  void ComputeByteClasses();
};

}  // namespace korvel::lite

#endif  // KORVEL_LITE_NORMALIZER_H_
