// BPE merging: start from characters (and whole user-defined pieces), then
// repeatedly merge the adjacent pair that forms the piece with the highest
// score, leftmost first on ties, optionally dropping merges at random.

#include <algorithm>
#include <cstddef>
#include <cstdint>
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

// One symbol of the chunk. Its index never changes; a symbol merged into its
// left neighbour keeps an empty `text`.
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
// their texts were `size` bytes long together.
struct SymbolPair {
  int32_t score = 0;
  int32_t left = 0;
  int32_t right = 0;
  int32_t size = 0;
  int32_t id = 0;
  uint32_t trie_node = kNoTrieNode;
};

// Heap order: higher score first, then the leftmost pair.
bool MergesLater(const SymbolPair& a, const SymbolPair& b) {
  if (a.score != b.score) return a.score < b.score;
  return a.left > b.left;
}

bool IsMatchable(PieceType type) {
  return type == PieceType_NORMAL || type == PieceType_USER_DEFINED;
}

}  // namespace

void Model::EncodeBPE(std::string_view text, std::vector<int>* ids,
                      std::vector<std::string_view>* surfaces, float alpha,
                      const RandomSource* rng) const {
  const size_t size = text.size();
  if (size == 0) return;

  absl::InlinedVector<Symbol, kInlineSymbols> symbols;
  if (size > kInlineSymbols) symbols.reserve(size);
  for (size_t pos = 0; pos < size;) {
    const std::string_view rest(text.data() + pos, size - pos);
    Symbol symbol;
    symbol.prev = static_cast<int32_t>(symbols.size()) - 1;
    symbol.next = static_cast<int32_t>(symbols.size()) + 1;
    const DoubleArray::Match user_defined =
        user_defined_trie.longest_prefix_lookup(rest);
    if (user_defined.length > 0 &&
        types[user_defined.value] == PieceType_USER_DEFINED) {
      symbol.text = rest.substr(0, user_defined.length);
      symbol.id = user_defined.value;
      symbol.frozen = 1;
      symbol.trie_node = kNoTrieNode;
    } else {
      symbol.text = rest.substr(0, CharLengthAt(text, pos));
      symbol.id = unk_id;
      symbol.frozen = 0;
      uint32_t node = 0;
      for (const char ch : symbol.text) {
        const int32_t child =
            piece_trie.child_index(node, static_cast<unsigned char>(ch));
        if (child < 0) {
          node = kNoTrieNode;
          break;
        }
        node = static_cast<uint32_t>(child);
      }
      symbol.trie_node = node;
      if (node != kNoTrieNode && DoubleArray::has_leaf(piece_trie.units[node])) {
        const int32_t id = piece_trie.leaf_value(node);
        if (IsMatchable(types[id])) symbol.id = id;
      }
    }
    pos += symbol.text.size();
    symbols.push_back(symbol);
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
      uint32_t node = l.trie_node;
      for (const char ch : r.text) {
        const int32_t child =
            piece_trie.child_index(node, static_cast<unsigned char>(ch));
        if (child < 0) return false;
        node = static_cast<uint32_t>(child);
      }
      if (!DoubleArray::has_leaf(piece_trie.units[node])) return false;
      const int32_t id = piece_trie.leaf_value(node);
      if (!IsMatchable(types[id])) return false;
      SymbolPair pair;
      pair.score = bpe_scores[id];
      pair.left = left;
      pair.right = right;
      pair.size = static_cast<int32_t>(l.text.size() + r.text.size());
      pair.id = id;
      pair.trie_node = node;
      pairs.push_back(pair);
      return true;
    };

    for (size_t i = 0; i + 1 < symbols.size(); ++i) {
      add_candidate(static_cast<int32_t>(i), static_cast<int32_t>(i + 1));
    }
    std::make_heap(pairs.begin(), pairs.end(), MergesLater);

    while (!pairs.empty()) {
      std::pop_heap(pairs.begin(), pairs.end(), MergesLater);
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
        std::push_heap(pairs.begin(), pairs.end(), MergesLater);
      }
      if (add_candidate(top.left, left.next)) {
        std::push_heap(pairs.begin(), pairs.end(), MergesLater);
      }
    }
  }

  for (int32_t i = 0; i != -1; i = symbols[i].next) {
    const Symbol& symbol = symbols[i];
    if (!symbol.text.empty()) {
      EmitPiece<false>(symbol.id, symbol.text, ids, surfaces);
    }
  }
}

}  // namespace korvel::lite
