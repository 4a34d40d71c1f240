// BPE merging: start from characters (and whole user-defined pieces), then
// repeatedly merge the adjacent pair that forms the piece with the highest
// score, leftmost first on ties, optionally dropping merges at random.
//
// Two mergers give the same result and draw the same random numbers. Short
// chunks keep one candidate per symbol in flat arrays and scan them for the
// best; longer chunks keep the candidates in a heap and discard stale ones
// when they come to the top.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "korvel_lite/emit_piece.h"
#include "korvel_lite/model.h"
#include "korvel_lite/utf8.h"

namespace korvel::lite {
namespace {

constexpr uint32_t kNoTrieNode = 0xffffffffu;
constexpr size_t kInlineSymbols = 64;
constexpr size_t kInlinePairs = 64;
// Chunks of at most this many bytes (so at most this many symbols) take the
// scanning merger.
constexpr size_t kMaxScanBytes = 64;
constexpr int64_t kNoCandidate = INT64_MIN;

bool IsMatchable(PieceType type) {
  return type == PieceType_NORMAL || type == PieceType_USER_DEFINED;
}

// An initial symbol: a whole user-defined piece (frozen) or one character.
struct InitialSymbol {
  uint32_t length;
  int32_t id;
  bool frozen;
  // The piece_trie position reached by the symbol's text, or kNoTrieNode.
  uint32_t trie_node;
};

InitialSymbol ReadSymbol(const Model& model, std::string_view text,
                         size_t pos) {
  if (model.user_defined_trie.bound()) {
    const DoubleArray::Match user_defined =
        model.user_defined_trie.longest_prefix_lookup(text.substr(pos));
    if (user_defined.length > 0 &&
        model.types[user_defined.value] == PieceType_USER_DEFINED) {
      return {static_cast<uint32_t>(user_defined.length), user_defined.value,
              true, kNoTrieNode};
    }
  }
  const unsigned char lead = static_cast<unsigned char>(text[pos]);
  const size_t length = static_cast<size_t>(CharLengthAt(text, pos));
  if (length == 1) {
    return {1, model.single_byte_piece_ids[lead], false,
            model.piece_root_children[lead]};
  }
  uint32_t node = model.piece_root_children[lead];
  size_t k = 1;
  if (length == 3 &&
      std::memcmp(text.data() + pos, kWhitespaceSymbol.data(), 3) == 0) {
    node = model.piece_whitespace_node;
    k = 3;
  }
  for (; k < length && node != kNoTrieNode; ++k) {
    const int32_t child = model.piece_trie.child_index(
        node, static_cast<unsigned char>(text[pos + k]));
    node = child < 0 ? kNoTrieNode : static_cast<uint32_t>(child);
  }
  int32_t id = model.unk_id;
  if (node != kNoTrieNode &&
      DoubleArray::has_leaf(model.piece_trie.units[node])) {
    const int32_t value = model.piece_trie.leaf_value(node);
    if (IsMatchable(model.types[value])) id = value;
  }
  return {static_cast<uint32_t>(length), id, false, node};
}

// The matchable piece that a symbol at trie position `left_node` forms with
// the text `right` after it: true with its id and position, else false.
inline bool FindPairPiece(const Model& model, uint32_t left_node,
                          const char* right, size_t right_length, int32_t* id,
                          uint32_t* node) {
  const uint32_t* units = model.piece_trie.units;
  uint32_t position = left_node;
  uint32_t unit = units[position];
  for (size_t k = 0; k < right_length; ++k) {
    const auto ch = static_cast<unsigned char>(right[k]);
    position ^= DoubleArray::offset(unit) ^ ch;
    unit = units[position];
    if (!DoubleArray::label_matches(unit, ch)) return false;
  }
  if (!DoubleArray::has_leaf(unit)) return false;
  const auto value = static_cast<int32_t>(
      units[position ^ DoubleArray::offset(unit)] & 0x7fffffffu);
  if (!IsMatchable(model.types[value])) return false;
  *id = value;
  *node = position;
  return true;
}

// Merging of a chunk of at most kMaxScanBytes bytes, with `alpha` below 1.
// Symbol i keeps the candidate for merging with its right neighbour; each
// step takes the best one, leftmost on ties, and either drops it (sampling,
// with probability `alpha`) or merges it and renews the candidates on both
// sides of the merged symbol. Every live adjacent pair that forms a piece and
// was not dropped has exactly one current candidate, so this takes candidates
// in the heap merger's order.
//
// Symbol i also keeps `path[i]`, the trie position that its text followed by
// its right neighbour's reaches. When the neighbour grows, the walk goes on
// from there over the added bytes only, and stops at once when the shorter
// text already had no path.
template <bool sampling>
void MergeByScan(const Model& model, std::string_view text, float alpha,
                 const RandomSource* rng, std::vector<int>* ids,
                 std::vector<std::string_view>* surfaces) {
  uint32_t start[kMaxScanBytes];
  uint32_t length[kMaxScanBytes];
  int32_t id[kMaxScanBytes];
  uint32_t node[kMaxScanBytes];
  bool frozen[kMaxScanBytes];
  int32_t prev[kMaxScanBytes];
  int32_t next[kMaxScanBytes];
  uint32_t path[kMaxScanBytes];
  // The candidate's score in the high half and kMaxScanBytes - index in the
  // low half, so the largest key is the best candidate, leftmost on ties;
  // kNoCandidate when there is none.
  int64_t candidate_key[kMaxScanBytes];
  int32_t candidate_id[kMaxScanBytes];

  const bool plain_ascii_symbols = !model.user_defined_trie.bound();
  int32_t count = 0;
  for (size_t pos = 0; pos < text.size(); ++count) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (plain_ascii_symbols && lead < 0x80) {
      start[count] = static_cast<uint32_t>(pos);
      length[count] = 1;
      id[count] = model.single_byte_piece_ids[lead];
      node[count] = model.piece_root_children[lead];
      frozen[count] = false;
      prev[count] = count - 1;
      next[count] = count + 1;
      ++pos;
      continue;
    }
    const InitialSymbol symbol = ReadSymbol(model, text, pos);
    start[count] = static_cast<uint32_t>(pos);
    length[count] = symbol.length;
    id[count] = symbol.id;
    node[count] = symbol.trie_node;
    frozen[count] = symbol.frozen;
    prev[count] = count - 1;
    next[count] = count + 1;
    pos += symbol.length;
  }
  next[count - 1] = -1;

  const uint32_t* units = model.piece_trie.units;
  auto key_of = [](int32_t score, int32_t left) {
    return static_cast<int64_t>(score) * (int64_t{1} << 32) +
           static_cast<int64_t>(kMaxScanBytes - left);
  };
  // Continues path[left] (a trie position) over the bytes of symbol `right`.
  auto extend = [&](int32_t left, int32_t right) {
    uint32_t at = path[left];
    uint32_t unit = units[at];
    const char* bytes = text.data() + start[right];
    for (uint32_t k = 0; k < length[right]; ++k) {
      const auto ch = static_cast<unsigned char>(bytes[k]);
      at ^= DoubleArray::offset(unit) ^ ch;
      unit = units[at];
      if (!DoubleArray::label_matches(unit, ch)) {
        path[left] = kNoTrieNode;
        return;
      }
    }
    path[left] = at;
  };
  // Sets the candidate of `left` from path[left].
  auto settle = [&](int32_t left) {
    candidate_key[left] = kNoCandidate;
    const uint32_t at = path[left];
    if (at == kNoTrieNode) return;
    const uint32_t unit = units[at];
    if (!DoubleArray::has_leaf(unit)) return;
    const auto value =
        static_cast<int32_t>(units[at ^ DoubleArray::offset(unit)] & 0x7fffffffu);
    if (!IsMatchable(model.types[value])) return;
    candidate_id[left] = value;
    candidate_key[left] = key_of(model.bpe_scores[value], left);
  };
  // Walks the pair of `left` and its right neighbour afresh.
  auto renew = [&](int32_t left) {
    const int32_t right = next[left];
    if (right == -1 || frozen[right] || node[left] == kNoTrieNode) {
      path[left] = kNoTrieNode;
      candidate_key[left] = kNoCandidate;
      return;
    }
    path[left] = node[left];
    extend(left, right);
    settle(left);
  };

  // The first candidates. A pair whose right symbol is one byte takes a
  // branch-free step, so the trie reads of all pairs overlap.
  for (int32_t left = 0; left + 1 < count; ++left) {
    const int32_t right = left + 1;
    if (length[right] != 1) {
      renew(left);
      continue;
    }
    const auto ch = static_cast<unsigned char>(text[start[right]]);
    const bool has_node = node[left] != kNoTrieNode && !frozen[right];
    const uint32_t from = has_node ? node[left] : 0;
    const uint32_t child = from ^ DoubleArray::offset(units[from]) ^ ch;
    const uint32_t unit = units[child];
    const bool matched = has_node && DoubleArray::label_matches(unit, ch);
    const bool leaf = matched && DoubleArray::has_leaf(unit);
    const uint32_t value_unit =
        units[leaf ? child ^ DoubleArray::offset(unit) : 0];
    const int32_t value =
        leaf ? static_cast<int32_t>(value_unit & 0x7fffffffu) : 0;
    const bool matchable = leaf && IsMatchable(model.types[value]);
    path[left] = matched ? child : kNoTrieNode;
    candidate_id[left] = value;
    candidate_key[left] =
        matchable ? key_of(model.bpe_scores[value], left) : kNoCandidate;
  }
  path[count - 1] = kNoTrieNode;
  candidate_key[count - 1] = kNoCandidate;

  for (;;) {
    int64_t best_key = kNoCandidate;
    for (int32_t i = 0; i < count; ++i) {
      best_key = std::max(best_key, candidate_key[i]);
    }
    if (best_key == kNoCandidate) break;
    const auto best = static_cast<int32_t>(
        kMaxScanBytes - static_cast<uint32_t>(best_key & 0xffffffff));
    if (sampling && alpha > (*rng)()) {
      candidate_key[best] = kNoCandidate;
      continue;
    }
    const int32_t right = next[best];
    const int32_t before = prev[best];
    if (before != -1 && path[before] != kNoTrieNode) {
      extend(before, right);
      settle(before);
    }
    length[best] += length[right];
    id[best] = candidate_id[best];
    node[best] = path[best];
    candidate_key[right] = kNoCandidate;
    next[best] = next[right];
    if (next[best] != -1) prev[next[best]] = best;
    renew(best);
  }

  for (int32_t i = 0; i != -1; i = next[i]) {
    model.EmitPiece<false>(id[i], text.substr(start[i], length[i]), ids,
                           surfaces);
  }
}

// One symbol of the heap merger. Its index never changes; a symbol merged
// into its left neighbour keeps an empty `text`.
struct Symbol {
  std::string_view text;
  int32_t prev;
  int32_t next;
  // The piece id (sign-extended, so an unknown id of -1 survives) and whether
  // the symbol is a user-defined piece that never merges, in one word.
  int32_t id : 31;
  uint32_t frozen : 1;
  // The piece_trie position reached by `text`, or kNoTrieNode.
  uint32_t trie_node;
};
static_assert(sizeof(Symbol) == 32, "id and frozen share one word");

// A candidate merge of symbols `left` and `right` into piece `id`, made when
// their texts were `size` bytes long together. `priority` orders the heap:
// the score in the high half (offset to compare unsigned), the complement of
// `left` in the low half, so a higher score comes first, then the leftmost.
struct SymbolPair {
  uint64_t priority;
  int32_t left;
  int32_t right;
  int32_t size;
  int32_t id;
  uint32_t trie_node;
};

struct MergesLater {
  bool operator()(const SymbolPair& a, const SymbolPair& b) const {
    return a.priority < b.priority;
  }
};

uint64_t Priority(int32_t score, int32_t left) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(score) ^ 0x80000000u)
          << 32) |
         static_cast<uint32_t>(~left);
}

void MergeByHeap(const Model& model, std::string_view text, float alpha,
                 const RandomSource* rng, std::vector<int>* ids,
                 std::vector<std::string_view>* surfaces) {
  const size_t size = text.size();
  absl::InlinedVector<Symbol, kInlineSymbols> symbols;
  if (size > kInlineSymbols) symbols.reserve(size);
  for (size_t pos = 0; pos < size;) {
    const InitialSymbol initial = ReadSymbol(model, text, pos);
    Symbol symbol;
    symbol.text = text.substr(pos, initial.length);
    symbol.prev = static_cast<int32_t>(symbols.size()) - 1;
    symbol.next = static_cast<int32_t>(symbols.size()) + 1;
    symbol.id = initial.id;
    symbol.frozen = initial.frozen ? 1 : 0;
    symbol.trie_node = initial.trie_node;
    symbols.push_back(symbol);
    pos += initial.length;
  }
  symbols.back().next = -1;

  if (alpha < 1.0f) {
    absl::InlinedVector<SymbolPair, kInlinePairs> pairs;
    if (symbols.size() > kInlinePairs) pairs.reserve(symbols.size());

    // Appends the candidate for merging symbols `left` and `right`, if their
    // texts together form a matchable piece; returns whether it did.
    auto add_candidate = [&](int32_t left, int32_t right) {
      if (left == -1 || right == -1) return false;
      const Symbol& l = symbols[left];
      const Symbol& r = symbols[right];
      if (l.frozen || r.frozen || l.trie_node == kNoTrieNode) return false;
      SymbolPair pair;
      if (!FindPairPiece(model, l.trie_node, r.text.data(), r.text.size(),
                         &pair.id, &pair.trie_node)) {
        return false;
      }
      pair.priority = Priority(model.bpe_scores[pair.id], left);
      pair.left = left;
      pair.right = right;
      pair.size = static_cast<int32_t>(l.text.size() + r.text.size());
      pairs.push_back(pair);
      return true;
    };

    for (size_t i = 0; i + 1 < symbols.size(); ++i) {
      add_candidate(static_cast<int32_t>(i), static_cast<int32_t>(i + 1));
    }
    std::make_heap(pairs.begin(), pairs.end(), MergesLater());

    while (!pairs.empty()) {
      std::pop_heap(pairs.begin(), pairs.end(), MergesLater());
      const SymbolPair top = pairs.back();
      pairs.pop_back();
      Symbol& left = symbols[top.left];
      Symbol& right = symbols[top.right];
      if (left.text.empty() || right.text.empty() ||
          left.text.size() + right.text.size() !=
              static_cast<size_t>(top.size)) {
        continue;
      }
      if (rng != nullptr && alpha > (*rng)()) continue;
      left.text = std::string_view(left.text.data(), top.size);
      left.id = top.id;
      left.trie_node = top.trie_node;
      right.text = std::string_view();
      left.next = right.next;
      if (left.next != -1) symbols[left.next].prev = top.left;

      if (add_candidate(left.prev, top.left)) {
        std::push_heap(pairs.begin(), pairs.end(), MergesLater());
      }
      if (add_candidate(top.left, left.next)) {
        std::push_heap(pairs.begin(), pairs.end(), MergesLater());
      }
    }
  }

  for (int32_t i = 0; i != -1; i = symbols[i].next) {
    const Symbol& symbol = symbols[i];
    if (!symbol.text.empty()) {
      model.EmitPiece<false>(symbol.id, symbol.text, ids, surfaces);
    }
  }
}

}  // namespace

void Model::EncodeBPE(std::string_view text, std::vector<int>* ids,
                      std::vector<std::string_view>* surfaces, float alpha,
                      const RandomSource* rng) const {
  if (text.empty()) return;
  if (alpha < 1.0f && text.size() <= kMaxScanBytes) {
    if (rng == nullptr) {
      MergeByScan<false>(*this, text, alpha, nullptr, ids, surfaces);
    } else {
      MergeByScan<true>(*this, text, alpha, rng, ids, surfaces);
    }
    return;
  }
  MergeByHeap(*this, text, alpha, rng, ids, surfaces);
}

}  // namespace korvel::lite
