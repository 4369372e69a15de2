#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace trelm::fbs {
struct ModelPackage;
struct ModelEntry;
struct SubPartition;
struct SharedEntry;
}  // namespace trelm::fbs

namespace korvanrt {

// Checks an in-memory model package before anything reads it: rejects a null
// or empty buffer, one of 2 GiB or more and any buffer whose offsets, tables,
// strings or vectors reach outside it. Returns the root table. Throws
// KorvanRTException.
const trelm::fbs::ModelPackage* verifyPackage(const uint8_t* data, uint64_t size);

// The model entry named `name` (binary search; the entries are sorted by
// name). Throws KorvanRTException when there is none.
const trelm::fbs::ModelEntry* findModel(const trelm::fbs::ModelPackage& package,
                                        const std::string& name);

// Partition `index` of a model. Throws KorvanRTException when the model has
// no such partition.
const trelm::fbs::SubPartition& subPartitionAt(const trelm::fbs::ModelEntry& model, size_t index);

// The shared entry a sub-partition refers to through its shared_key; null
// when it names none or none matches.
const trelm::fbs::SharedEntry* findSharedEntry(const trelm::fbs::ModelPackage& package,
                                               const trelm::fbs::SubPartition& subPartition);

// The sub-partition's "korvanrt-hsi.json" text, exactly the stored bytes.
// Throws KorvanRTException when the field is absent.
std::string_view hsiText(const trelm::fbs::SubPartition& subPartition);

}  // namespace korvanrt
