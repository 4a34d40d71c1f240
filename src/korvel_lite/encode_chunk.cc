// The entry of encoding: cutting BPE input at safe boundaries (byte-level
// input into pre-tokens), emitting chunks that are whole pieces directly, and
// handing the rest to the segmenters.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "absl/numeric/bits.h"
#include "korvel_lite/internal/chunk_cache.h"
#include "korvel_lite/internal/emit_piece.h"
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
// or -1 (trie_unit::kNoNode as a signed state) when some byte has no
// transition.
int32_t Walk(const DoubleArray& trie, uint32_t node,
             std::string_view character) {
  return static_cast<int32_t>(trie_unit::Walk(trie.units, node, character));
}

bool StartsWithWhitespaceSymbol(const char* p) {
  return std::memcmp(p, kWhitespaceSymbol.data(), 3) == 0;
}

// piece_trie.exact_lookup(text) for a non-empty text, started from the
// model's tables for the first byte or the leading whitespace symbol.
int32_t ExactPieceLookup(const Model& model, std::string_view text) {
  const DoubleArray& trie = model.piece_trie;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  uint32_t node;
  size_t pos;
  if (size >= 3 && StartsWithWhitespaceSymbol(text.data())) {
    node = model.piece_whitespace_node;
    pos = 3;
  } else {
    node = model.piece_root_children[bytes[0]];
    pos = 1;
  }
  if (node == trie_unit::kNoNode) return -1;
  uint32_t unit = trie.units[node];
  for (; pos < size; ++pos) {
    if (!trie_unit::Step(trie.units, &node, &unit, bytes[pos])) return -1;
  }
  if (!trie_unit::HasLeaf(unit)) return -1;
  return trie_unit::LeafValue(trie.units, node, unit);
}

// Calls on_chunk with every chunk of `text` cut at safe boundaries, in order;
// `text` is not empty and the model has a bigram trie.
template <typename OnChunk>
void ForEachSafeChunk(const Model& model, std::string_view text,
                      OnChunk&& on_chunk) {
  const DoubleArray& trie = model.bigram_trie;
  const size_t size = text.size();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());

  // The automaton state after the character of `length` bytes at `pos` when
  // no key ends there: the node that character reaches from the root.
  auto root_state = [&](size_t pos, int length) {
    const int32_t first = model.bigram_root_children[bytes[pos]];
    if (length == 1 || first == -1) return first;
    if (length == 3 && StartsWithWhitespaceSymbol(text.data() + pos)) {
      return model.bigram_whitespace_node;
    }
    return Walk(trie, static_cast<uint32_t>(first),
                std::string_view(text.data() + pos + 1, length - 1));
  };

  size_t start = 0;
  int length = CharLengthAt(text, 0);
  int32_t state = root_state(0, length);
  size_t pos = length;
  while (pos < size) {
    if (bytes[pos] < 0x80 && size - pos >= 8) {
      const int letters = LeadingAsciiLetters(LoadWord(text.data() + pos));
      if (letters > 0) {
        pos += letters;
        state = model.bigram_root_children[bytes[pos - 1]];
        continue;
      }
    }
    length = CharLengthAt(text, pos);
    const int32_t node =
        state == -1 ? -1
                    : Walk(trie, static_cast<uint32_t>(state),
                           std::string_view(text.data() + pos, length));
    if (node != -1 && DoubleArray::has_leaf(trie.units[node])) {
      state = trie.leaf_value(static_cast<uint32_t>(node));
    } else {
      on_chunk(std::string_view(text.data() + start, pos - start));
      start = pos;
      state = root_state(pos, length);
    }
    pos += length;
  }
  on_chunk(std::string_view(text.data() + start, size - start));
}

// Without byte fallback an unknown piece folds into an unknown id before it,
// so a chunk's ids depend on what came before when they hold the unknown id;
// such chunks are not cached.
void EncodeAndCacheChunk(const Model& model, std::string_view chunk,
                         const ChunkCache::Probe& probe, ChunkCache& cache,
                         std::vector<int>* ids) {
  const size_t before = ids->size();
  model.EncodeChunk(chunk, ids, nullptr, 0.0f, nullptr);
  const int* first = ids->data() + before;
  const size_t count = ids->size() - before;
  if (model.first_byte_piece_id == -1 &&
      ((before > 0 && first[-1] == model.unk_id) ||
       std::find(first, first + count, model.unk_id) != first + count)) {
    return;
  }
  cache.Insert(probe, first, count);
}

// Encodes the chunks that `for_each_chunk` passes to its callback through
// the cache and returns what it returns. Chunks are looked up in groups: the
// probes of a whole group are made first, so that the cache reads of the
// group overlap.
template <typename ForEachChunk>
auto EncodeThroughCache(const Model& model, ForEachChunk&& for_each_chunk,
                        ChunkCache& cache, std::vector<int>* ids) {
  constexpr int kGroupSize = 16;
  std::string_view chunks[kGroupSize];
  ChunkCache::Probe probes[kGroupSize];
  int pending = 0;
  auto encode_pending = [&] {
    for (int i = 0; i < pending; ++i) {
      if (!cache.Find(probes[i], ids)) {
        EncodeAndCacheChunk(model, chunks[i], probes[i], cache, ids);
      }
    }
    pending = 0;
  };
  const auto result = for_each_chunk([&](std::string_view chunk) {
    chunks[pending] = chunk;
    probes[pending++] = cache.Prepare(model.serial(), chunk);
    if (pending == kGroupSize) encode_pending();
  });
  encode_pending();
  return result;
}

// Splits the text around the user-defined pieces, which no pre-token
// contains, and calls `encode_pretokens` with each stretch between them.
template <typename EncodePretokens>
absl::StatusCode ForEachStretchOutsideUserPieces(
    const Model& model, std::string_view text, std::vector<int>* ids,
    std::vector<std::string_view>* surfaces,
    EncodePretokens&& encode_pretokens) {
  if (!model.user_defined_trie.bound()) return encode_pretokens(text);
  size_t start = 0;
  for (size_t pos = 0; pos < text.size();) {
    if (model.user_defined_lead_bytes[static_cast<unsigned char>(text[pos])]) {
      const DoubleArray::Match match =
          model.user_defined_trie.longest_prefix_lookup(text.substr(pos));
      if (match.length > 0 &&
          model.types[match.value] == PieceType_USER_DEFINED) {
        const absl::StatusCode code =
            encode_pretokens(text.substr(start, pos - start));
        if (code != absl::StatusCode::kOk) return code;
        ids->push_back(match.value);
        if (surfaces != nullptr)
          surfaces->push_back(text.substr(pos, match.length));
        pos += match.length;
        start = pos;
        continue;
      }
    }
    ++pos;
  }
  return encode_pretokens(text.substr(start));
}

}  // namespace

// Both directions of EmitPiece, instantiated for the tests that call them
// directly.
template void Model::EmitPiece<false>(int32_t, std::string_view,
                                      std::vector<int>*,
                                      std::vector<std::string_view>*) const;
template void Model::EmitPiece<true>(int32_t, std::string_view,
                                     std::vector<int>*,
                                     std::vector<std::string_view>*) const;

absl::StatusCode Model::Encode(std::string_view text, std::vector<int>* ids,
                               std::vector<std::string_view>* surfaces,
                               float alpha, const RandomSource* rng) const {
  if (status_ != absl::StatusCode::kOk || text.empty()) {
    return absl::StatusCode::kOk;
  }
  ChunkCache* cache = is_bpe() && rng == nullptr && alpha == 0.0f &&
                              surfaces == nullptr &&
                              (byte_level || bigram_trie.bound())
                          ? ChunkCache::ForThisThread()
                          : nullptr;
  if (byte_level) {
    return ForEachStretchOutsideUserPieces(
        *this, text, ids, surfaces, [&](std::string_view stretch) {
          auto for_each_pretoken = [&](auto&& on_pretoken) {
            return pretokenizer::ForEachPretoken(pretokenizer_steps, stretch,
                                                 on_pretoken);
          };
          if (cache != nullptr) {
            return EncodeThroughCache(*this, for_each_pretoken, *cache, ids);
          }
          return for_each_pretoken([&](std::string_view pretoken) {
            EncodeChunk(pretoken, ids, surfaces, alpha, rng);
          });
        });
  }
  if (!is_bpe() || !bigram_trie.bound()) {
    EncodeChunk(text, ids, surfaces, alpha, rng);
  } else if (cache == nullptr) {
    ForEachSafeChunk(*this, text, [&](std::string_view chunk) {
      EncodeChunk(chunk, ids, surfaces, alpha, rng);
    });
  } else {
    EncodeThroughCache(
        *this,
        [&](auto&& on_chunk) {
          ForEachSafeChunk(*this, text, on_chunk);
          return absl::StatusCode::kOk;
        },
        *cache, ids);
  }
  return absl::StatusCode::kOk;
}

void Model::EncodeChunk(std::string_view text, std::vector<int>* ids,
                        std::vector<std::string_view>* surfaces, float alpha,
                        const RandomSource* rng) const {
  if (!is_bpe()) {
    EncodeUnigram(text, ids, surfaces, alpha, rng);
    return;
  }
  // With ignore_merges every piece maps directly, sampling or not.
  if ((ignore_merges || (rng == nullptr && direct_mapping_enabled)) &&
      !text.empty()) {
    const int32_t id = ExactPieceLookup(*this, text);
    if (id >= 0 &&
        (types[id] == PieceType_NORMAL ||
         types[id] == PieceType_USER_DEFINED) &&
        (ignore_merges || direct_mapping_flags == nullptr ||
         direct_mapping_flags[id] != 0)) {
      ids->push_back(id);
      if (surfaces != nullptr) surfaces->push_back(text);
      return;
    }
  }
  EncodeBPE(text, ids, surfaces, alpha, rng);
}

absl::StatusCode Model::PretokenizeAtSafeBoundaries(
    std::string_view text,
    absl::FunctionRef<void(std::string_view)> on_chunk) const {
  if (text.empty()) return absl::StatusCode::kOk;
  if (!bigram_trie.bound()) {
    on_chunk(text);
    return absl::StatusCode::kOk;
  }
  ForEachSafeChunk(*this, text, on_chunk);
  return absl::StatusCode::kOk;
}

}  // namespace korvel::lite
