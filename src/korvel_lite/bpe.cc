// BPE merging: start from characters (bytes in a byte-level model) and whole
// user-defined pieces, then repeatedly merge the adjacent pair that forms the
// piece with the highest score, leftmost first on ties, optionally dropping
// merges at random.
//
// Two mergers give the same result and draw the same random numbers. Short
// chunks keep one candidate per symbol in flat arrays and scan them for the
// best; longer chunks keep the candidates in a heap and discard stale ones
// when they come to the top.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "absl/numeric/bits.h"
#include "korvel_lite/internal/emit_piece.h"
#include "korvel_lite/model.h"
#include "korvel_lite/utf8.h"

namespace korvel::lite {
namespace {

constexpr size_t kInlineSymbols = 64;
constexpr size_t kInlinePairs = 64;
// Chunks of at most this many bytes (so at most this many symbols) take the
// scanning merger. Runs of CJK or other non-Latin letters often make single
// pre-tokens of 100 bytes and more, which the heap merger takes several times
// longer to merge.
constexpr size_t kMaxScanBytes = 256;
constexpr int64_t kNoCandidate = INT64_MIN;

bool IsMatchable(PieceType type) {
  return type == PieceType_NORMAL || type == PieceType_USER_DEFINED;
}

// An initial symbol: a whole user-defined piece (frozen) or one character.
struct InitialSymbol {
  uint32_t length;
  int32_t id;
  bool frozen;
  // The piece_trie position reached by the symbol's text, or
  // trie_unit::kNoNode.
  uint32_t trie_node;
};

InitialSymbol ReadSymbol(const Model& model, std::string_view text,
                         size_t pos) {
  if (model.user_defined_lead_bytes[static_cast<unsigned char>(text[pos])]) {
    const DoubleArray::Match user_defined =
        model.user_defined_trie.longest_prefix_lookup(text.substr(pos));
    if (user_defined.length > 0 &&
        model.types[user_defined.value] == PieceType_USER_DEFINED) {
      return {static_cast<uint32_t>(user_defined.length), user_defined.value,
              true, trie_unit::kNoNode};
    }
  }
  const unsigned char lead = static_cast<unsigned char>(text[pos]);
  const size_t length =
      model.byte_level ? 1 : static_cast<size_t>(CharLengthAt(text, pos));
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
  for (; k < length && node != trie_unit::kNoNode; ++k) {
    const int32_t child = model.piece_trie.child_index(
        node, static_cast<unsigned char>(text[pos + k]));
    node = child < 0 ? trie_unit::kNoNode : static_cast<uint32_t>(child);
  }
  int32_t id = model.unk_id;
  if (node != trie_unit::kNoNode &&
      trie_unit::HasLeaf(model.piece_trie.units[node])) {
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
    if (!trie_unit::Step(units, &position, &unit,
                         static_cast<unsigned char>(right[k]))) {
      return false;
    }
  }
  if (!trie_unit::HasLeaf(unit)) return false;
  const int32_t value = trie_unit::LeafValue(units, position, unit);
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
// Symbol i also keeps `path`, the trie position that its text followed by its
// right neighbour's reaches. When the neighbour grows, the walk goes on from
// there over the added bytes only, and stops at once when the shorter text
// already had no path.
//
// All state lives in fixed arrays on the stack; nothing is allocated.
template <bool sampling>
class ScanMerger {
 public:
  ScanMerger(const Model& model, std::string_view text)
      : model_(model),
        text_(text),
        units_(model.piece_trie.units),
        whole_characters_(!sampling && model.byte_level
                              ? model.whole_character_bits()
                              : nullptr) {}

  void Run(float alpha, const RandomSource* rng, std::vector<int>* ids,
           std::vector<std::string_view>* surfaces) {
    ReadSymbols();
    FindFirstCandidates();
    MergeBestCandidates(alpha, rng);
    for (int32_t i = 0; i != -1; i = symbols_[i].next) {
      const ScanSymbol& symbol = symbols_[i];
      model_.EmitPiece<false>(
          symbol.id, text_.substr(symbol.start, symbol.length), ids, surfaces);
    }
  }

 private:
  struct ScanSymbol {
    uint32_t start;
    uint32_t length;
    int32_t id;
    // The trie position reached by the symbol's text, or kNoNode.
    uint32_t node;
    int32_t prev;
    int32_t next;
    // The trie position reached by the text of this symbol and its right
    // neighbour, or kNoNode.
    uint32_t path;
    // The piece that the pair forms while candidate_keys_ holds a key.
    int32_t candidate_id;
    bool frozen;
  };

  // The candidate's score in the high half and kMaxScanBytes - index in the
  // low half, so the largest key is the best candidate, leftmost on ties.
  static int64_t KeyOf(int32_t score, int32_t left) {
    return static_cast<int64_t>(score) * (int64_t{1} << 32) +
           static_cast<int64_t>(kMaxScanBytes - left);
  }

  // Splits the text into initial symbols; ASCII bytes that start no
  // user-defined piece skip the general reader.
  void ReadSymbols() {
    int32_t count = 0;
    for (size_t pos = 0; pos < text_.size(); ++count) {
      ScanSymbol& symbol = symbols_[count];
      const auto lead = static_cast<unsigned char>(text_[pos]);
      symbol.start = static_cast<uint32_t>(pos);
      symbol.prev = count - 1;
      symbol.next = count + 1;
      if ((lead < 0x80 || model_.byte_level) &&
          !model_.user_defined_lead_bytes[lead]) {
        if (lead >= 0xc2 && whole_characters_ != nullptr &&
            ReadWholeCharacter(pos, lead, &symbol)) {
          pos += symbol.length;
          continue;
        }
        symbol.length = 1;
        symbol.id = model_.single_byte_piece_ids[lead];
        symbol.node = model_.piece_root_children[lead];
        symbol.frozen = false;
      } else {
        const InitialSymbol initial = ReadSymbol(model_, text_, pos);
        symbol.length = initial.length;
        symbol.id = initial.id;
        symbol.node = initial.trie_node;
        symbol.frozen = initial.frozen;
      }
      pos += symbol.length;
    }
    symbols_[count - 1].next = -1;
    count_ = count;
  }

  // Reads the two- or three-byte character at `pos` into `symbol` when its
  // bit in whole_characters_ is set; false, leaving `symbol` alone, when it
  // is not or a user-defined piece may start inside it.
  bool ReadWholeCharacter(size_t pos, unsigned char lead, ScanSymbol* symbol) {
    const uint32_t length = lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 0;
    uint32_t at = model_.piece_root_children[lead];
    if (length == 0 || pos + length > text_.size() ||
        at == trie_unit::kNoNode) {
      return false;
    }
    uint32_t unit = units_[at];
    for (uint32_t k = 1; k < length; ++k) {
      const auto byte = static_cast<unsigned char>(text_[pos + k]);
      if (model_.user_defined_lead_bytes[byte] ||
          !trie_unit::Step(units_, &at, &unit, byte)) {
        return false;
      }
    }
    if (!trie_unit::HasLeaf(unit)) return false;
    const int32_t id = trie_unit::LeafValue(units_, at, unit);
    if ((whole_characters_[id >> 6] >> (id & 63) & 1) == 0) return false;
    symbol->length = length;
    symbol->id = id;
    symbol->node = at;
    symbol->frozen = false;
    return true;
  }

  // The first candidates. A pair whose right symbol is one byte takes a
  // branch-free step, so the trie reads of all pairs overlap.
  void FindFirstCandidates() {
    for (int32_t left = 0; left + 1 < count_; ++left) {
      const ScanSymbol& right = symbols_[left + 1];
      if (right.length != 1) {
        Renew(left);
        continue;
      }
      ScanSymbol& symbol = symbols_[left];
      const auto ch = static_cast<unsigned char>(text_[right.start]);
      const bool has_node = symbol.node != trie_unit::kNoNode && !right.frozen;
      const uint32_t from = has_node ? symbol.node : 0;
      const uint32_t child = trie_unit::ChildPosition(from, units_[from], ch);
      const uint32_t unit = units_[child];
      const bool matched = has_node && trie_unit::LabelMatches(unit, ch);
      const bool leaf = matched && trie_unit::HasLeaf(unit);
      const uint32_t value_unit =
          units_[leaf ? trie_unit::ValuePosition(child, unit) : 0];
      const int32_t value = leaf ? trie_unit::Value(value_unit) : 0;
      const bool matchable = leaf && IsMatchable(model_.types[value]);
      symbol.path = matched ? child : trie_unit::kNoNode;
      symbol.candidate_id = value;
      candidate_keys_[left] =
          matchable ? KeyOf(model_.bpe_scores[value], left) : kNoCandidate;
    }
    symbols_[count_ - 1].path = trie_unit::kNoNode;
    const int32_t blocks = (count_ + kBlockSize - 1) / kBlockSize;
    std::fill(candidate_keys_ + count_ - 1,
              candidate_keys_ + blocks * kBlockSize, kNoCandidate);
    std::fill(
        block_best_keys_ + blocks,
        block_best_keys_ + (blocks + kBlockSize - 1) / kBlockSize * kBlockSize,
        kNoCandidate);
    dirty_blocks_ =
        blocks == kMaxBlocks ? ~uint32_t{0} : (uint32_t{1} << blocks) - 1;
  }

  // Takes the best candidate until none is left: drops it when sampling says
  // so, else merges its pair and renews the candidates beside it.
  void MergeBestCandidates(float alpha, const RandomSource* rng) {
    const int32_t blocks = (count_ + kBlockSize - 1) / kBlockSize;
    for (;;) {
      for (uint32_t dirty = dirty_blocks_; dirty != 0; dirty &= dirty - 1) {
        const int32_t block = absl::countr_zero(dirty);
        block_best_keys_[block] =
            MaxOfBlock(candidate_keys_ + block * kBlockSize);
      }
      dirty_blocks_ = 0;
      int64_t best_key = kNoCandidate;
      for (int32_t block = 0; block < blocks; block += kBlockSize) {
        best_key = std::max(best_key, MaxOfBlock(block_best_keys_ + block));
      }
      if (best_key == kNoCandidate) return;
      const auto best = static_cast<int32_t>(
          kMaxScanBytes - static_cast<uint32_t>(best_key & 0xffffffff));
      if (sampling && alpha > (*rng)()) {
        SetKey(best, kNoCandidate);
        continue;
      }
      Merge(best);
    }
  }

  // Merges symbol `left` with its right neighbour.
  void Merge(int32_t left) {
    ScanSymbol& symbol = symbols_[left];
    const int32_t right = symbol.next;
    const int32_t before = symbol.prev;
    if (before != -1 && symbols_[before].path != trie_unit::kNoNode) {
      Extend(before, right);
      Settle(before);
    }
    symbol.length += symbols_[right].length;
    symbol.id = symbol.candidate_id;
    symbol.node = symbol.path;
    SetKey(right, kNoCandidate);
    symbol.next = symbols_[right].next;
    if (symbol.next != -1) symbols_[symbol.next].prev = left;
    Renew(left);
  }

  // Continues the path of `left` over the bytes of symbol `right`.
  void Extend(int32_t left, int32_t right) {
    uint32_t at = symbols_[left].path;
    uint32_t unit = units_[at];
    const char* bytes = text_.data() + symbols_[right].start;
    for (uint32_t k = 0; k < symbols_[right].length; ++k) {
      if (!trie_unit::Step(units_, &at, &unit,
                           static_cast<unsigned char>(bytes[k]))) {
        symbols_[left].path = trie_unit::kNoNode;
        return;
      }
    }
    symbols_[left].path = at;
  }

  // The largest of kBlockSize keys, as a tree of independent comparisons.
  static int64_t MaxOfBlock(const int64_t* keys) {
    static_assert(kBlockSize == 8, "a tree of eight");
    const int64_t a = std::max(keys[0], keys[1]);
    const int64_t b = std::max(keys[2], keys[3]);
    const int64_t c = std::max(keys[4], keys[5]);
    const int64_t d = std::max(keys[6], keys[7]);
    return std::max(std::max(a, b), std::max(c, d));
  }

  // Sets the candidate key of `symbol` and marks its block for rescanning.
  void SetKey(int32_t symbol, int64_t key) {
    candidate_keys_[symbol] = key;
    dirty_blocks_ |= uint32_t{1} << (symbol / kBlockSize);
  }

  // Sets the candidate of `left` from its path.
  void Settle(int32_t left) {
    SetKey(left, kNoCandidate);
    const uint32_t at = symbols_[left].path;
    if (at == trie_unit::kNoNode) return;
    const uint32_t unit = units_[at];
    if (!trie_unit::HasLeaf(unit)) return;
    const int32_t value = trie_unit::LeafValue(units_, at, unit);
    if (!IsMatchable(model_.types[value])) return;
    symbols_[left].candidate_id = value;
    SetKey(left, KeyOf(model_.bpe_scores[value], left));
  }

  // Walks the pair of `left` and its right neighbour afresh.
  void Renew(int32_t left) {
    ScanSymbol& symbol = symbols_[left];
    const int32_t right = symbol.next;
    if (right == -1 || symbols_[right].frozen ||
        symbol.node == trie_unit::kNoNode) {
      symbol.path = trie_unit::kNoNode;
      SetKey(left, kNoCandidate);
      return;
    }
    symbol.path = symbol.node;
    Extend(left, right);
    Settle(left);
  }

  const Model& model_;
  const std::string_view text_;
  const uint32_t* const units_;
  // Model::whole_character_bits() when characters may start whole, else null.
  const uint64_t* const whole_characters_;
  int32_t count_ = 0;
  ScanSymbol symbols_[kMaxScanBytes];
  // Each symbol's candidate key, kNoCandidate when there is none (and past
  // the last symbol up to the end of its block); apart from the symbols so
  // that the search for the best scans one dense array.
  int64_t candidate_keys_[kMaxScanBytes];
  // The best key of each block of kBlockSize symbols, valid for the blocks
  // whose bit in dirty_blocks_ is clear, so that finding the best candidate
  // rescans only the blocks whose keys changed. Entries past the last block,
  // up to a multiple of kBlockSize, hold kNoCandidate.
  static constexpr int32_t kBlockSize = 8;
  static constexpr int32_t kMaxBlocks = kMaxScanBytes / kBlockSize;
  int64_t block_best_keys_[kMaxBlocks];
  uint32_t dirty_blocks_ = 0;
  static_assert(kMaxBlocks <= 32, "one bit per block");
};

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
  // The piece_trie position reached by `text`, or trie_unit::kNoNode.
  uint32_t trie_node;
};
static_assert(sizeof(Symbol) == sizeof(std::string_view) + 16,
              "id and frozen share one word");

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

using Symbols = absl::InlinedVector<Symbol, kInlineSymbols>;

void ReadSymbols(const Model& model, std::string_view text, Symbols* symbols) {
  const size_t size = text.size();
  if (size > kInlineSymbols) symbols->reserve(size);
  for (size_t pos = 0; pos < size;) {
    const InitialSymbol initial = ReadSymbol(model, text, pos);
    Symbol symbol;
    symbol.text = text.substr(pos, initial.length);
    symbol.prev = static_cast<int32_t>(symbols->size()) - 1;
    symbol.next = static_cast<int32_t>(symbols->size()) + 1;
    symbol.id = initial.id;
    symbol.frozen = initial.frozen ? 1 : 0;
    symbol.trie_node = initial.trie_node;
    symbols->push_back(symbol);
    pos += initial.length;
  }
  symbols->back().next = -1;
}

// Merges the best pair until none is left, dropping each with probability
// `alpha` when `rng` is given. A merged symbol keeps the left index; the
// right one is left with empty text.
void MergeByPriority(const Model& model, float alpha, const RandomSource* rng,
                     Symbols* symbols_ptr) {
  Symbols& symbols = *symbols_ptr;
  absl::InlinedVector<SymbolPair, kInlinePairs> pairs;
  if (symbols.size() > kInlinePairs) pairs.reserve(symbols.size());

  // Appends the candidate for merging symbols `left` and `right`, if their
  // texts together form a matchable piece; returns whether it did.
  auto add_candidate = [&](int32_t left, int32_t right) {
    if (left == -1 || right == -1) return false;
    const Symbol& l = symbols[left];
    const Symbol& r = symbols[right];
    if (l.frozen || r.frozen || l.trie_node == trie_unit::kNoNode) return false;
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
        left.text.size() + right.text.size() != static_cast<size_t>(top.size)) {
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

void MergeByHeap(const Model& model, std::string_view text, float alpha,
                 const RandomSource* rng, std::vector<int>* ids,
                 std::vector<std::string_view>* surfaces) {
  Symbols symbols;
  ReadSymbols(model, text, &symbols);
  if (alpha < 1.0f) MergeByPriority(model, alpha, rng, &symbols);
  for (int32_t i = 0; i != -1; i = symbols[i].next) {
    const Symbol& symbol = symbols[i];
    if (!symbol.text.empty()) {
      model.EmitPiece<false>(symbol.id, symbol.text, ids, surfaces);
    }
  }
}

constexpr int32_t kNoScore = INT32_MIN;

bool IsContinuation(unsigned char byte) { return (byte & 0xc0) == 0x80; }

bool IsThreeByteCharacter(const unsigned char* bytes) {
  return bytes[0] >= 0xe0 && bytes[0] <= 0xef && IsContinuation(bytes[1]) &&
         IsContinuation(bytes[2]);
}

uint32_t TwoBytes(const unsigned char* bytes) {
  return uint32_t{bytes[0]} << 8 | bytes[1];
}

uint32_t ThreeByteCharacter(const unsigned char* bytes) {
  return (bytes[0] & 0x0fu) << 12 | (bytes[1] & 0x3fu) << 6 |
         (bytes[2] & 0x3fu);
}

// For each key, the best score of a matchable piece longer than the key that
// ends (`ending`) or starts (`starting`) with it, or kNoScore: keys are one
// byte, two bytes, and a three-byte character.
struct NeighbourScores {
  int32_t ending1[256];
  int32_t starting1[256];
  int32_t ending2[1 << 16];
  int32_t starting2[1 << 16];
  int32_t ending3[1 << 16];
  int32_t starting3[1 << 16];

  NeighbourScores() {
    for (int32_t* one : {ending1, starting1}) std::fill_n(one, 256, kNoScore);
    for (int32_t* more : {ending2, starting2, ending3, starting3}) {
      std::fill_n(more, 1 << 16, kNoScore);
    }
  }

  static void Raise(int32_t* best, int32_t score) {
    *best = std::max(*best, score);
  }

  void Add(const unsigned char* bytes, size_t size, int32_t score) {
    const unsigned char* const last = bytes + size;
    Raise(&starting1[bytes[0]], score);
    Raise(&ending1[last[-1]], score);
    if (size < 3) return;
    Raise(&starting2[TwoBytes(bytes)], score);
    Raise(&ending2[TwoBytes(last - 2)], score);
    if (size < 4) return;
    if (IsThreeByteCharacter(bytes)) {
      Raise(&starting3[ThreeByteCharacter(bytes)], score);
    }
    if (IsThreeByteCharacter(last - 3)) {
      Raise(&ending3[ThreeByteCharacter(last - 3)], score);
    }
  }
};

// The score of the matchable piece `text`, or kNoScore.
int32_t PieceScore(const Model& model, std::string_view text) {
  const int32_t id = model.piece_trie.exact_lookup(text);
  return id >= 0 && IsMatchable(model.types[id]) ? model.bpe_scores[id]
                                                 : kNoScore;
}

// Whether piece `id`, one character of two or three bytes, may start as one
// symbol. Merging alone joins such a character's bytes in an order whose
// lowest score is `lowest`; while it is not whole, one of those merges is
// pending. A merge that takes a part of it, or all of it, together with
// bytes outside forms a longer piece that ends with a prefix of it or starts
// with a suffix of it; when every such piece scores below `lowest`, none of
// them can be the best pair before the character is whole, and the merges
// elsewhere come in the same order either way.
bool StartsWhole(const Model& model, const NeighbourScores& around, int32_t id,
                 std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  int32_t lowest = model.bpe_scores[id];
  int32_t best_around;
  if (text.size() == 2) {
    best_around = std::max(
        {around.ending1[bytes[0]], around.ending2[TwoBytes(bytes)],
         around.starting1[bytes[1]], around.starting2[TwoBytes(bytes)]});
  } else {
    const int32_t left = PieceScore(model, text.substr(0, 2));
    const int32_t right = PieceScore(model, text.substr(1, 2));
    if (left == kNoScore && right == kNoScore) return false;
    lowest = std::min(lowest, std::max(left, right));
    const uint32_t character = ThreeByteCharacter(bytes);
    best_around = std::max(
        {around.ending1[bytes[0]], around.ending2[TwoBytes(bytes)],
         around.ending3[character], around.starting1[bytes[2]],
         around.starting2[TwoBytes(bytes + 1)], around.starting3[character]});
  }
  return best_around < lowest;
}

}  // namespace

const uint64_t* Model::whole_character_bits() const {
  absl::call_once(whole_character_once_, [this] {
    if (!byte_level) return;
    const size_t n = vocab_size();
    const size_t words = (n + 63) / 64;
    std::unique_ptr<NeighbourScores> around;
    try {
      around = std::make_unique<NeighbourScores>();
      whole_character_bits_.reset(new uint64_t[words]());
    } catch (const std::bad_alloc&) {
      whole_character_bits_.reset();
      return;
    }
    const auto num_pieces = static_cast<int32_t>(n);
    for (int32_t id = 0; id < num_pieces; ++id) {
      const std::string_view text = IdToPiece(id);
      if (text.size() < 2 || !IsMatchable(types[id])) continue;
      around->Add(reinterpret_cast<const unsigned char*>(text.data()),
                  text.size(), bpe_scores[id]);
    }
    for (int32_t id = 0; id < num_pieces; ++id) {
      const std::string_view text = IdToPiece(id);
      const bool character =
          (text.size() == 2 || text.size() == 3) &&
          static_cast<size_t>(WellFormedCharLength(text)) == text.size();
      if (character && IsMatchable(types[id]) &&
          StartsWhole(*this, *around, id, text)) {
        whole_character_bits_[id >> 6] |= uint64_t{1} << (id & 63);
      }
    }
    derived_table_bytes_.fetch_add(words * sizeof(uint64_t),
                                   std::memory_order_release);
    whole_character_ready_.store(whole_character_bits_.get(),
                                 std::memory_order_release);
  });
  return whole_character_ready_.load(std::memory_order_acquire);
}

void Model::EncodeBPE(std::string_view text, std::vector<int>* ids,
                      std::vector<std::string_view>* surfaces, float alpha,
                      const RandomSource* rng) const {
  if (text.empty()) return;
  if (alpha < 1.0f && text.size() <= kMaxScanBytes) {
    if (rng == nullptr) {
      ScanMerger<false>(*this, text).Run(alpha, nullptr, ids, surfaces);
    } else {
      ScanMerger<true>(*this, text).Run(alpha, rng, ids, surfaces);
    }
    return;
  }
  MergeByHeap(*this, text, alpha, rng, ids, surfaces);
}

}  // namespace korvel::lite
