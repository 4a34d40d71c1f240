// The entry of encoding: cutting BPE input at safe boundaries, emitting chunks
// that are whole pieces directly, and handing the rest to the segmenters.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "absl/numeric/bits.h"
#include "korvel_lite/emit_piece.h"
#include "korvel_lite/model.h"
#include "korvel_lite/utf8.h"

namespace korvel::lite {
namespace {

// The number of ASCII letters at the front of the 8 bytes in `word` (read
// little-endian), from 0 to 8.
int LeadingAsciiLetters(uint64_t word) {
  constexpr uint64_t kCaseBits = 0x2020202020202020ull;
  constexpr uint64_t kLowerA = 0x6161616161616161ull;
  constexpr uint64_t kLowerZ = 0x7a7a7a7a7a7a7a7aull;
  const uint64_t folded = word | kCaseBits;
  const uint64_t non_letters =
      ((folded - kLowerA) | (kLowerZ - folded) | word) & kHighBits;
  if (non_letters == 0) return 8;
  return absl::countr_zero(non_letters) / 8;
}

// The position that `trie` reaches from `node` over the bytes of `character`,
// or -1 when some byte has no transition.
int32_t Walk(const DoubleArray& trie, uint32_t node,
             std::string_view character) {
  for (const char ch : character) {
    const int32_t child = trie.child_index(node, static_cast<unsigned char>(ch));
    if (child < 0) return -1;
    node = static_cast<uint32_t>(child);
  }
  return static_cast<int32_t>(node);
}

}  // namespace

// Both directions of EmitPiece exist for callers outside the encoders.
template void Model::EmitPiece<false>(int32_t, std::string_view,
                                      std::vector<int>*,
                                      std::vector<std::string_view>*) const;
template void Model::EmitPiece<true>(int32_t, std::string_view,
                                     std::vector<int>*,
                                     std::vector<std::string_view>*) const;

void Model::Encode(std::string_view text, std::vector<int>* ids,
                   std::vector<std::string_view>* surfaces, float alpha,
                   const RandomSource* rng) const {
  if (status_ != absl::StatusCode::kOk || text.empty()) return;
  if (is_bpe() && bigram_trie.bound()) {
    PretokenizeAtSafeBoundaries(text, [&](std::string_view chunk) {
      EncodeChunk(chunk, ids, surfaces, alpha, rng);
    });
    return;
  }
  EncodeChunk(text, ids, surfaces, alpha, rng);
}

void Model::EncodeChunk(std::string_view text, std::vector<int>* ids,
                        std::vector<std::string_view>* surfaces, float alpha,
                        const RandomSource* rng) const {
  if (!is_bpe()) {
    EncodeUnigram(text, ids, surfaces, alpha, rng);
    return;
  }
  if (rng == nullptr && root->enable_direct_mapping()) {
    const int32_t id = piece_trie.exact_lookup(text);
    if (id >= 0 && (types[id] == PieceType_NORMAL ||
                    types[id] == PieceType_USER_DEFINED)) {
      const auto* flags = root->direct_mapping_flags();
      if (flags == nullptr || flags->Get(static_cast<uint32_t>(id)) != 0) {
        ids->push_back(id);
        if (surfaces != nullptr) surfaces->push_back(text);
        return;
      }
    }
  }
  EncodeBPE(text, ids, surfaces, alpha, rng);
}

absl::StatusCode Model::PretokenizeAtSafeBoundaries(
    std::string_view text,
    absl::FunctionRef<void(std::string_view)> on_chunk) const {
  const size_t size = text.size();
  if (size == 0) return absl::StatusCode::kOk;
  if (!bigram_trie.bound()) {
    on_chunk(text);
    return absl::StatusCode::kOk;
  }

  // The automaton state after the character of `length` bytes at `pos` when
  // no key ends there: the node that character reaches from the root.
  auto root_state = [&](size_t pos, int length) {
    if (length == 1) {
      return bigram_root_children[static_cast<unsigned char>(text[pos])];
    }
    return Walk(bigram_trie, 0, std::string_view(text.data() + pos, length));
  };

  size_t start = 0;
  int length = CharLengthAt(text, 0);
  int32_t state = root_state(0, length);
  size_t pos = length;
  while (pos < size) {
    if (static_cast<unsigned char>(text[pos]) < 0x80 && size - pos >= 8) {
      const int letters = LeadingAsciiLetters(LoadWord(text.data() + pos));
      if (letters > 0) {
        pos += letters;
        state =
            bigram_root_children[static_cast<unsigned char>(text[pos - 1])];
        continue;
      }
    }
    length = CharLengthAt(text, pos);
    const int32_t node =
        state == -1 ? -1
                    : Walk(bigram_trie, static_cast<uint32_t>(state),
                           std::string_view(text.data() + pos, length));
    if (node != -1 && DoubleArray::has_leaf(bigram_trie.units[node])) {
      state = bigram_trie.leaf_value(static_cast<uint32_t>(node));
    } else {
      on_chunk(std::string_view(text.data() + start, pos - start));
      start = pos;
      state = root_state(pos, length);
    }
    pos += length;
  }
  if (start < size) {
    on_chunk(std::string_view(text.data() + start, size - start));
  }
  return absl::StatusCode::kOk;
}

}  // namespace korvel::lite
