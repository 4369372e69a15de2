#include <rapidjson/document.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <iostream>
#include <thread>

#include "device/qel_context.hpp"
#include "hw_runner/hw_error.hpp"
#include "hw_runner/hw_runner_impl.hpp"
#include "profiling/graphs.hpp"
#include "txn/pellix_qel.hpp"

namespace korvanrt {

// Local buffer lists of one tensor-view inference, shared by its chunk
// threads.
struct ViewInference {
  std::vector<qel::bo> spills;
  std::vector<qel::bo> inputBos, outputBos;
  std::vector<std::vector<qel::bo>> inputSubs, outputSubs;
  std::vector<qel::bo> weights;
  std::vector<qel::bo> weightSubs;
  bool rebind = false;
  // Chunk threads plan and bind one at a time.
  std::mutex bindMutex;
  // Chunk c plans its weights after chunk c - 1 has.
  std::vector<std::promise<void>> planned;
  std::vector<std::shared_future<void>> plannedFutures;
  std::vector<std::thread> threads;
};

namespace {

// Gives a taken buffer set back to its queue however the inference ends.
class SetReturn {
 public:
  SetReturn(ThreadsafeQueue<int32_t>& queue, int32_t set) : queue_(queue), set_(set) {}
  ~SetReturn() { queue_.push(set_); }
  SetReturn(const SetReturn&) = delete;
  SetReturn& operator=(const SetReturn&) = delete;

 private:
  ThreadsafeQueue<int32_t>& queue_;
  int32_t set_;
};

const char* firstName(const rapidjson::Value& entry, const char* key) {
  if (!entry.IsObject()) return nullptr;
  const auto found = entry.FindMember(key);
  if (found == entry.MemberEnd() || !found->value.IsArray() || found->value.Empty() ||
      !found->value[0].IsString())
    return nullptr;
  return found->value[0].GetString();
}

}  // namespace

qel::bo KorvanHWRunnerImpl::resolveBuffer(const std::string& name, size_t set,
                                          std::vector<std::vector<qel::bo>>& inputSubs,
                                          std::vector<std::vector<qel::bo>>& outputSubs,
                                          std::vector<qel::bo>& spills,
                                          std::vector<qel::bo>& weightSubs) const {
  long index = 0;
  if (const size_t at = name.find("ddr_"); at != std::string::npos)
    index = std::stol(name.substr(at + 4));
  auto pick = [&](const std::vector<qel::bo>& list, const char* message) {
    if (index < 0 || static_cast<size_t>(index) >= list.size()) HW_THROW(message);
    return list[static_cast<size_t>(index)];
  };
  auto of = [&](std::vector<std::vector<qel::bo>>& lists) -> const std::vector<qel::bo>& {
    static const std::vector<qel::bo> none;
    return set < lists.size() ? lists[set] : none;
  };
  if (name.find("ifm_ddr") != std::string::npos)
    return pick(of(inputSubs),
                "ERROR!  Connectivity Input Buffer Index above number of input buffers!");
  if (name.find("spill_ddr") != std::string::npos)
    return pick(spills, "ERROR!  Connectivity Spill Buffer Index above number of spill buffers!");
  if (name.find("wts_ext_ddr") != std::string::npos)
    return pick(weightSubs,
                "ERROR!  Connectivity Weight Buffer Index above number of weight buffers!");
  if (name.find("ofm_ddr") != std::string::npos)
    return pick(of(outputSubs),
                "ERROR!  Connectivity Output Buffer Index above number of output buffers!");
  HW_THROW("ERROR! Invalid buffer name " + name);
}

void KorvanHWRunnerImpl::setKernelArgs(std::vector<qel::bo>& spills, std::vector<qel::bo>& inputBos,
                                       std::vector<std::vector<qel::bo>>& inputSubs,
                                       std::vector<qel::bo>& outputBos,
                                       std::vector<std::vector<qel::bo>>& outputSubs,
                                       qel::bo& weights, std::vector<qel::bo>& weightSubs,
                                       bool patch, int set) {
  if (!txnDevice_ && !certDevice_) return;
  std::vector<size_t> sets;
  if (set < 0) {
    for (int32_t t = 0; t < numThreads_; ++t) sets.push_back(static_cast<size_t>(t));
  } else {
    sets.push_back(static_cast<size_t>(set));
  }
  auto bind = [&](const rapidjson::Value& entry, size_t t, uint32_t subgraph, bool outputAsSpill) {
    const char* in = firstName(entry, "inputs");
    const char* wts = firstName(entry, "weights");
    const char* out = firstName(entry, "outputs");
    if (in == nullptr || out == nullptr) HW_THROW("Connectivity entry without inputs or outputs");
    const qel::bo input = resolveBuffer(in, t, inputSubs, outputSubs, spills, weightSubs);
    const qel::bo weight = wts != nullptr
                               ? resolveBuffer(wts, t, inputSubs, outputSubs, spills, weightSubs)
                               : qel::bo();
    const qel::bo output = resolveBuffer(out, t, inputSubs, outputSubs, spills, weightSubs);
    // The runtime takes an operator's spill slot from its buffer
    // description, where a spill buffer shares the slot of the input or
    // output it is bound as; binding that slot empty would clear the
    // operator's own input or output. So the spill argument is the
    // operator's spill buffer, when it names one.
    qel::bo spill;
    if (outputAsSpill)
      spill = output;
    else if (std::string(in).find("spill_ddr") != std::string::npos)
      spill = input;
    else if (std::string(out).find("spill_ddr") != std::string::npos)
      spill = output;
    if (patch)
      qel_->patch_argument(weight, input, output, spill, subgraph, static_cast<uint32_t>(t));
    else
      qel_->set_argument(weight, input, output, spill, subgraph, static_cast<uint32_t>(t));
  };

  if (customGraph_) {
    if (txnPaths_.empty() && !fromPackage_) return;
    const size_t ops = static_cast<size_t>(qel_->num_subgraphs_);
    if (!customGraphConnectivity_.IsArray() || customGraphConnectivity_.Size() < ops)
      HW_THROW("Number of custom ops does not match connectivity in custom_graph_metadata.json!");
    for (size_t m = 0; m < ops; ++m)
      for (const size_t t : sets)
        bind(customGraphConnectivity_[static_cast<rapidjson::SizeType>(m)], t,
             static_cast<uint32_t>(m), false);
    return;
  }
  if (hasCustomOpMetadata_ && customOpConnectivity_.IsArray() && !customOpConnectivity_.Empty()) {
    for (const size_t t : sets) bind(customOpConnectivity_[0], t, 0, true);
    return;
  }
  if (patch) {
    qel_->patch_arguments(namedAddresses_, namedBos_, weights, inputSubs, outputSubs, spills,
                          *params_, set);
  } else {
    qel_->set_arguments(namedAddresses_, namedBos_, weights, inputBos, outputBos, spills);
  }
}

void KorvanHWRunnerImpl::executeDevice(const std::vector<client::ErtTensorType>& inputs,
                                       const std::vector<client::ErtTensorType>& outputs) {
  requireContext();
  if (!weightsAllocated_ || !spillAllocated_)
    HW_THROW("Some QEL BOs were not initialized, cannot continue!");
  if (inputs.size() != params_->numInputs())
    HW_THROW("Mismatch in number of input tensors. Expected:" +
             std::to_string(params_->numInputs()) + " Actual:" + std::to_string(inputs.size()));
  if (outputs.size() != params_->numOutputs())
    HW_THROW("Mismatch in number of output tensors. Expected:" +
             std::to_string(params_->numOutputs()) + "Actual:" + std::to_string(outputs.size()));
  openInterval("Create I/O BOs");
  int32_t b = -1;
  execQueue_.waitAndPop(b);
  if (b < 0) HW_THROW("The runner is shutting down");
  SetReturn giveBack(execQueue_, b);
  const size_t set = static_cast<size_t>(b);

  // Whether any output needs copying back is a property of this inference,
  // not of the runner, so concurrent inferences keep their own.
  bool ownOutputs = false;
  assignTensors(inputSubBos_[set], outputSubBos_[set], b, inputs, outputs, ownOutputs);
  // Weights and spills keep their binding. A graph's operators name their
  // spill buffers in the connectivity, so they are resolved again from the
  // runner's own list.
  std::vector<qel::bo> spills = customGraph_ ? spillBos_ : std::vector<qel::bo>();
  qel::bo noWeights;
  setKernelArgs(spills, inputBos_, inputSubBos_, outputBos_, outputSubBos_, noWeights,
                weightSubBos_, true, b);
  closeInterval();
  openInterval("Input Sync");
  for (size_t j = 0; j < inputs.size(); ++j) {
    const qel::bo& sub = inputSubBos_[set][j];
    const uint64_t pad = inputPadBefore_[j];
    const uint64_t size = inputs[j].impl != nullptr ? inputs[j].impl->getMetadata().size
                          : sub.size() > pad        ? sub.size() - pad
                                                    : 0;
    sub.sync(qel::bo::direction::to_device, size, pad);
  }
  closeInterval();
  openInterval("Kernel Execution");
  try {
    graphs_->record_graph_run(modelName_, static_cast<uint32_t>(partitionIndex_));
    qel_->run_graph(b);
  } catch (const std::exception& e) {
    HW_THROW("Subgraph " + modelName_ + " execution failed: " + e.what());
  }
  closeInterval();
  openInterval("Output Sync");
  for (size_t j = 0; j < outputs.size(); ++j) {
    const qel::bo& sub = outputSubBos_[set][j];
    sub.sync(qel::bo::direction::from_device, sub.size(), 0);
    // Tensors bound to their own buffer already hold their output there.
    if (!ownOutputs || outputs[j].data == nullptr || outputs[j].hasBo) continue;
    if (outputs[j].impl == nullptr)
      HW_THROW("Output " + std::to_string(j) + " has no tensor description");
    // The tensor starts after its leading padding, where the device wrote it.
    const uint64_t size = outputs[j].impl->getMetadata().size;
    requireRoom(sub, size, outputPadBefore_[j], "Output " + std::to_string(j));
    sub.read(outputs[j].data, size, outputPadBefore_[j]);
  }
  closeInterval();
}

void KorvanHWRunnerImpl::executeDevice(const std::vector<Bf16TensorView>& inputs,
                                       const std::vector<Bf16TensorView>& outputs,
                                       const std::vector<Bf16TensorView>&) {
  requireContext();
  if (inputs.size() != params_->numInputs())
    HW_THROW("Mismatch in number of input tensors. Expected:" +
             std::to_string(params_->numInputs()) + " Actual:" + std::to_string(inputs.size()));
  if (outputs.size() != params_->numOutputs())
    HW_THROW("Mismatch in number of output tensors. Expected:" +
             std::to_string(params_->numOutputs()) + "Actual:" + std::to_string(outputs.size()));
  int32_t b = -1;
  execQueue_.waitAndPop(b);
  if (b < 0) HW_THROW("The runner is shutting down");
  SetReturn giveBack(execQueue_, b);
  const size_t set = static_cast<size_t>(b);

  ViewInference local;
  local.inputBos.resize(static_cast<size_t>(numThreads_));
  local.outputBos.resize(static_cast<size_t>(numThreads_));
  local.weightSubs.resize(weightSubBos_.size());
  local.weights.resize(1);
  if (!spillAllocated_) {
    local.spills.resize(spillBos_.size());
    allocateSpillBOs(local.spills, b);
    local.rebind = true;
  } else {
    local.spills = spillBos_;
  }
  // Only this inference's set is filled: the other sets' lists belong to the
  // inferences that hold them.
  local.inputSubs.resize(static_cast<size_t>(numThreads_));
  local.outputSubs.resize(static_cast<size_t>(numThreads_));
  if (ioAllocated_) {
    std::lock_guard lists(setListsMutex_);
    local.inputSubs[set] = inputSubBos_[set];
    local.outputSubs[set] = outputSubBos_[set];
  } else {
    createIoBuffers(local.inputBos[set], local.outputBos[set], local.inputSubs[set],
                    local.outputSubs[set], b);
    local.rebind = true;
  }

  openInterval("Input Sync");
  for (size_t j = 0; j < inputs.size(); ++j) {
    const uint64_t bytes = inputs[j].size() * sizeof(bf16_t);
    const qel::bo& sub = local.inputSubs[set].at(j);
    requireRoom(sub, bytes, inputPadBefore_[j], "Input " + std::to_string(j));
    sub.write(inputs[j].data, bytes, inputPadBefore_[j]);
    sub.sync(qel::bo::direction::to_device, bytes, inputPadBefore_[j]);
  }
  closeInterval();
  openInterval("Kernel Execution");
  if (!weightsAllocated_ && numRunChunks_ > 1) {
    const size_t chunks = static_cast<size_t>(numRunChunks_);
    local.weights.resize(chunks);
    local.planned.resize(chunks);
    for (auto& p : local.planned) local.plannedFutures.push_back(p.get_future().share());
    std::vector<std::exception_ptr> errors(chunks);
    local.threads.reserve(chunks);
    try {
      for (size_t c = 0; c < chunks; ++c)
        local.threads.emplace_back([this, b, c, &local, &errors] {
          try {
            runChunk(b, static_cast<int32_t>(c), local);
          } catch (...) {
            errors[c] = std::current_exception();
          }
          // Every chunk thread joins its predecessor, so joining the last
          // one joins them all, whatever failed.
          if (c > 0 && local.threads[c - 1].joinable()) local.threads[c - 1].join();
        });
    } catch (...) {
      // A thread could not start: the chunks started so far still end.
      for (size_t c = local.threads.size(); c < chunks; ++c) {
        try {
          local.planned[c].set_exception(std::current_exception());
        } catch (...) {
        }
      }
      if (!local.threads.empty()) local.threads.back().join();
      throw;
    }
    local.threads.back().join();
    for (const auto& error : errors)
      if (error) std::rethrow_exception(error);
  } else {
    if (local.weights.size() < 1) local.weights.resize(1);
    runChunk(b, 0, local);
  }
  closeInterval();
  openInterval("Output Sync");
  for (size_t j = 0; j < outputs.size(); ++j) {
    const uint64_t bytes = outputs[j].size() * sizeof(bf16_t);
    const qel::bo& sub = local.outputSubs[set].at(j);
    requireRoom(sub, bytes, outputPadBefore_[j], "Output " + std::to_string(j));
    sub.sync(qel::bo::direction::from_device, bytes, outputPadBefore_[j]);
    sub.read(outputs[j].data, bytes, outputPadBefore_[j]);
  }
  closeInterval();
}

void KorvanHWRunnerImpl::runChunk(int32_t b, int32_t c, ViewInference& local) {
  const size_t chunk = static_cast<size_t>(c);
  const bool chunked = !local.planned.empty();
  {
    std::promise<void>* done = chunked ? &local.planned[chunk] : nullptr;
    try {
      if (!weightsAllocated_) {
        chunkLocks_.at(chunk).lock();
        try {
          if (c > 0 && chunked) local.plannedFutures[chunk - 1].get();
        } catch (...) {
          chunkLocks_[chunk].unlock();
          throw;
        }
        std::lock_guard bindLock(local.bindMutex);
        allocateWeightBOs(local.weights[chunk], local.weightSubs, c, b);
        local.rebind = true;
      } else {
        std::lock_guard bindLock(local.bindMutex);
        local.weights[0] = weightsBo_;
        local.weightSubs = weightSubBos_;
      }
      if (local.rebind) {
        std::lock_guard bindLock(local.bindMutex);
        setKernelArgs(local.spills, local.inputBos, local.inputSubs, local.outputBos,
                      local.outputSubs, local.weights[0], local.weightSubs, true, b);
      }
      if (done != nullptr) done->set_value();
    } catch (...) {
      if (done != nullptr) done->set_exception(std::current_exception());
      throw;
    }
  }
  try {
    graphs_->record_graph_run(modelName_, static_cast<uint32_t>(partitionIndex_));
    if (weightsAllocated_) {
      qel_->run_graph(b);
    } else {
      if (c > 0 && chunked && local.threads[chunk - 1].joinable()) local.threads[chunk - 1].join();
      qel_->run_graph_pipe(b, c);
    }
  } catch (const std::exception& e) {
    HW_THROW("Subgraph " + modelName_ + " execution failed: " + e.what());
  }
}

void KorvanHWRunnerImpl::dumpBuffers() const {
  const char* env = std::getenv("DUMP_L3_BUFFERS");
  if (env == nullptr) return;
  const int v = std::stoi(env);
  if (v <= 0) return;
  std::cout << "Finished Execution and Dumping L3 Buffers..." << std::endl;
  const std::string stem = modelName_ + "_id_" + std::to_string(partitionIndex_) + "_";
  const uint64_t divisor = customGraph_ ? 2 : 1;
  auto dump = [](const qel::bo& bo, const std::string& file, uint64_t d) {
    if (!bo) return;
    FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr) return;
    bo.sync(qel::bo::direction::from_device, bo.size(), 0);
    const uint64_t n = bo.size() / d;
    std::fwrite(&n, sizeof n, 1, out);
    if (n > 0) std::fwrite(bo.map(), 1, n, out);
    std::fclose(out);
  };
  const auto& spillNames = params_->spillNames();
  if (v & 1)
    for (size_t k = 0; k < spillBos_.size(); ++k)
      dump(spillBos_[k],
           "spillBO_" + stem + (k < spillNames.size() ? spillNames[k] : std::to_string(k)) + ".bin",
           1);
  for (size_t t = 0; t < inputSubBos_.size(); ++t) {
    const std::string setStem = stem + std::to_string(t) + "_";
    if (v & 2)
      for (size_t j = 0; j < inputSubBos_[t].size(); ++j)
        dump(inputSubBos_[t][j], "inputSubBO_" + setStem + std::to_string(j) + ".bin", divisor);
    if (v & 4)
      for (size_t j = 0; j < outputSubBos_[t].size(); ++j)
        dump(outputSubBos_[t][j], "outputBO_" + setStem + std::to_string(j) + ".bin", divisor);
  }
  if (v & 8)
    for (size_t k = 0; k < weightSubBos_.size(); ++k)
      dump(weightSubBos_[k], "weightsSubBO_" + stem + std::to_string(k) + ".bin", divisor);
}

}  // namespace korvanrt
