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
  // Set when the device closes; long device sleeps watch it.
  const std::atomic<bool>& closing() const;

  struct shared;  // kept alive by the workers too, see ~engine

 private:
  std::shared_ptr<shared> shared_;
  std::vector<std::thread> workers_;
};

}  // namespace qel::detail
