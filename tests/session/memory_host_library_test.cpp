// In-memory packages that carry their user model library: the session writes
// it under the cache directory and uses it like the library of a directory
// package.

#include <vector>

#include "package_generated.h"
#include "session_fixture.hpp"

namespace session_test {
namespace {

using korvanrt::client::Tensor;
namespace fbs = trelm::fbs;

std::vector<uint8_t> bytesOf(const flatbuffers::Vector<uint8_t>* v) {
  return v ? std::vector<uint8_t>(v->begin(), v->end()) : std::vector<uint8_t>();
}

// `package` with a host library (`fileName`, `library`) added to every model.
std::string withHostLibrary(const std::string& package, const std::string& fileName,
                            const std::vector<uint8_t>& library) {
  const auto* root = fbs::GetModelPackage(package.data());
  flatbuffers::FlatBufferBuilder b;
  std::vector<flatbuffers::Offset<fbs::SharedEntry>> shared;
  if (root->shared())
    for (const auto* e : *root->shared()) {
      const auto fabpak = bytesOf(e->fabpak());
      shared.push_back(fbs::CreateSharedEntryDirect(b, e->key()->c_str(), &fabpak));
    }
  std::vector<flatbuffers::Offset<fbs::ModelEntry>> models;
  for (const auto* m : *root->models()) {
    std::vector<flatbuffers::Offset<fbs::SubPartition>> subs;
    for (const auto* s : *m->sub_partitions()) {
      const auto* bin = s->transaction()->binary();
      const auto data = bytesOf(bin->data()), ctrl = bytesOf(bin->ctrl_pkt()),
                 patch = bytesOf(bin->ctrl_pkt_patch_json());
      const auto binary = fbs::CreateBinaryDirect(
          b, bin->is_elf(), bin->elf_name() ? bin->elf_name()->c_str() : nullptr, &data,
          bin->ctrl_pkt() ? &ctrl : nullptr, bin->ctrl_pkt_patch_json() ? &patch : nullptr);
      const auto transaction = fbs::CreateTransaction(b, binary);
      flatbuffers::Offset<fbs::Weights> weights = 0;
      if (s->weights()) {
        const auto w = bytesOf(s->weights()->data());
        weights = fbs::CreateWeightsDirect(b, s->weights()->is_binary(), &w);
      }
      const auto hsi = bytesOf(s->hsi()), ext = bytesOf(s->external_buffer_json());
      subs.push_back(fbs::CreateSubPartitionDirect(
          b, &hsi, s->external_buffer_json() ? &ext : nullptr,
          s->shared_key() ? s->shared_key()->c_str() : nullptr, transaction, weights));
    }
    const auto host = fbs::CreateHostLibraryDirect(b, fileName.c_str(), &library);
    models.push_back(fbs::CreateModelEntryDirect(
        b, m->name()->c_str(), nullptr,
        m->partition_info() ? m->partition_info()->c_str() : nullptr, &subs, host));
  }
  b.Finish(fbs::CreateModelPackageDirect(b, &shared, &models));
  return std::string(reinterpret_cast<const char*>(b.GetBufferPointer()), b.GetSize());
}

TEST(SessionMemoryPackage, HostLibraryIsWrittenToTheCacheAndUsed) {
  const Scratch cache;
  const std::string plain = readText(writtenExamples() / "batch_double" / "batch_double.kpkg");
  const std::string text = readText(SESSION_TEST_USER_LIB);
  const std::vector<uint8_t> library(text.begin(), text.end());
  const std::string package = withHostLibrary(plain, "libkorvan_usermodel.so", library);
  Session s = openSession(memoryOptions(package, "batch_double", cache.dir));
  EXPECT_EQ(readText(cache.dir / "batch_double" / "libkorvan_usermodel.so"), text);

  // The written library runs the model through the runtime.
  const auto ref = referenceOf(writtenExamples(), example("batch_double"));
  HostTensor in = HostTensor::zeros(ElementType::fp32, {1, 8, 2, 2});
  std::copy_n(ref.inputs[0].bytes.begin(), in.bytes.size(), in.bytes.begin());
  HostTensor out = HostTensor::zeros(ElementType::fp32, {1, 8, 2, 2});
  const std::vector<Tensor> ins{{in.bytes.data(), {1, 8, 2, 2}}};
  std::vector<Tensor> outs{{out.bytes.data(), {1, 8, 2, 2}}};
  s->forward(ins, outs);
  EXPECT_TRUE(std::equal(out.bytes.begin(), out.bytes.end(), ref.outputs[0].bytes.begin()));
}

TEST(SessionMemoryPackage, HostLibraryNamesOutsideTheCacheAreRefused) {
  const Scratch cache;
  const std::string plain = readText(writtenExamples() / "batch_double" / "batch_double.kpkg");
  for (const char* name : {"../escape.so", "/tmp/escape.so", "sub/dir.so", ".."}) {
    const std::string package = withHostLibrary(plain, name, {1, 2, 3});
    EXPECT_EQ(messageOf([&] { openSession(memoryOptions(package, "batch_double", cache.dir)); }),
              "ERROR: Failed to open host binary file")
        << name;
  }
  EXPECT_FALSE(fs::exists(cache.dir / "escape.so"));
}

}  // namespace
}  // namespace session_test
