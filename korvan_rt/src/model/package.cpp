#include "model/package.hpp"

#include <string>

#include "core/error.hpp"
#include "package_generated.h"

namespace korvanrt {
namespace {

// strcmp order of a stored key and a wanted text, reading the key no further
// than its stored length.
int compareKey(const flatbuffers::String& key, const char* wanted) {
  const char* stored = key.c_str();
  const size_t length = key.size();
  for (size_t i = 0;; ++i) {
    const unsigned char a = i < length ? static_cast<unsigned char>(stored[i]) : 0;
    const unsigned char b = static_cast<unsigned char>(wanted[i]);
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
}

// Binary search of a vector of tables sorted by a string key, comparing as
// strcmp does. Entries without a key (refused by verification) end the
// search.
template <typename Table, typename KeyOf>
const Table* lookupByKey(const flatbuffers::Vector<flatbuffers::Offset<Table>>* tables,
                         const char* wanted, KeyOf keyOf) {
  if (tables == nullptr) return nullptr;
  flatbuffers::uoffset_t low = 0;
  flatbuffers::uoffset_t high = tables->size();
  while (low < high) {
    const flatbuffers::uoffset_t middle = low + (high - low) / 2;
    const Table* table = tables->Get(middle);
    const flatbuffers::String* key = keyOf(*table);
    if (key == nullptr) return nullptr;
    const int order = compareKey(*key, wanted);
    if (order == 0) return table;
    if (order < 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return nullptr;
}

}  // namespace

const trelm::fbs::ModelPackage* verifyPackage(const uint8_t* data, uint64_t size) {
  if (data == nullptr) KORVAN_THROW("Model package buffer is null");
  if (size == 0) KORVAN_THROW("Model package buffer is empty");
  // The verifier cannot address buffers of this size at all.
  if (size >= FLATBUFFERS_MAX_BUFFER_SIZE) {
    KORVAN_THROW("Model package buffer of " + std::to_string(size) +
                 " bytes is too large; the limit is " +
                 std::to_string(FLATBUFFERS_MAX_BUFFER_SIZE - 1) + " bytes");
  }
  flatbuffers::Verifier verifier(data, static_cast<size_t>(size));
  if (!trelm::fbs::VerifyModelPackageBuffer(verifier)) {
    KORVAN_THROW("Model package buffer of " + std::to_string(size) +
                 " bytes is not a valid model package");
  }
  return trelm::fbs::GetModelPackage(data);
}

const trelm::fbs::ModelEntry* findModel(const trelm::fbs::ModelPackage& package,
                                        const std::string& name) {
  const trelm::fbs::ModelEntry* model = lookupByKey(
      package.models(), name.c_str(), [](const trelm::fbs::ModelEntry& m) { return m.name(); });
  if (model == nullptr) KORVAN_THROW("Model \"" + name + "\" not found in the model package");
  return model;
}

const trelm::fbs::SubPartition& subPartitionAt(const trelm::fbs::ModelEntry& model, size_t index) {
  const auto* partitions = model.sub_partitions();
  const size_t count = partitions == nullptr ? 0 : partitions->size();
  if (index >= count) {
    KORVAN_THROW("Model \"" + model.name()->str() + "\" has no sub-partition " +
                 std::to_string(index) + "; it has " + std::to_string(count));
  }
  return *partitions->Get(static_cast<flatbuffers::uoffset_t>(index));
}

const trelm::fbs::SharedEntry* findSharedEntry(const trelm::fbs::ModelPackage& package,
                                               const trelm::fbs::SubPartition& subPartition) {
  const auto* key = subPartition.shared_key();
  if (key == nullptr) return nullptr;
  return lookupByKey(package.shared(), key->c_str(),
                     [](const trelm::fbs::SharedEntry& e) { return e.key(); });
}

std::string_view hsiText(const trelm::fbs::SubPartition& subPartition) {
  const auto* hsi = subPartition.hsi();
  if (hsi == nullptr) KORVAN_THROW("Model package sub-partition has no \"hsi\" description");
  return std::string_view(reinterpret_cast<const char*>(hsi->data()), hsi->size());
}

}  // namespace korvanrt
