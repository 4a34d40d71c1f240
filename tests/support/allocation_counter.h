#ifndef KORVEL_TESTS_SUPPORT_ALLOCATION_COUNTER_H_
#define KORVEL_TESTS_SUPPORT_ALLOCATION_COUNTER_H_

// Replaces the global operator new and delete with versions that count heap
// allocations and the bytes they ask for. Include it in exactly one source
// file of a program; read the figures with AllocationCount() and
// AllocatedBytes(). A request above AllocationLimit() throws std::bad_alloc,
// as it would on a machine out of memory.

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace korvel::lite::testing {

inline std::atomic<size_t>& AllocationCounter() {
  static std::atomic<size_t> counter{0};
  return counter;
}

inline std::atomic<size_t>& AllocatedBytesCounter() {
  static std::atomic<size_t> counter{0};
  return counter;
}

inline std::atomic<size_t>& AllocationLimit() {
  static std::atomic<size_t> limit{~size_t{0}};
  return limit;
}

inline size_t AllocationCount() {
  return AllocationCounter().load(std::memory_order_relaxed);
}

inline size_t AllocatedBytes() {
  return AllocatedBytesCounter().load(std::memory_order_relaxed);
}

}  // namespace korvel::lite::testing

// GCC sees the inlined free() below meet the malloc() of the replaced
// operator new and reports a mismatch that does not exist.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(size_t size) {
  korvel::lite::testing::AllocationCounter().fetch_add(
      1, std::memory_order_relaxed);
  korvel::lite::testing::AllocatedBytesCounter().fetch_add(
      size, std::memory_order_relaxed);
  if (size <= korvel::lite::testing::AllocationLimit().load(
                  std::memory_order_relaxed)) {
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  }
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
// The nothrow forms too, so that every allocation (std::stable_sort's buffer,
// for one) meets the same free() under the sanitizers.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

#endif  // KORVEL_TESTS_SUPPORT_ALLOCATION_COUNTER_H_
