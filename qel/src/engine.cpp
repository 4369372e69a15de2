#include "engine.hpp"

#include "emulator_state.hpp"

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace qel::detail {

struct engine::shared {
  std::mutex m;
  std::condition_variable cv;
  std::deque<std::function<void()>> jobs;
  bool stop = false;
  std::atomic<bool> closing{false};
};

namespace {
void work(std::shared_ptr<engine::shared> s) {
#if defined(__linux__)
  // Simulated device time ends at a deadline; the default timer slack
  // (50 us) would add itself to every run.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  std::unique_lock lock(s->m);
  for (;;) {
    s->cv.wait(lock, [&] { return s->stop || !s->jobs.empty(); });
    if (s->jobs.empty()) return;
    auto job = std::move(s->jobs.front());
    s->jobs.pop_front();
    lock.unlock();
    job();
    // The job may hold the last reference to this engine's device; dropping
    // it here may run ~engine on this very thread.
    job = nullptr;
    lock.lock();
  }
}
}  // namespace

engine::engine(unsigned int count) : shared_(std::make_shared<shared>()) {
  ensure(count);
}

void engine::ensure(unsigned int count) {
  std::lock_guard lock(workers_m_);
  while (workers_.size() < count) workers_.emplace_back(work, shared_);
}

engine::~engine() {
  {
    std::lock_guard lock(shared_->m);
    shared_->stop = true;
    shared_->closing = true;
  }
  shared_->cv.notify_all();
  emulator_state::get().wake_sleepers();
  std::lock_guard lock(workers_m_);
  for (auto& t : workers_) {
    if (t.get_id() == std::this_thread::get_id())
      t.detach();  // this worker ends by itself; it holds its own reference to `shared_`
    else
      t.join();
  }
}

void engine::submit(std::function<void()> job) {
  {
    std::lock_guard lock(shared_->m);
    shared_->jobs.push_back(std::move(job));
  }
  shared_->cv.notify_one();
}

const std::atomic<bool>& engine::closing() const {
  return shared_->closing;
}

}  // namespace qel::detail
