// Execution of the runs: run lists, chunked run lists, waits and the
// reporting of device failures.

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "txn/pellix_qel.hpp"

namespace korvanrt {

namespace {

// ENABLE_ML_DEBUG as an integer; 0 when unset. A value that is not a number
// throws std::invalid_argument.
int debugLevel() {
  const char* v = std::getenv("ENABLE_ML_DEBUG");
  return v ? std::stoi(v) : 0;
}

const char* stateName(qel::command_state s) {
  switch (static_cast<int>(s)) {
    case 5:
      return "ERT_CMD_STATE_ERROR";
    case 6:
      return "ERT_CMD_STATE_ABORT";
    case 8:
      return "ERT_CMD_STATE_TIMEOUT";
    case 9:
      return "ERT_CMD_STATE_NORESPONSE";
    default:
      return "UNKNOWN ERROR!";
  }
}

std::string stateNumber(qel::command_state s) {
  return std::to_string(static_cast<int>(s));
}

}  // namespace

std::chrono::milliseconds pellix_qel::waitLimit() const {
  return qemu_test_ ? std::chrono::milliseconds{0} : wait_limit_;
}

void pellix_qel::add_run(const int32_t& b) {
  checkBufferSet(b);
  if (num_subgraphs_ > 1 || (num_subgraphs_ == 1 && !preemption_)) {
    for (int32_t s = 0; s < num_subgraphs_; ++s)
      runlists_[b].add(runs_[static_cast<size_t>(b) * num_subgraphs_ + s]);
  }
}

void pellix_qel::run_graph(const int32_t& b) {
  const int level = debugLevel();
  checkBufferSet(b);

  if (num_subgraphs_ > 1 || !preemption_) {
    auto& list = runlists_[b];
    try {
      list.execute();
      if (list.wait(waitLimit()) == std::cv_status::timeout) {
        if (level > 0) {
          wait_ml_debug(level);
          return;
        }
        throw std::runtime_error("runlist [buf_index=" + std::to_string(b) +
                                 "] timed out! Command State=" + stateNumber(list.state()));
      }
      return;
    } catch (const qel::runlist::command_error& e) {
      if (level > 0) {
        wait_ml_debug(level);
        return;
      }
      for (size_t i = 0; i < runs_.size(); ++i) {
        if (runs_[i] == e.get_run())
          throw std::runtime_error(std::string(e.what()) + ": runlist index " + std::to_string(i) +
                                   " failed! Error State=" + stateName(e.get_command_state()));
      }
      throw std::runtime_error(std::string(e.what()) + ": no run matched command_error!");
    } catch (const std::exception& e) {
      throw std::runtime_error(e.what());
    }
  }

  auto& run = runs_[b];
  try {
    run.start();
    if (run.wait2(waitLimit()) == std::cv_status::timeout) {
      if (level > 0) {
        try {
          wait_ml_debug(level);
        } catch (const std::exception&) {
          wait_ml_debug(level);
        }
        return;
      }
      throw std::runtime_error("runlist [buf_index=" + std::to_string(b) +
                               "] timed out! Command State=" + stateNumber(run.state()));
    }
  } catch (const std::exception& e) {
    if (level > 0) {
      wait_ml_debug(level);
      return;
    }
    throw std::runtime_error(std::string(e.what()) + ": QEL run index " + std::to_string(b) +
                             " failed! Error State=" + stateName(run.state()));
  }
}

void pellix_qel::run_graph_pipe(const int32_t& b, int32_t p) {
  const int level = debugLevel();
  checkBufferSet(b);
  auto& pipes = pipe_runlists_[b];
  if (p < 0 || static_cast<size_t>(p) >= pipes.size())
    throw std::out_of_range("Pipe index " + std::to_string(p) + " is out of range (" +
                            std::to_string(pipes.size()) + " pipes for buffer set " +
                            std::to_string(b) + ")");
  auto& list = pipes[p];
  try {
    list.execute();
    if (list.wait(waitLimit()) == std::cv_status::timeout) {
      if (level > 0) {
        wait_ml_debug(level);
        return;
      }
      throw std::runtime_error("runlist [buf_index=" + std::to_string(b) +
                               "][pipe_index=" + std::to_string(p) +
                               "] timed out! Command State=" + stateNumber(list.state()));
    }
  } catch (const qel::runlist::command_error& e) {
    if (level != 0) {
      wait_ml_debug(level);
      return;
    }
    for (size_t i = 0; i < runs_.size(); ++i) {
      if (runs_[i] == e.get_run())
        throw std::runtime_error(std::string(e.what()) + ": runlist index " + std::to_string(i) +
                                 " failed! Error State=" + stateName(e.get_command_state()));
    }
    throw std::runtime_error(std::string(e.what()) + ": no run matched command_error!");
  } catch (const std::exception& e) {
    throw std::runtime_error(e.what());
  }
}

}  // namespace korvanrt
