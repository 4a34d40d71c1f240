#ifndef KORVEL_LITE_CHUNK_CACHE_H_
#define KORVEL_LITE_CHUNK_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace korvel::lite {

// A cache of the calling thread from recently encoded BPE chunks to their
// ids. Natural text repeats most of its words, and a chunk's ids depend only
// on the chunk and the model, so a hit replaces the merging with a copy.
//
// Each thread has its own cache, made on the thread's first use and freed
// when the thread ends: kBytes (1 MiB) of kSlots direct-mapped slots, never
// more. A slot holds one chunk of at most kMaxChunkBytes bytes whose ids
// number at most kMaxIds; longer chunks are never cached. Entries are tagged
// with the model's serial number, which no other model ever gets, so models
// share the cache without seeing each other's entries. When the memory for the
// cache cannot be had, encoding goes on without it.
class ChunkCache {
 public:
  static constexpr int kSlotBits = 14;
  static constexpr size_t kSlots = size_t{1} << kSlotBits;
  static constexpr size_t kMaxChunkBytes = 24;
  static constexpr size_t kMaxIds = 7;

  // The calling thread's cache, or null when it could not be allocated.
  static ChunkCache* ForThisThread();

  // Appends the ids cached for `chunk` of the model numbered `serial` to
  // `ids` and returns true, or returns false when they are not cached.
  bool Find(uint64_t serial, std::string_view chunk,
            std::vector<int>* ids) const;
  // Caches `chunk`'s `count` ids when the chunk and the ids fit a slot,
  // replacing whatever the slot held.
  void Insert(uint64_t serial, std::string_view chunk, const int* ids,
              size_t count);

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
  };

  static Key MakeKey(uint64_t serial, std::string_view chunk);
  Slot& SlotOf(const Key& key);
  const Slot& SlotOf(const Key& key) const {
    return const_cast<ChunkCache*>(this)->SlotOf(key);
  }

  Slot slots_[kSlots] = {};

 public:
  static constexpr size_t kBytes = sizeof(Slot) * kSlots;
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
  const char* p = chunk.data();
  const size_t size = chunk.size();
  Key key = {{0, 0, 0}, serial << 8 | size};
  if (size < 4) {
    key.words[0] =
        static_cast<unsigned char>(p[0]) |
        static_cast<uint64_t>(static_cast<unsigned char>(p[size / 2])) << 8 |
        static_cast<uint64_t>(static_cast<unsigned char>(p[size - 1])) << 16;
  } else if (size <= 8) {
    key.words[0] = chunk_cache_internal::Load32(p) |
                   chunk_cache_internal::Load32(p + size - 4) << 32;
  } else if (size <= 16) {
    key.words[0] = chunk_cache_internal::Load64(p);
    key.words[1] = chunk_cache_internal::Load64(p + size - 8);
  } else {
    key.words[0] = chunk_cache_internal::Load64(p);
    key.words[1] = chunk_cache_internal::Load64(p + 8);
    key.words[2] = chunk_cache_internal::Load64(p + size - 8);
  }
  return key;
}

inline ChunkCache::Slot& ChunkCache::SlotOf(const Key& key) {
  uint64_t hash = (key.words[0] * 0x9e3779b97f4a7c15ull) ^
                  (key.words[1] * 0xc2b2ae3d27d4eb4full) ^
                  (key.words[2] * 0x165667b19e3779f9ull) ^
                  (key.tag * 0xd6e8feb86659fd93ull);
  hash ^= hash >> 32;
  hash *= 0x9e3779b97f4a7c15ull;
  return slots_[hash >> (64 - kSlotBits)];
}

inline bool ChunkCache::Find(uint64_t serial, std::string_view chunk,
                             std::vector<int>* ids) const {
  if (chunk.empty() || chunk.size() > kMaxChunkBytes) return false;
  const Key key = MakeKey(serial, chunk);
  const Slot& slot = SlotOf(key);
  if (slot.key.tag != key.tag || slot.key.words[0] != key.words[0] ||
      slot.key.words[1] != key.words[1] || slot.key.words[2] != key.words[2]) {
    return false;
  }
  for (int32_t i = 0; i < slot.count; ++i) ids->push_back(slot.ids[i]);
  return true;
}

}  // namespace korvel::lite

#endif  // KORVEL_LITE_CHUNK_CACHE_H_
