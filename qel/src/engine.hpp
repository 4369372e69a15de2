#pragma once

// The worker threads of one device: jobs run in submission order on the
// first free engine.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qel::detail {

class engine {
 public:
  explicit engine(unsigned int count);
  ~engine();
  engine(const engine&) = delete;
  engine& operator=(const engine&) = delete;

  void submit(std::function<void()> job);
  // Starts more workers when fewer than `count` run; never stops any.
  void ensure(unsigned int count);
  // Set when the device closes; long device sleeps watch it.
  const std::atomic<bool>& closing() const;

  struct shared;  // kept alive by the workers too, see ~engine

 private:
  std::shared_ptr<shared> shared_;
  std::mutex workers_m_;
  std::vector<std::thread> workers_;
};

}  // namespace qel::detail
