#pragma once

#include <deque>
#include <functional>
#include <utility>

namespace korvanrt {

// First-in first-out list of deferred element-moving steps. A conversion plans
// (route, shapes, scratch tensors) and queues its steps, then runs them.
class StepQueue {
 public:
  void push(std::function<void()> step) { steps_.push_back(std::move(step)); }

  // Runs the steps in order, dropping each one after it has run.
  void run() {
    while (!steps_.empty()) {
      auto step = std::move(steps_.front());
      steps_.pop_front();
      step();
    }
  }

  bool empty() const { return steps_.empty(); }

 private:
  std::deque<std::function<void()>> steps_;
};

}  // namespace korvanrt
