#include "darts/darts.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace Darts {
namespace {

using Unit = std::uint32_t;
using ProgressFunc = int (*)(std::size_t, std::size_t);

using korvel::lite::trie_unit::EncodeOffset;
using korvel::lite::trie_unit::kBlockSize;
using korvel::lite::trie_unit::kHasLeafBit;
using korvel::lite::trie_unit::kOffsetLimit;
using korvel::lite::trie_unit::kValueBit;
using korvel::lite::trie_unit::OffsetFits;

// Units of the most recent blocks stay open for placing children; older
// blocks are closed for good.
constexpr Unit kOpenBlocks = 16;
constexpr Unit kWindowSize = kBlockSize * kOpenBlocks;
// The end of the free list.
constexpr Unit kNoUnit = 0xffffffffu;

static_assert(korvel::lite::trie_unit::Offset(EncodeOffset(0x1fffff)) ==
                  0x1fffff,
              "direct offsets round-trip");
static_assert(korvel::lite::trie_unit::Offset(EncodeOffset(0x1fffff00)) ==
                  0x1fffff00,
              "extended offsets round-trip");

// The caller's keys, checked once up front so that the builder can trust
// them: non-empty, free of NUL bytes, strictly ascending, values >= 0.
class KeySet {
 public:
  KeySet(std::size_t num_keys, const char* const* keys,
         const std::size_t* lengths, const int* values)
      : num_keys_(num_keys), keys_(keys), lengths_(lengths), values_(values) {
    if (num_keys > 0 && keys == nullptr) throw Details::Exception("null keys");
    if (values == nullptr && num_keys > static_cast<std::size_t>(INT_MAX)) {
      throw Details::Exception("too many keys");
    }
    if (lengths == nullptr) {
      owned_lengths_.resize(num_keys);
      for (std::size_t i = 0; i < num_keys; ++i) {
        if (keys[i] == nullptr) throw Details::Exception("null key");
        owned_lengths_[i] = std::strlen(keys[i]);
      }
      lengths_ = owned_lengths_.data();
    }
    for (std::size_t i = 0; i < num_keys; ++i) Check(i);
  }

  std::size_t size() const { return num_keys_; }

  // The byte of key `i` at `depth`, or 0 once the key has ended.
  unsigned char label(std::size_t i, std::size_t depth) const {
    return depth < lengths_[i] ? static_cast<unsigned char>(keys_[i][depth])
                               : 0;
  }

  int value(std::size_t i) const {
    return values_ != nullptr ? values_[i] : static_cast<int>(i);
  }

 private:
  void Check(std::size_t i) const {
    const char* key = keys_[i];
    const std::size_t length = lengths_[i];
    if (key == nullptr) throw Details::Exception("null key");
    if (length == 0) throw Details::Exception("empty key");
    if (std::memchr(key, '\0', length) != nullptr) {
      throw Details::Exception("NUL byte in key");
    }
    if (values_ != nullptr && values_[i] < 0) {
      throw Details::Exception("negative value");
    }
    if (i == 0) return;
    const std::size_t prev_length = lengths_[i - 1];
    const int order = std::memcmp(keys_[i - 1], key,
                                  prev_length < length ? prev_length : length);
    if (order > 0 || (order == 0 && prev_length >= length)) {
      throw Details::Exception("keys not in strictly ascending order");
    }
  }

  std::size_t num_keys_;
  const char* const* keys_;
  const std::size_t* lengths_;
  const int* values_;
  std::vector<std::size_t> owned_lengths_;
};

// Lays the trie of a KeySet out as a double array, depth first. The children
// of a node are placed together before any grandchild, at a base that no
// other node uses, inside the open blocks if they fit and in a fresh block
// otherwise.
class Builder {
 public:
  Builder(const KeySet& keys, ProgressFunc progress)
      : keys_(keys), progress_(progress), extras_(kWindowSize) {}

  std::vector<Unit> Build();

 private:
  // Bookkeeping for a unit of an open block: free units form a circular
  // doubly-linked list.
  struct Extra {
    Unit prev = 0;
    Unit next = 0;
    bool is_free = false;
    bool is_used_base = false;
  };

  Extra& extra(Unit id) { return extras_[id % kWindowSize]; }
  const Extra& extra(Unit id) const { return extras_[id % kWindowSize]; }
  Unit num_units() const { return static_cast<Unit>(units_.size()); }

  void BuildNode(std::size_t begin, std::size_t end, std::size_t depth,
                 Unit id);
  Unit PlaceChildren(Unit id);
  Unit FindBase(Unit id) const;
  bool IsUsableBase(Unit id, Unit base) const;
  void Occupy(Unit id);
  void AddBlock();
  void CloseBlock(Unit block);
  void KeyPlaced();

  const KeySet& keys_;
  const ProgressFunc progress_;
  std::size_t keys_placed_ = 0;
  std::vector<Unit> units_;
  std::vector<Extra> extras_;
  std::vector<unsigned char> labels_;  // Children of the node being placed.
  Unit free_head_ = kNoUnit;
};

std::vector<Unit> Builder::Build() {
  AddBlock();
  Occupy(0);
  // Base 0 would put a leaf on top of the root.
  extra(0).is_used_base = true;
  if (keys_.size() == 0) {
    units_[0] = EncodeOffset(1);
    extra(1).is_used_base = true;
  } else {
    BuildNode(0, keys_.size(), 0, 0);
  }
  const Unit num_blocks = num_units() / kBlockSize;
  const Unit first_open =
      num_blocks > kOpenBlocks ? num_blocks - kOpenBlocks : 0;
  for (Unit block = first_open; block < num_blocks; ++block) CloseBlock(block);
  if (progress_ != nullptr) progress_(keys_.size() + 1, keys_.size() + 1);
  return std::move(units_);
}

void Builder::BuildNode(std::size_t begin, std::size_t end, std::size_t depth,
                        Unit id) {
  labels_.clear();
  for (std::size_t i = begin; i < end; ++i) {
    const unsigned char label = keys_.label(i, depth);
    if (labels_.empty() || labels_.back() != label) labels_.push_back(label);
  }
  const Unit base = PlaceChildren(id);

  std::size_t group_begin = begin;
  while (group_begin < end) {
    const unsigned char label = keys_.label(group_begin, depth);
    std::size_t group_end = group_begin + 1;
    while (group_end < end && keys_.label(group_end, depth) == label) {
      ++group_end;
    }
    if (label == 0) {
      units_[base] = kValueBit | static_cast<Unit>(keys_.value(group_begin));
      KeyPlaced();
    } else {
      BuildNode(group_begin, group_end, depth + 1, base ^ label);
    }
    group_begin = group_end;
  }
}

// Reserves the units for the children in labels_, labels them and points
// node `id` at them. Returns their base.
Unit Builder::PlaceChildren(Unit id) {
  const Unit base = FindBase(id);
  if (base >= num_units()) AddBlock();
  const Unit offset = id ^ base;
  if (!OffsetFits(offset)) throw Details::Exception("offset out of range");
  units_[id] |= EncodeOffset(offset);
  if (labels_.front() == 0) units_[id] |= kHasLeafBit;
  extra(base).is_used_base = true;
  for (const unsigned char label : labels_) {
    const Unit child = base ^ label;
    Occupy(child);
    units_[child] = label;
  }
  return base;
}

// Scans the free units of the open blocks for the first one that can hold
// the smallest label; falls back to the block after the last one.
Unit Builder::FindBase(Unit id) const {
  if (free_head_ != kNoUnit) {
    Unit candidate = free_head_;
    do {
      const Unit base = candidate ^ labels_.front();
      if (IsUsableBase(id, base)) return base;
      candidate = extra(candidate).next;
    } while (candidate != free_head_);
  }
  // A base in a new block with id's low byte gives an offset that is a
  // multiple of 256, which the extension encoding can hold.
  return num_units() | (id & 0xffu);
}

bool Builder::IsUsableBase(Unit id, Unit base) const {
  if (extra(base).is_used_base) return false;
  const Unit offset = id ^ base;
  if (offset == 0 || !OffsetFits(offset)) return false;
  for (std::size_t i = 1; i < labels_.size(); ++i) {
    if (!extra(base ^ labels_[i]).is_free) return false;
  }
  return true;
}

void Builder::Occupy(Unit id) {
  Extra& unit = extra(id);
  if (free_head_ == id) free_head_ = unit.next != id ? unit.next : kNoUnit;
  extra(unit.prev).next = unit.next;
  extra(unit.next).prev = unit.prev;
  unit.is_free = false;
}

void Builder::AddBlock() {
  const Unit begin = num_units();
  if (begin >= kOffsetLimit) throw Details::Exception("too many units");
  const Unit block = begin / kBlockSize;
  if (block >= kOpenBlocks) CloseBlock(block - kOpenBlocks);
  const Unit end = begin + kBlockSize;
  units_.resize(end, 0);

  for (Unit id = begin; id < end; ++id) {
    Extra& unit = extra(id);
    unit.prev = id - 1;
    unit.next = id + 1;
    unit.is_free = true;
    unit.is_used_base = false;
  }
  const Unit last = end - 1;
  if (free_head_ == kNoUnit) {
    free_head_ = begin;
    extra(begin).prev = last;
    extra(last).next = begin;
  } else {
    const Unit tail = extra(free_head_).prev;
    extra(tail).next = begin;
    extra(begin).prev = tail;
    extra(last).next = free_head_;
    extra(free_head_).prev = last;
  }
}

// Gives each still-free unit of `block` a label that cannot match from any
// base in the block: label = id ^ x for a base x that no node uses. A block
// whose 256 bases are all taken has no free unit left.
void Builder::CloseBlock(Unit block) {
  const Unit begin = block * kBlockSize;
  const Unit end = begin + kBlockSize;
  Unit unused_base = begin;
  while (unused_base < end && extra(unused_base).is_used_base) ++unused_base;
  for (Unit id = begin; id < end; ++id) {
    if (!extra(id).is_free) continue;
    Occupy(id);
    units_[id] = (id ^ unused_base) & 0xffu;
  }
}

void Builder::KeyPlaced() {
  ++keys_placed_;
  if (progress_ != nullptr) progress_(keys_placed_, keys_.size() + 1);
}

}  // namespace

int DoubleArrayImpl<void, void, int, void>::build(
    std::size_t num_keys, const key_type* const* keys,
    const std::size_t* lengths, const value_type* values,
    int (*progress_func)(std::size_t, std::size_t)) {
  const KeySet key_set(num_keys, keys, lengths, values);
  std::vector<std::uint32_t> units = Builder(key_set, progress_func).Build();
  units_.swap(units);
  array_ = units_.data();
  size_ = units_.size();
  return 0;
}

}  // namespace Darts
