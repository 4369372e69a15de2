// Runs and run lists.

#include <cstring>

#include "run_impl.hpp"

namespace qel {

namespace {

detail::run_impl& checked(const std::shared_ptr<detail::run_impl>& impl, const char* op) {
  if (!impl) throw error(std::string("qel: ") + op + " on an empty run handle");
  return *impl;
}

detail::runlist_impl& checked(const std::shared_ptr<detail::runlist_impl>& impl, const char* op) {
  if (!impl) throw error(std::string("qel: ") + op + " on an empty run list handle");
  return *impl;
}

detail::kernel_arg& arg_slot(detail::run_impl& r, int index) {
  if (index < 0 || index >= detail::max_kernel_args)
    throw error("qel: kernel \"" + r.kern->name + "\" has no argument " + std::to_string(index));
  if (r.args.size() <= static_cast<std::size_t>(index)) r.args.resize(index + 1);
  return r.args[index];
}

template <typename Pred>
bool wait_for(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
              std::chrono::milliseconds timeout, Pred done) {
  if (timeout.count() <= 0) {
    cv.wait(lock, done);
    return true;
  }
  return cv.wait_for(lock, timeout, done);
}

std::string describe(command_state s) {
  return to_string(s) + " (" + std::to_string(static_cast<int>(s)) + ")";
}

}  // namespace

run::run(const kernel& k) {
  auto impl = k.get_handle();
  if (!impl) throw error("qel: run of an empty kernel handle");
  impl_ = std::make_shared<detail::run_impl>();
  impl_->kern = std::move(impl);
}

void run::set_arg_at_index(int index, const qel::bo& buffer) {
  auto& r = checked(impl_, "set_arg_at_index");
  auto b = buffer.get_handle();
  if (!b) throw error("qel: argument " + std::to_string(index) + " set to an empty buffer handle");
  std::lock_guard lock(r.m);
  auto& a = arg_slot(r, index);
  a.what = detail::kernel_arg::kind::buffer;
  a.bytes.clear();
  a.buffer = std::move(b);
}

void run::set_arg_at_index(int index, const void* value, std::size_t bytes) {
  auto& r = checked(impl_, "set_arg_at_index");
  if (bytes == 0 || bytes > 4096)
    throw error("qel: argument " + std::to_string(index) + " of " + std::to_string(bytes) +
                " bytes (1 to 4096 allowed)");
  if (value == nullptr)
    throw error("qel: argument " + std::to_string(index) + " from a null pointer");
  std::lock_guard lock(r.m);
  auto& a = arg_slot(r, index);
  a.what = detail::kernel_arg::kind::bytes;
  a.buffer.reset();
  a.bytes.resize(bytes);
  std::memcpy(a.bytes.data(), value, bytes);
}

void run::start() {
  checked(impl_, "start");
  auto s = detail::prepare_submission(impl_);
  s.plan = detail::emulator_state::get().next_run();
  auto dev = impl_->kern->ctx->dev;
  dev->workers.ensure(detail::emulator_state::get().engines());
  const auto* closing = &dev->workers.closing();
  dev->workers.submit(
      [s = std::move(s), closing]() mutable { detail::execute_submission(s, *closing); });
}

command_state run::wait(std::chrono::milliseconds timeout) const {
  auto& r = checked(impl_, "wait");
  std::unique_lock lock(r.m);
  if (r.state == command_state::new_command) throw error("qel: wait on a run that was not started");
  wait_for(lock, r.cv, timeout, [&] { return is_final(r.state); });
  return r.state;
}

std::cv_status run::wait2(std::chrono::milliseconds timeout) const {
  auto& r = checked(impl_, "wait2");
  std::unique_lock lock(r.m);
  if (r.state == command_state::new_command) throw error("qel: wait on a run that was not started");
  if (!wait_for(lock, r.cv, timeout, [&] { return is_final(r.state); }))
    return std::cv_status::timeout;
  if (r.state != command_state::completed)
    throw error("qel: run of kernel \"" + r.kern->name + "\" ended in state " + describe(r.state) +
                ": " + r.error_text);
  return std::cv_status::no_timeout;
}

command_state run::state() const {
  auto& r = checked(impl_, "state");
  std::lock_guard lock(r.m);
  return r.state;
}

std::string run::error_text() const {
  auto& r = checked(impl_, "error_text");
  std::lock_guard lock(r.m);
  return r.error_text;
}

runlist::command_error::command_error(const qel::run& failed, command_state state,
                                      const std::string& what)
    : error(what), run_(failed), state_(state) {}

runlist::runlist(const hw_context& ctx) {
  auto c = ctx.get_handle();
  if (!c) throw error("qel: run list on an empty hardware context handle");
  impl_ = std::make_shared<detail::runlist_impl>();
  impl_->ctx = std::move(c);
}

void runlist::add(const qel::run& r) {
  auto& l = checked(impl_, "add");
  auto ri = r.get_handle();
  if (!ri) throw error("qel: add of an empty run handle");
  if (ri->kern->ctx != l.ctx)
    throw error("qel: run of kernel \"" + ri->kern->name +
                "\" belongs to another hardware context than the run list");
  std::lock_guard lock(l.m);
  if (l.state == command_state::queued || l.state == command_state::running)
    throw error("qel: add to a run list that is executing");
  for (const auto& existing : l.runs)
    if (existing == ri) throw error("qel: run added twice to one run list");
  l.runs.push_back(std::move(ri));
}

void runlist::execute() {
  auto& l = checked(impl_, "execute");
  std::unique_lock lock(l.m);
  if (l.state == command_state::queued || l.state == command_state::running)
    throw error("qel: run list is already executing");
  std::vector<detail::submission> subs;
  subs.reserve(l.runs.size());
  try {
    for (const auto& r : l.runs) subs.push_back(detail::prepare_submission(r));
  } catch (...) {
    for (auto& s : subs) detail::cancel_submission(s);
    throw;
  }
  l.failure_text.clear();
  if (subs.empty()) {
    l.state = command_state::completed;
    lock.unlock();
    l.cv.notify_all();
    return;
  }
  auto& state = detail::emulator_state::get();
  for (auto& s : subs) s.plan = state.next_run();
  l.state = command_state::queued;
  lock.unlock();

  auto dev = l.ctx->dev;
  dev->workers.ensure(state.engines());
  const auto* closing = &dev->workers.closing();
  dev->workers.submit([list = impl_, subs = std::move(subs), closing]() mutable {
    {
      std::lock_guard lk(list->m);
      list->state = command_state::running;
    }
    detail::execution_result result;
    std::size_t i = 0;
    for (; i < subs.size(); ++i) {
      result = detail::execute_submission(subs[i], *closing);
      if (result.state != command_state::completed) break;
    }
    if (i < subs.size()) {
      for (std::size_t j = i + 1; j < subs.size(); ++j) detail::cancel_submission(subs[j]);
    }
    {
      std::lock_guard lk(list->m);
      list->state = result.state;
      list->failed_index = i;
      list->failure_text = std::move(result.text);
    }
    list->cv.notify_all();
  });
}

std::cv_status runlist::wait(std::chrono::milliseconds timeout) const {
  auto& l = checked(impl_, "wait");
  std::unique_lock lock(l.m);
  if (l.state == command_state::new_command)
    throw error("qel: wait on a run list that was not executed");
  if (!wait_for(lock, l.cv, timeout, [&] { return is_final(l.state); }))
    return std::cv_status::timeout;
  if (l.state != command_state::completed) {
    const auto& r = l.runs[l.failed_index];
    auto msg = "qel: run " + std::to_string(l.failed_index) + " of the run list (kernel \"" +
               r->kern->name + "\") ended in state " + describe(l.state) + ": " + l.failure_text;
    throw command_error(qel::run(r), l.state, msg);
  }
  return std::cv_status::no_timeout;
}

command_state runlist::state() const {
  auto& l = checked(impl_, "state");
  std::lock_guard lock(l.m);
  return l.state;
}

std::size_t runlist::size() const {
  auto& l = checked(impl_, "size");
  std::lock_guard lock(l.m);
  return l.runs.size();
}

}  // namespace qel
