#include "korvel_lite/internal/chunk_cache.h"

#include <cstring>
#include <memory>
#include <new>

#include "korvel_lite/thread_state.h"

namespace korvel::lite {

namespace {
struct ChunkCacheTag {};
}  // namespace

ChunkCache* ChunkCache::ForThisThread() {
  ChunkCache* cache = ThreadState<ChunkCache, ChunkCacheTag>();
  // A failed allocation is tried again on the next call rather than leaving
  // the thread without a cache for good.
  if (cache == nullptr || (cache->sets_ == nullptr && !cache->Allocate())) {
    return nullptr;
  }
  return cache;
}

bool ChunkCache::Allocate() {
  // A plain new[] rather than the nothrow form, so that a replaced global
  // operator new and delete see both halves of the pair.
  try {
    memory_.reset(new char[kBytes]());
  } catch (const std::bad_alloc&) {
    return false;
  }
  void* start = memory_.get();
  size_t space = kBytes;
  sets_ = static_cast<Set*>(
      std::align(alignof(Set), sizeof(Set) * kSets, start, space));
  return true;
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
