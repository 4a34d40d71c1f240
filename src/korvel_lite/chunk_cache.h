#ifndef KORVEL_LITE_CHUNK_CACHE_H_
#define KORVEL_LITE_CHUNK_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace korvel::lite {

// A cache of the calling thread from recently encoded BPE chunks to their
// ids. Natural text repeats most of its words, and a chunk's ids depend only
// on the chunk and the model, so a hit replaces the merging with a copy.
//
// Each thread has its own cache, made on the thread's first use and freed
// when the thread ends: kBytes (256 KiB) of kSlots direct-mapped slots, never
// more. A slot holds one chunk of at most kMaxChunkBytes bytes whose ids
// number at most kMaxIds; longer chunks are never cached. Entries are tagged
// with the model's serial number, which no other model ever gets, so models
// share the cache without seeing each other's entries. When the memory for the
// cache cannot be had, encoding goes on without it.
class ChunkCache {
 public:
  static constexpr int kSlotBits = 12;
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

}  // namespace korvel::lite

#endif  // KORVEL_LITE_CHUNK_CACHE_H_
