#ifndef KORVEL_TOKENIZER_THREAD_POOL_H_
#define KORVEL_TOKENIZER_THREAD_POOL_H_

#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "absl/synchronization/mutex.h"

namespace korvel::tokenizer {

// A fixed set of threads running scheduled work in the order it came.
// Schedule may be called from any thread; the destructor finishes the work
// already scheduled and joins the threads.
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

  absl::Mutex mutex_;
  std::deque<std::function<void()>> queue_ ABSL_GUARDED_BY(mutex_);
  bool stopping_ ABSL_GUARDED_BY(mutex_) = false;
  std::vector<std::thread> threads_;
};

}  // namespace korvel::tokenizer

#endif  // KORVEL_TOKENIZER_THREAD_POOL_H_
