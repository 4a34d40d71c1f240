#include "korvel_lite/chunk_cache.h"

#include <cstring>
#include <memory>
#include <new>

namespace korvel::lite {

ChunkCache* ChunkCache::ForThisThread() {
  // A failed allocation is tried again on the next call rather than leaving
  // the thread without a cache for good.
  thread_local std::unique_ptr<ChunkCache> cache;
  if (cache == nullptr) cache.reset(new (std::nothrow) ChunkCache());
  return cache.get();
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
