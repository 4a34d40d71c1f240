#ifndef KORVEL_LITE_INTERNAL_CHUNK_CACHE_H_
#define KORVEL_LITE_INTERNAL_CHUNK_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace korvel::lite {

// A cache of the calling thread from recently encoded BPE chunks to their
// ids. Natural text repeats most of its words, and a chunk's ids depend only
// on the chunk and the model, so a hit replaces the merging with a copy.
//
// Each thread has its own cache, made on the thread's first use and freed
// when the thread ends (encoding later in the thread's exit, from another
// thread-local's destructor, goes on without it): kBytes (1 MiB and 64
// bytes), never more. It has kSets
// sets of two slots, the more recently used first; a new chunk replaces the
// other. A slot holds one chunk of at most kMaxChunkBytes bytes whose ids
// number at most kMaxIds; longer chunks are never cached. Entries are tagged
// with the model's serial number, which no other model ever gets, so models
// share the cache without seeing each other's entries. When the memory for the
// cache cannot be had, encoding goes on without it.
class ChunkCache {
 public:
  static constexpr int kSetBits = 13;
  static constexpr size_t kSets = size_t{1} << kSetBits;
  static constexpr size_t kMaxChunkBytes = 24;
  static constexpr size_t kMaxIds = 7;

 private:
  // The chunk in three words from which its bytes can be read back given its
  // length, so that equal keys mean equal chunks.
  struct Key {
    uint64_t words[3];
    // serial << 8 | chunk length; 0 only for an empty slot.
    uint64_t tag;
  };
  struct Slot {
    Key key;
    int32_t count;
    int32_t ids[kMaxIds];

    bool Holds(const Key& other) const {
      return key.tag == other.tag && key.words[0] == other.words[0] &&
             key.words[1] == other.words[1] && key.words[2] == other.words[2];
    }
  };
  static_assert(sizeof(Slot) == 64, "a slot is one cache line");
  struct alignas(64) Set {
    Slot recent;
    Slot older;
  };

 public:
  // Where a chunk is or would be cached. Made ahead of the lookup, it starts
  // fetching the set into the processor's cache, so that the lookups of
  // several chunks overlap.
  class Probe {
   private:
    friend class ChunkCache;
    Key key_;
    Set* set_ = nullptr;  // null for a chunk that is never cached
  };

  // The memory of one thread's cache: the sets and room to align them.
  static constexpr size_t kBytes = sizeof(Set) * kSets + alignof(Set);

  // The calling thread's cache, or null when it could not be allocated.
  static ChunkCache* ForThisThread();

  // The probe for `chunk` of the model numbered `serial`.
  Probe Prepare(uint64_t serial, std::string_view chunk);
  // Appends the ids cached for the probed chunk to `ids` and returns true, or
  // returns false when they are not cached.
  bool Find(const Probe& probe, std::vector<int>* ids);
  // Caches the probed chunk's `count` ids when they fit a slot, in place of
  // the less recently used chunk of its set.
  void Insert(const Probe& probe, const int* ids, size_t count);

 private:
  // Gets the memory for the sets; false when it cannot be had.
  bool Allocate();
  static Key MakeKey(uint64_t serial, std::string_view chunk);
  Set& SetOf(const Key& key);

  // Null until the memory is had; then kSets zeroed sets, aligned to cache
  // lines, inside `memory_`.
  std::unique_ptr<char[]> memory_;
  Set* sets_ = nullptr;
};

namespace chunk_cache_internal {

inline uint64_t Load64(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof(word));
  return word;
}

inline uint64_t Load32(const char* p) {
  uint32_t word;
  std::memcpy(&word, p, sizeof(word));
  return word;
}

}  // namespace chunk_cache_internal

// Overlapping reads cover every byte of the chunk exactly as its length
// dictates, so two chunks of one length have equal words only when they are
// equal; the chunk is never read past its end.
inline ChunkCache::Key ChunkCache::MakeKey(uint64_t serial,
                                           std::string_view chunk) {
  using chunk_cache_internal::Load32;
  using chunk_cache_internal::Load64;
  const char* p = chunk.data();
  const size_t size = chunk.size();
  Key key = {{0, 0, 0}, serial << 8 | size};
  if (size < 4) {
    key.words[0] =
        static_cast<unsigned char>(p[0]) |
        static_cast<uint64_t>(static_cast<unsigned char>(p[size / 2])) << 8 |
        static_cast<uint64_t>(static_cast<unsigned char>(p[size - 1])) << 16;
  } else if (size <= 8) {
    key.words[0] = Load32(p) | Load32(p + size - 4) << 32;
  } else if (size <= 16) {
    key.words[0] = Load64(p);
    key.words[1] = Load64(p + size - 8);
  } else {
    key.words[0] = Load64(p);
    key.words[1] = Load64(p + 8);
    key.words[2] = Load64(p + size - 8);
  }
  return key;
}

inline ChunkCache::Set& ChunkCache::SetOf(const Key& key) {
  uint64_t hash = (key.words[0] * 0x9e3779b97f4a7c15ull) ^
                  (key.words[1] * 0xc2b2ae3d27d4eb4full) ^
                  (key.words[2] * 0x165667b19e3779f9ull) ^
                  (key.tag * 0xd6e8feb86659fd93ull);
  hash ^= hash >> 32;
  hash *= 0x9e3779b97f4a7c15ull;
  return sets_[hash >> (64 - kSetBits)];
}

inline ChunkCache::Probe ChunkCache::Prepare(uint64_t serial,
                                             std::string_view chunk) {
  Probe probe;
  if (chunk.empty() || chunk.size() > kMaxChunkBytes) return probe;
  probe.key_ = MakeKey(serial, chunk);
  probe.set_ = &SetOf(probe.key_);
  __builtin_prefetch(probe.set_);
  return probe;
}

inline bool ChunkCache::Find(const Probe& probe, std::vector<int>* ids) {
  if (probe.set_ == nullptr) return false;
  Set& set = *probe.set_;
  if (!set.recent.Holds(probe.key_)) {
    if (!set.older.Holds(probe.key_)) return false;
    std::swap(set.recent, set.older);
  }
  for (int32_t i = 0; i < set.recent.count; ++i) {
    ids->push_back(set.recent.ids[i]);
  }
  return true;
}

}  // namespace korvel::lite

#endif  // KORVEL_LITE_INTERNAL_CHUNK_CACHE_H_
