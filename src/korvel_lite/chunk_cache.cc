#include "korvel_lite/chunk_cache.h"

#include <cstring>
#include <memory>
#include <new>

namespace korvel::lite {

ChunkCache* ChunkCache::ForThisThread() {
  // A failed allocation is tried again on the next call rather than leaving
  // the thread without a cache for good.
  thread_local ChunkCache cache;
  if (cache.sets_ == nullptr) {
    cache.memory_.reset(new (std::nothrow) char[kBytes]());
    if (cache.memory_ == nullptr) return nullptr;
    void* start = cache.memory_.get();
    size_t space = kBytes;
    cache.sets_ = static_cast<Set*>(
        std::align(alignof(Set), sizeof(Set) * kSets, start, space));
  }
  return &cache;
}

void ChunkCache::Insert(const Probe& probe, const int* ids, size_t count) {
  if (probe.set_ == nullptr || count > kMaxIds) return;
  Set& set = *probe.set_;
  set.older = set.recent;
  set.recent.key = probe.key_;
  set.recent.count = static_cast<int32_t>(count);
  std::memcpy(set.recent.ids, ids, count * sizeof(int));
}

}  // namespace korvel::lite
