#ifndef KORVEL_TOKENIZER_THREAD_POOL_H_
#define KORVEL_TOKENIZER_THREAD_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace korvel::tokenizer {

// A fixed set of threads running scheduled work in the order it came.
// Schedule may be called from any thread; the destructor finishes the work
// already scheduled and joins the threads.
//
// Built on the standard library's primitives, which ThreadSanitizer sees
// through its interceptors even when abseil is not instrumented.
class ThreadPool {
 public:
  explicit ThreadPool(int num_threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int size() const { return static_cast<int>(threads_.size()); }
  void Schedule(std::function<void()> work);

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;  // guarded by mutex_
  bool stopping_ = false;                    // guarded by mutex_
  std::vector<std::thread> threads_;
};

// Waits until a count of tasks have called Done.
class CountDown {
 public:
  explicit CountDown(size_t count) : count_(count) {}
  void Done();
  void Wait();

 private:
  std::mutex mutex_;
  std::condition_variable zero_;
  size_t count_;  // guarded by mutex_
};

}  // namespace korvel::tokenizer

#endif  // KORVEL_TOKENIZER_THREAD_POOL_H_
