#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace korvanrt {

// A blocking queue of free buffer-set indices. The destructor shuts it:
// blocked waiters return without a value and later pushes are dropped.
template <typename T>
class ThreadsafeQueue {
 public:
  ThreadsafeQueue() = default;
  ThreadsafeQueue(const ThreadsafeQueue&) = delete;
  ThreadsafeQueue& operator=(const ThreadsafeQueue&) = delete;

  ~ThreadsafeQueue() {
    {
      std::lock_guard lock(mutex_);
      shutdown_ = true;
    }
    cond_.notify_all();
  }

  void push(T value) {
    {
      std::lock_guard lock(mutex_);
      if (shutdown_) return;
      queue_.push_back(std::move(value));
    }
    cond_.notify_one();
  }

  // Takes the front value into `out`; after shutdown returns without
  // writing `out`.
  void waitAndPop(T& out) {
    std::unique_lock lock(mutex_);
    cond_.wait(lock, [this] { return shutdown_ || !queue_.empty(); });
    if (shutdown_) return;
    out = std::move(queue_.front());
    queue_.pop_front();
  }

 private:
  std::mutex mutex_;
  std::deque<T> queue_;
  std::condition_variable cond_;
  bool shutdown_ = false;
};

}  // namespace korvanrt
