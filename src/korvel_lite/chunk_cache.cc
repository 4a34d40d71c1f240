#include "korvel_lite/chunk_cache.h"

#include <cstring>
#include <memory>
#include <new>

namespace korvel::lite {
namespace {

uint64_t Load64(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof(word));
  return word;
}

uint64_t Load32(const char* p) {
  uint32_t word;
  std::memcpy(&word, p, sizeof(word));
  return word;
}

}  // namespace

ChunkCache* ChunkCache::ForThisThread() {
  // A failed allocation is tried again on the next call rather than leaving
  // the thread without a cache for good.
  thread_local std::unique_ptr<ChunkCache> cache;
  if (cache == nullptr) cache.reset(new (std::nothrow) ChunkCache());
  return cache.get();
}

// Overlapping reads cover every byte of the chunk exactly as its length
// dictates, so two chunks of one length have equal words only when they are
// equal; the chunk is never read past its end.
ChunkCache::Key ChunkCache::MakeKey(uint64_t serial, std::string_view chunk) {
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

ChunkCache::Slot& ChunkCache::SlotOf(const Key& key) {
  uint64_t hash = (key.words[0] * 0x9e3779b97f4a7c15ull) ^
                  (key.words[1] * 0xc2b2ae3d27d4eb4full) ^
                  (key.words[2] * 0x165667b19e3779f9ull) ^
                  (key.tag * 0xd6e8feb86659fd93ull);
  hash ^= hash >> 32;
  hash *= 0x9e3779b97f4a7c15ull;
  return slots_[hash >> (64 - kSlotBits)];
}

bool ChunkCache::Find(uint64_t serial, std::string_view chunk,
                      std::vector<int>* ids) const {
  if (chunk.empty() || chunk.size() > kMaxChunkBytes) return false;
  const Key key = MakeKey(serial, chunk);
  const Slot& slot = SlotOf(key);
  if (slot.key.tag != key.tag || slot.key.words[0] != key.words[0] ||
      slot.key.words[1] != key.words[1] || slot.key.words[2] != key.words[2]) {
    return false;
  }
  ids->insert(ids->end(), slot.ids, slot.ids + slot.count);
  return true;
}

void ChunkCache::Insert(uint64_t serial, std::string_view chunk, const int* ids,
                        size_t count) {
  if (chunk.empty() || chunk.size() > kMaxChunkBytes || count > kMaxIds) {
    return;
  }
  const Key key = MakeKey(serial, chunk);
  Slot& slot = SlotOf(key);
  slot.key = key;
  slot.count = static_cast<int32_t>(count);
  std::memcpy(slot.ids, ids, count * sizeof(int));
}

}  // namespace korvel::lite
