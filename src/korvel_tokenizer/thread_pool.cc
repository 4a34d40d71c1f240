#include "korvel_tokenizer/thread_pool.h"

#include <utility>

namespace korvel::tokenizer {

ThreadPool::ThreadPool(int num_threads) {
  threads_.reserve(static_cast<size_t>(num_threads));
  for (int i = 0; i < num_threads; ++i)
    threads_.emplace_back([this] { Work(); });
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void ThreadPool::Schedule(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(work));
  }
  wake_.notify_one();
}

void ThreadPool::Work() {
  while (true) {
    std::function<void()> work;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    work();
  }
}

void CountDown::Done() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--count_ == 0) zero_.notify_all();
}

void CountDown::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  zero_.wait(lock, [this] { return count_ == 0; });
}

}  // namespace korvel::tokenizer
