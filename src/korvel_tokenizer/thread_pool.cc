#include "korvel_tokenizer/thread_pool.h"

#include <utility>

namespace korvel::tokenizer {

ThreadPool::ThreadPool(int num_threads) {
  threads_.reserve(static_cast<size_t>(num_threads));
  for (int i = 0; i < num_threads; ++i) threads_.emplace_back([this] { Work(); });
}

ThreadPool::~ThreadPool() {
  {
    absl::MutexLock lock(&mutex_);
    stopping_ = true;
  }
  for (std::thread& thread : threads_) thread.join();
}

void ThreadPool::Schedule(std::function<void()> work) {
  absl::MutexLock lock(&mutex_);
  queue_.push_back(std::move(work));
}

void ThreadPool::Work() {
  while (true) {
    std::function<void()> work;
    {
      absl::MutexLock lock(&mutex_);
      mutex_.Await(absl::Condition(
          +[](ThreadPool* pool) ABSL_EXCLUSIVE_LOCKS_REQUIRED(pool->mutex_) {
            return pool->stopping_ || !pool->queue_.empty();
          },
          this));
      if (queue_.empty()) return;
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    work();
  }
}

}  // namespace korvel::tokenizer
