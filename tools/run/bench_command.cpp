// korvanrt-run bench: latency and throughput of repeated inferences from one
// or several caller threads, synchronous or asynchronous, with copied or
// pooled I/O tensors.

#include <fmt/core.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <fstream>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "commands.hpp"
#include "run_report.hpp"
#include "session_options.hpp"

#ifndef KORVANRT_RUN_VERSION
#define KORVANRT_RUN_VERSION "unknown"
#endif

namespace korvan::run {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double microsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

// Shared state of the measured phase.
class Measurement {
 public:
  Measurement(std::uint64_t iterations, double durationS, const std::string& timesFile)
      : target_(iterations), start_(Clock::now()) {
    deadline_ = durationS > 0 ? start_ + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(durationS))
                              : Clock::time_point::max();
    if (!timesFile.empty()) {
      times_.open(timesFile, std::ios::trunc);
      if (!times_) throw std::runtime_error("cannot write " + timesFile);
    }
  }

  // Takes the next iteration, if the run has not ended.
  bool claim() {
    if (stop_.load() || Clock::now() >= deadline_) return false;
    return claimed_.fetch_add(1) < target_;
  }

  void record(unsigned thread, Clock::time_point begin, Clock::time_point end) {
    const double latency = microsBetween(begin, end);
    std::lock_guard lock(mutex_);
    latencies_.push_back(latency);
    if (times_.is_open()) {
      times_
          << fmt::format(
                 R"({{"iteration": {}, "thread": {}, "start_us": {:.3f}, "latency_us": {:.3f}}})",
                 latencies_.size() - 1, thread, microsBetween(start_, begin), latency)
          << '\n'
          << std::flush;
    }
    done_.store(latencies_.size());
  }

  void fail(std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = error;
    stop_.store(true);
  }

  void rethrow() {
    if (error_) std::rethrow_exception(error_);
  }
  std::uint64_t done() const { return done_.load(); }
  Clock::time_point start() const { return start_; }
  std::vector<double> latencies() {
    std::lock_guard lock(mutex_);
    return latencies_;
  }

 private:
  std::uint64_t target_;
  Clock::time_point start_, deadline_;
  std::atomic<std::uint64_t> claimed_{0}, done_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<double> latencies_;
  std::ofstream times_;
  std::exception_ptr error_;
};

struct WorkerContext {
  korvanrt::client::ImplBase& session;
  const PartitionInfo& partition;
  const ModelInputs& inputs;
  bool pool;
  bool async;
  bool profile;
};

void syncWorker(const WorkerContext& c, Measurement& m, unsigned thread) {
  Binding binding(c.session, c.partition, c.inputs.tensors, c.inputs.batches, c.pool);
  while (m.claim()) {
    const auto begin = Clock::now();
    binding.acquire();
    if (c.profile) c.session.timestampStart("KorvanRT Total");
    binding.forward();
    if (c.profile) c.session.timestampEnd("KorvanRT Total");
    binding.release();
    m.record(thread, begin, Clock::now());
  }
}

// Keeps up to two inferences in flight: one with pooled buffers (a thread
// holding a pool set while waiting for another could starve the pool) and one
// while profiling (a runner's profiling record serves one inference at a
// time).
void asyncWorker(const WorkerContext& c, Measurement& m, unsigned thread) {
  struct Slot {
    std::unique_ptr<Binding> binding;
    std::future<void> future;
    Clock::time_point begin;
  };
  const std::size_t depth = c.pool || c.profile ? 1 : 2;
  std::vector<Slot> slots(depth);
  for (auto& slot : slots)
    slot.binding = std::make_unique<Binding>(c.session, c.partition, c.inputs.tensors,
                                             c.inputs.batches, c.pool);
  auto launch = [&](Slot& slot) {
    slot.begin = Clock::now();
    slot.binding->acquire();
    if (c.profile) c.session.timestampStart("KorvanRT Total");
    slot.future = slot.binding->forwardAsync();
  };
  try {
    if (m.claim()) launch(slots[0]);
    for (std::size_t i = 0;; ++i) {
      Slot& current = slots[i % depth];
      if (!current.future.valid()) break;
      if (depth > 1 && m.claim()) launch(slots[(i + 1) % depth]);
      current.future.get();
      if (c.profile) c.session.timestampEnd("KorvanRT Total");
      current.binding->release();
      m.record(thread, current.begin, Clock::now());
      if (depth == 1 && m.claim()) launch(current);
    }
  } catch (...) {
    for (auto& slot : slots)
      if (slot.future.valid()) slot.future.wait();
    throw;
  }
}

void printStats(const LatencyStats& s, double throughput) {
  fmt::print(
      "latency us  min {:.1f}  mean {:.1f}  median {:.1f}  p90 {:.1f}  p99 {:.1f}  "
      "p99.9 {:.1f}  max {:.1f}\n",
      s.min, s.mean, s.median, s.p90, s.p99, s.p999, s.max);
  fmt::print("throughput  {:.1f} inferences/s over {} inferences\n", throughput, s.count);
}

}  // namespace

int benchCommand(const BenchCommandSettings& s) {
  if (s.threads < 1 || s.threads > 256) throw std::invalid_argument("--threads must be 1 to 256");
  if (s.duration < 0) throw std::invalid_argument("--duration must not be negative");
  if (!s.common.profileDir.empty() && s.threads > 1)
    throw std::invalid_argument(
        "--profile takes one caller thread: the runtime keeps one profiling record per runner, "
        "which concurrent inferences would share");
  const PackageInfo info = readPackage(s.common.package, s.common.model);
  const PartitionInfo& partition = info.partitions.at(0);
  const auto references = findReferenceSet(info, s.common.referenceDir);
  const ModelInputs inputs = gatherInputs(info, s.common, references, true);
  const std::uint64_t iterations = s.duration > 0 && !s.iterationsGiven
                                       ? std::numeric_limits<std::uint64_t>::max()
                                       : s.iterations;
  const bool pool = s.common.io == "pool";

  BenchReport report;
  report.toolVersion = KORVANRT_RUN_VERSION;
  report.runtimeLibrary = runtimeLibraryPath();
  report.packagePath = fs::absolute(info.path).string();
  report.packageForm = info.form == PackageForm::directory ? "directory" : "memory";
  report.model = info.modelName;
  report.settings = {s.warmup,
                     s.iterations,
                     s.duration,
                     s.threads,
                     s.async,
                     s.common.io,
                     !s.common.profileDir.empty()};
  if (inputs.usedRandom) report.seed = inputs.seed;

  fmt::print("model       {} ({})\n", info.modelName, report.packageForm);
  fmt::print("inputs      {}{}\n", inputs.usedRandom ? "random" : "from files",
             inputs.usedRandom ? fmt::format(" (seed {})", *inputs.seed) : "");
  fmt::print("settings    {} thread(s), {}, {} I/O, warmup {}, {}{}\n", s.threads,
             s.async ? "async" : "sync", s.common.io, s.warmup,
             iterations == std::numeric_limits<std::uint64_t>::max()
                 ? std::string("no iteration limit")
                 : fmt::format("{} iterations", iterations),
             s.duration > 0 ? fmt::format(", at most {} s", s.duration) : "");

  ProfileScope profile(s.common.profileDir);
  const auto options = sessionOptions(info, s.common, profile);
  report.options = optionsAsText(parseOptions(s.common.options));
  const bool tty = ::isatty(STDERR_FILENO) != 0;
  std::vector<double> latencies;
  double wallS = 0;
  {
    profile.enter();
    const auto loadStart = Clock::now();
    Session session(info.form == PackageForm::directory ? fs::absolute(info.path).string() : "",
                    info.form == PackageForm::memory ? info.modelName : "", s.common.device,
                    options);
    report.loadMs = microsBetween(loadStart, Clock::now()) / 1000.0;
    report.apiVersion = session.apiVersion();
    fmt::print("load        {:.1f} ms\n", report.loadMs);

    const WorkerContext context{*session, partition, inputs, pool, s.async, profile.active()};
    {
      Binding binding(*session, partition, inputs.tensors, inputs.batches, pool);
      const auto begin = Clock::now();
      binding.acquire();
      binding.forward();
      binding.release();
      report.firstInferenceUs = microsBetween(begin, Clock::now());
      fmt::print("first       {:.1f} us\n", report.firstInferenceUs);
      for (std::uint64_t i = 0; i < s.warmup; ++i) {
        binding.acquire();
        binding.forward();
        binding.release();
      }
    }

    Measurement measurement(iterations, s.duration, s.times);
    std::vector<std::thread> workers;
    std::atomic<unsigned> running{s.threads};
    for (unsigned t = 0; t < s.threads; ++t)
      workers.emplace_back([&, t] {
        try {
          if (s.async)
            asyncWorker(context, measurement, t);
          else
            syncWorker(context, measurement, t);
        } catch (...) {
          measurement.fail(std::current_exception());
        }
        --running;
      });
    bool progressShown = false;
    while (running.load() > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const double elapsed = microsBetween(measurement.start(), Clock::now()) / 1e6;
      if (tty && elapsed > 1.0) {
        const auto done = measurement.done();
        fmt::print(stderr, "\r  {} inferences, {:.1f} s, {:.0f}/s   ", done, elapsed,
                   static_cast<double>(done) / elapsed);
        std::fflush(stderr);
        progressShown = true;
      }
    }
    for (auto& w : workers) w.join();
    if (progressShown) fmt::print(stderr, "\r{:<60}\r", "");
    wallS = microsBetween(measurement.start(), Clock::now()) / 1e6;
    measurement.rethrow();
    latencies = measurement.latencies();
  }
  profile.leave();

  report.wallS = wallS;
  report.latency = summarize(latencies);
  report.throughput = wallS > 0 ? static_cast<double>(latencies.size()) / wallS : 0;
  report.peakRssKiB = peakRssKiB();
  printStats(report.latency, report.throughput);
  fmt::print("peak RSS    {:.1f} MiB\n", static_cast<double>(report.peakRssKiB) / 1024.0);
  if (profile.active()) report.stages = stageTimes(exportProfile(profile));
  if (!s.times.empty()) fmt::print("times       {}\n", s.times);
  if (!s.report.empty()) {
    std::ofstream out(s.report, std::ios::trunc);
    out << reportJson(report).dump(2) << "\n";
    if (!out) throw std::runtime_error("cannot write " + s.report);
    fmt::print("report      {}\n", s.report);
  }
  return kExitPass;
}

}  // namespace korvan::run
