#include <rapidjson/document.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "device/qel_context.hpp"
#include "hw_runner/hw_error.hpp"
#include "hw_runner/hw_runner_impl.hpp"
#include "package_generated.h"

namespace korvanrt {

namespace {

constexpr uint64_t kPage = 4096;

// Bytes of one entry as the device holds it.
uint64_t hardwareSize(const IOParams& entry) {
  const std::string dtype = entry.hwDtype();
  const uint64_t count = entry.hwShape().size();
  // 16-bit device types take two bytes per element, as the device tensors
  // the runner converts into do.
  const bool wide = dtype == "bf16" || dtype == "fp16" || dtype == "int16" || dtype == "uint16";
  return count * (wide ? 2 : 1);
}

const rapidjson::Value* memberOf(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return nullptr;
  const auto found = object.FindMember(key);
  return found == object.MemberEnd() ? nullptr : &found->value;
}

uint64_t unsignedMember(const rapidjson::Value& object, const char* key, const char* what) {
  const rapidjson::Value* v = memberOf(object, key);
  if (v == nullptr) return 0;
  if (!v->IsUint64())
    throw std::runtime_error(std::string("external_buffer_id.json: \"") + key + "\" of " + what +
                             " is not an unsigned 64-bit integer");
  return v->GetUint64();
}

std::string nameOf(const rapidjson::Value& object) {
  const rapidjson::Value* v = memberOf(object, "name");
  if (v == nullptr) return {};
  if (!v->IsString()) throw std::runtime_error("external_buffer_id.json: \"name\" is not a string");
  return v->GetString();
}

// The hexadecimal 32-bit words of a text weights image, in order, up to the
// first token that does not parse.
std::vector<uint32_t> hexWords(std::istream& in) {
  std::vector<uint32_t> words;
  uint32_t w = 0;
  while (in >> std::hex >> w) words.push_back(w);
  return words;
}

// Runs `fn` for every buffer set (`set` -1) or for `set` alone.
template <typename Fn>
void forSets(int set, int32_t count, Fn&& fn) {
  if (set >= 0) {
    fn(static_cast<size_t>(set));
    return;
  }
  for (int32_t t = 0; t < count; ++t) fn(static_cast<size_t>(t));
}

}  // namespace

void KorvanHWRunnerImpl::requireRoom(const qel::bo& bo, uint64_t bytes, uint64_t offset,
                                     const std::string& what) {
  if (!bo) HW_THROW(what + " has no device buffer");
  if (offset > bo.size() || bytes > bo.size() - offset)
    HW_THROW(what + " needs " + std::to_string(bytes) + " bytes at offset " +
             std::to_string(offset) + ", its device buffer holds " + std::to_string(bo.size()));
}

size_t BoVectorHash::operator()(const std::vector<qel::bo>& list) const {
  uint64_t h = list.size();
  for (const auto& bo : list) h ^= bo.address() + 0x9E3779B9ull + (h << 6) + (h >> 2);
  return static_cast<size_t>(h);
}

void KorvanHWRunnerImpl::computeIoSizes() {
  auto fill = [&](uint32_t count, auto getter, std::vector<uint64_t>& sizes,
                  std::vector<uint64_t>& pads) {
    sizes.assign(count, 0);
    pads.assign(count, 0);
    for (uint32_t j = 0; j < count; ++j) {
      const IOParams entry = (params_->*getter)(j);
      const std::string name = entry.name();
      for (const auto& member : externalBuffers_.GetObject()) {
        if (nameOf(member.value) != name) continue;
        sizes[j] = unsignedMember(member.value, "size_in_bytes", name.c_str());
        pads[j] = unsignedMember(member.value, "extra_padding_before", name.c_str());
        break;
      }
      if (sizes[j] == 0) sizes[j] = hardwareSize(entry);
    }
  };
  fill(params_->numInputs(), &HWClusterParams::getInput, inputSizes_, inputPadBefore_);
  fill(params_->numOutputs(), &HWClusterParams::getOutput, outputSizes_, outputPadBefore_);
}

void KorvanHWRunnerImpl::allocateInputOutputBOs(qel::bo& inputBo, qel::bo& outputBo,
                                                std::vector<qel::bo>& inputSubs,
                                                std::vector<qel::bo>& outputSubs, int set) {
  computeIoSizes();
  if (useHostPtr_) {
    ioAllocated_ = false;
    return;
  }
  createIoBuffers(inputBo, outputBo, inputSubs, outputSubs, set);
  ioAllocated_ = true;
}

void KorvanHWRunnerImpl::createIoBuffers(qel::bo& inputBo, qel::bo& outputBo,
                                         std::vector<qel::bo>& inputSubs,
                                         std::vector<qel::bo>& outputSubs, int set) {
  const uint64_t scale = customGraph_ || hasCustomOpMetadata_ ? 2 : 1;
  auto create = [&](uint32_t count, auto getter, const std::vector<uint64_t>& sizes, qel::bo& whole,
                    std::vector<qel::bo>& subs) {
    if (count == 0) return;
    uint64_t total = 0;
    for (const uint64_t s : sizes) total += s * scale;
    whole = qel::ext::bo(context_->device, total);
    subs.resize(count);
    uint64_t offset = 0;
    for (uint32_t j = 0; j < count; ++j) {
      const uint64_t size = sizes[j] * scale;
      subs[j] = qel::bo(whole, size, offset);
      const std::string name = (params_->*getter)(j).name();
      namedAddresses_.at(set)[name] = subs[j].address();
      namedBos_.at(set)[name] = subs[j];
      offset += size;
    }
  };
  create(params_->numInputs(), &HWClusterParams::getInput, inputSizes_, inputBo, inputSubs);
  create(params_->numOutputs(), &HWClusterParams::getOutput, outputSizes_, outputBo, outputSubs);
}

void KorvanHWRunnerImpl::allocateWeightBOs(qel::bo& weights, std::vector<qel::bo>& weightSubs,
                                           int chunk, int set) {
  // The caller holds the chunk's lock; it is released however planning ends.
  std::unique_lock chunkLock(chunkLocks_.at(static_cast<size_t>(chunk)), std::adopt_lock);

  std::vector<uint8_t> image;
  ReaderHandle reader(nullptr, [](KorvanIOReader*) {});
  void* mapped = nullptr;
  uint64_t mappedBytes = 0;
  if (fromPackage_) {
    const auto* table = subPartition_->weights();
    // A partition without weights may leave the table out; one whose
    // description names weights may not.
    if (table == nullptr && (params_->numWeights() > 0 || !params_->weightNames().empty()))
      HW_THROW("The package partition has no weights table");
    const auto* data = table != nullptr ? table->data() : nullptr;
    if (table != nullptr && table->is_binary() == 1) {
      if (data != nullptr) image.assign(data->begin(), data->end());
    } else if (data != nullptr) {
      std::istringstream text(std::string(data->begin(), data->end()));
      for (const uint32_t w : hexWords(text)) {
        const auto* b = reinterpret_cast<const uint8_t*>(&w);
        image.insert(image.end(), b, b + 4);
      }
    }
  } else {
    // The weights file is mapped once per runner: the mapping belongs to its
    // reader, which the runner keeps for as long as it lives, and plannings
    // per inference reuse it instead of mapping the file again.
    std::unique_lock mapLock(planningMutex_);
    if (mappedWeights_ != nullptr) {
      mapped = mappedWeights_;
      mappedBytes = mappedWeightsSize_;
      mapLock.unlock();
    } else if (!weightsPath_.empty()) {
      reader = ioApi_->open_reader(weightsPath_.c_str());
    }
    if (mapped != nullptr) {
      // Reusing the runner's mapping.
    } else if (reader) {
      void* address = reader->mmap();
      const int64_t size = reader->size();
      if (size < 0) throw std::runtime_error("Cannot read the weights file " + weightsPath_);
      if (address != nullptr && (reinterpret_cast<uintptr_t>(address) & (kPage - 1)) == 0) {
        mapped = mappedWeights_ = address;
        mappedBytes = mappedWeightsSize_ = static_cast<uint64_t>(size);
        weightsMapping_ = std::move(reader);
        mapLock.unlock();
      } else {
        mapLock.unlock();
        image.resize(static_cast<size_t>(size));
        if (size > 0 && reader->sequential_read(image.data(), image.size()) != 1)
          throw std::runtime_error("Cannot read the weights file " + weightsPath_);
      }
    } else {
      mapLock.unlock();
      std::ifstream text(std::filesystem::path(partitionDir_) / "wts32.txt");
      if (text) {
        for (const uint32_t w : hexWords(text)) {
          const auto* b = reinterpret_cast<const uint8_t*>(&w);
          image.insert(image.end(), b, b + 4);
        }
      }
    }
  }

  const uint32_t arrayCount = params_->numWeights();
  const uint32_t extendCount = params_->numWeightsExtend();
  const size_t start = chunk > 0 ? static_cast<size_t>(weightCounts_.at(chunk - 1)) : 0;
  const size_t end = static_cast<size_t>(weightCounts_.at(static_cast<size_t>(chunk)));
  if (end < start || end > weightSubs.size())
    HW_THROW("Weight chunk " + std::to_string(chunk) + " lies outside the prepared weights");

  std::vector<uint64_t> sizes;
  const bool present = !image.empty() || mapped != nullptr;
  bool prepared = false;
  if (present) {
    weightsFromFile_ = true;
    for (uint32_t k = 0; k < arrayCount; ++k) sizes.push_back(hardwareSize(params_->getWeight(k)));
  } else if (extendCount > 0) {
    weightsFromFile_ = false;
    prepared = true;
    for (size_t i = start; i < end; ++i) sizes.push_back(hardwareSize(params_->getWeightExtend(i)));
  } else if (arrayCount > 0) {
    weightsFromFile_ = false;
    return;
  } else {
    weightsFromFile_ = true;
  }

  if (mapped != nullptr) {
    const uint64_t length = (mappedBytes + kPage - 1) & ~(kPage - 1);
    weights = qel::ext::bo(context_->device, mapped, length);
  } else if (!image.empty()) {
    uint64_t total = image.size();
    for (const uint64_t s : sizes) total += s;
    weights = qel::ext::bo(context_->device, total);
    weights.write(image.data(), image.size(), 0);
    weights.sync(qel::bo::direction::to_device, image.size(), 0);
  } else if (prepared) {
    uint64_t total = 0;
    for (const uint64_t s : sizes) total += s;
    // An empty chunk gets no buffer.
    if (total > 0) weights = qel::ext::bo(context_->device, total);
  }

  if (!prepared) {
    const auto& names = params_->weightNames();
    const auto& offsets = params_->weightOffsets();
    if (weights) {
      const uint64_t base = weights.address();
      forSets(set, numThreads_, [&](size_t t) {
        for (size_t k = 0; k < names.size() && k < offsets.size(); ++k)
          namedAddresses_[t][names[k]] = base + 4 * static_cast<uint64_t>(offsets[k]);
        if (present) namedBos_[t]["coalesed_weights"] = weights;
      });
    }
  }

  if (end > start && sizes.size() < end - start)
    HW_THROW("The weights image describes " + std::to_string(sizes.size()) +
             " weight buffers, the chunk needs " + std::to_string(end - start));
  uint64_t offset = 0;
  for (size_t i = start; i < end; ++i) {
    const uint64_t size = sizes[i - start];
    if (size > 0) weightSubs[i] = qel::bo(weights, size, offset);
    offset += size;
  }

  if (extendCount > 0 && !weightsFromFile_ && end > start)
    preProcCustOpWtsBuffer(weightSubs, weights, chunk);
  chunkLock.unlock();

  forSets(set, numThreads_, [&](size_t t) {
    for (size_t i = start; i < end; ++i)
      if (weightSubs[i])
        namedAddresses_[t][params_->getWeightExtend(i).name()] = weightSubs[i].address();
  });
}

void KorvanHWRunnerImpl::allocateSpillBOs(std::vector<qel::bo>& spills, int set) {
  const auto& names = params_->spillNames();
  const auto& offsets = params_->spillOffsets();
  const auto& sizes = params_->spillSizes();
  if (names.empty()) return;
  std::lock_guard lock(planningMutex_);
  spillBytes_ = 0;
  size_t j = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    const bool layerOffsetZero = i < offsets.size() && offsets[i] == 0;
    const bool starts =
        j < spills.size() && (layerOffsetZero || sizes.empty() || sizes.front() == 0);
    if (starts) {
      uint64_t size = 0;
      if (i < sizes.size() && sizes[i] > 0) {
        size = static_cast<uint64_t>(sizes[i]);
      } else {
        for (const auto& member : externalBuffers_.GetObject()) {
          const std::string name = nameOf(member.value);
          if (name.find("spills") == std::string::npos) continue;
          size = unsignedMember(member.value, "size_in_bytes", name.c_str());
          const rapidjson::Value* parts = memberOf(member.value, "coalesed_buffers");
          if (parts != nullptr && parts->IsArray())
            for (const auto& part : parts->GetArray())
              coalescedSpillOffsets_[nameOf(part)] =
                  unsignedMember(part, "offset_in_bytes", "a coalesced spill");
        }
      }
      if (!spills[j]) {
        // Spills planned for one inference while other buffer sets may run
        // get memory of their own: the halves of a chunked graph run as
        // separate device jobs, and another inference's jobs in between
        // would overwrite a shared scratch area.
        const bool perInference = set >= 0 && numThreads_ > 1;
        if (txnDevice_ && !dumpL3Buffers_ && !perInference) {
          qel::bo* base = nullptr;
          if (const auto found = options_.find("max_spill_buffer_size"); found != options_.end()) {
            base = &context_->get_spill_bo(std::any_cast<uint64_t>(found->second));
          } else {
            const rapidjson::Value* first = nullptr;
            for (const auto& member : externalBuffers_.GetObject())
              if (nameOf(member.value).find("spills") != std::string::npos) {
                first = &member.value;
                break;
              }
            base = first != nullptr ? &context_->get_spill_bo(unsignedMember(
                                          *first, "size_in_bytes", "the spill buffer"))
                                    : &context_->get_spill_bo();
          }
          spills[j] = qel::bo(*base, size, spillBytes_);
        } else {
          spills[j] = qel::ext::bo(context_->device, size);
        }
        spillBytes_ += size;
      }
      ++j;
    } else if (j == 0) {
      HW_THROW("Spill layer " + names[i] + " lies in no spill buffer");
    }
    const uint64_t address = spills[j - 1].address() + coalescedSpillOffsets_[names[i]];
    forSets(set, numThreads_, [&](size_t t) { namedAddresses_[t][names[i]] = address; });
  }
  forSets(set, numThreads_, [&](size_t t) { namedBos_[t]["coalesed_spills"] = spills.at(0); });
}

void KorvanHWRunnerImpl::assignInputOutputBOs(std::vector<qel::bo>& inputSubs,
                                              std::vector<qel::bo>& outputSubs, int set,
                                              const std::vector<client::ErtTensorType>& inputs,
                                              const std::vector<client::ErtTensorType>& outputs) {
  bool ownOutputs = false;
  assignTensors(inputSubs, outputSubs, set, inputs, outputs, ownOutputs);
  ownOutputsUsed_ = ownOutputs;
}

void KorvanHWRunnerImpl::assignTensors(std::vector<qel::bo>& inputSubs,
                                       std::vector<qel::bo>& outputSubs, int set,
                                       const std::vector<client::ErtTensorType>& inputs,
                                       const std::vector<client::ErtTensorType>& outputs,
                                       bool& ownOutputs) {
  auto bind = [&](const client::ErtTensorType& tensor, size_t j, bool input,
                  std::vector<qel::bo>& subs) {
    const IOParams entry = input ? params_->getInput(j) : params_->getOutput(j);
    const std::string name = entry.name();
    const char* side = input ? "Input" : "Output";
    auto place = [&](const qel::bo& bo) {
      std::lock_guard lock(setListsMutex_);
      subs.at(j) = bo;
    };
    if (tensor.hasBo) {
      if (tensor.impl == nullptr || tensor.impl->getMetadata().name != name)
        HW_THROW(std::string(side) + " " + std::to_string(j) +
                 " is bound to a buffer of another tensor; expected " + name);
      place(tensor.impl->getBo());
    } else {
      if (useHostPtr_) {
        if (input)
          std::cout << "WARNING: User ptr based QEL::BO creation will fail for Tamsk and Pavik on "
                       "Linux"
                    << std::endl;
        HW_THROW(std::string(side) + " user buffer ptr " + std::to_string(j) +
                 " for BO creation is not 4k aligned!");
      }
      if (tensor.impl != nullptr && tensor.impl->getBo()) place(tensor.impl->getBo());
      if (!input) ownOutputs = true;
      if (input && tensor.data != nullptr) {
        if (tensor.impl == nullptr)
          HW_THROW("Input " + std::to_string(j) + " has no tensor description");
        const uint64_t size = tensor.impl->getMetadata().size;
        requireRoom(subs.at(j), size, inputPadBefore_.at(j), "Input " + std::to_string(j));
        subs.at(j).write(tensor.data, size, inputPadBefore_.at(j));
      }
    }
    namedAddresses_.at(set)[name] = subs.at(j).address();
    namedBos_.at(set)[name] = subs.at(j);
  };
  for (size_t j = 0; j < inputs.size(); ++j) bind(inputs[j], j, true, inputSubs);
  for (size_t j = 0; j < outputs.size(); ++j) bind(outputs[j], j, false, outputSubs);
}

std::vector<qel::bo> KorvanHWRunnerImpl::getTensorsFromMemPool(const std::string& kind) {
  requireContext();
  if (!ioAllocated_) HW_THROW("I/O BOs not allocated yet, cannot get tensors from pool");
  const bool input = kind == "input";
  if (!input && kind != "output") HW_THROW("Unknown buffer type requested: " + kind);
  auto& queue = input ? inputPoolQueue_ : outputPoolQueue_;
  int32_t set = -1;
  queue.waitAndPop(set);
  if (set < 0) HW_THROW("The buffer pool is shut down");
  std::vector<qel::bo> subs;
  {
    std::lock_guard lists(setListsMutex_);
    subs = input ? inputSubBos_.at(set) : outputSubBos_.at(set);
  }
  std::lock_guard lock(poolMutex_);
  (input ? inputPool_ : outputPool_)[subs] = set;
  (input ? inputLent_ : outputLent_).at(static_cast<size_t>(set)) = true;
  return subs;
}

void KorvanHWRunnerImpl::releaseTensorsToMemPool(
    const std::vector<client::ErtTensorType>& tensors) {
  try {
    std::vector<qel::bo> list;
    list.reserve(tensors.size());
    for (const auto& t : tensors) {
      if (t.impl == nullptr) throw std::runtime_error("tensor without implementation");
      list.push_back(t.impl->getBo());
    }
    std::unique_lock lock(poolMutex_);
    // A set goes back to its queue only while it is lent, so that releasing
    // the same tensors twice cannot hand one set to two callers.
    auto giveBack = [&](const auto& pool, std::vector<bool>& lent,
                        ThreadsafeQueue<int32_t>& queue) {
      const auto found = pool.find(list);
      if (found == pool.end()) return false;
      const int32_t set = found->second;
      if (lent.at(static_cast<size_t>(set))) {
        lent[static_cast<size_t>(set)] = false;
        queue.push(set);
      }
      return true;
    };
    if (!giveBack(inputPool_, inputLent_, inputPoolQueue_))
      giveBack(outputPool_, outputLent_, outputPoolQueue_);
  } catch (const std::exception& e) {
    HW_THROW(std::string("Error releasing buffers: ") + e.what());
  }
}

}  // namespace korvanrt
