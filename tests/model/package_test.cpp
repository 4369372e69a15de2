#include "model/package.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hsi_builder.hpp"
#include "model/hw_cluster_params.hpp"
#include "package_generated.h"

namespace korvanrt {
namespace {

using namespace trelm::fbs;
using ::korvanrt::testing::hsiDocument;
using ::korvanrt::testing::StringReader;
using ::korvanrt::testing::tensorEntry;

TEST(PackageSchemaTest, FieldsSitAtTheirFixedVtableOffsets) {
  EXPECT_EQ(ModelPackage::VT_SHARED, 12);
  EXPECT_EQ(ModelPackage::VT_MODELS, 18);
  EXPECT_EQ(ModelEntry::VT_NAME, 4);
  EXPECT_EQ(ModelEntry::VT_CUSTOM_OPS, 6);
  EXPECT_EQ(ModelEntry::VT_PARTITION_INFO, 8);
  EXPECT_EQ(ModelEntry::VT_SUB_PARTITIONS, 10);
  EXPECT_EQ(ModelEntry::VT_HOST_LIBRARY, 12);
  EXPECT_EQ(HostLibrary::VT_FILE_NAME, 6);
  EXPECT_EQ(HostLibrary::VT_DATA, 8);
  EXPECT_EQ(SharedEntry::VT_KEY, 4);
  EXPECT_EQ(SharedEntry::VT_FABPAK, 8);
  EXPECT_EQ(SubPartition::VT_HSI, 8);
  EXPECT_EQ(SubPartition::VT_EXTERNAL_BUFFER_JSON, 10);
  EXPECT_EQ(SubPartition::VT_SHARED_KEY, 12);
  EXPECT_EQ(SubPartition::VT_TRANSACTION, 14);
  EXPECT_EQ(SubPartition::VT_WEIGHTS, 16);
  EXPECT_EQ(Transaction::VT_BINARY, 4);
  EXPECT_EQ(Binary::VT_IS_ELF, 4);
  EXPECT_EQ(Binary::VT_ELF_NAME, 6);
  EXPECT_EQ(Binary::VT_DATA, 8);
  EXPECT_EQ(Binary::VT_CTRL_PKT, 10);
  EXPECT_EQ(Binary::VT_CTRL_PKT_PATCH_JSON, 12);
  EXPECT_EQ(Weights::VT_IS_BINARY, 6);
  EXPECT_EQ(Weights::VT_DATA, 8);
}

// Models "c", "a", "b" (written unsorted, stored sorted); "b" has two
// partitions: the first refers to shared entry "fab1", the second to a key
// that matches nothing. Model "c" has a partition without hsi.
std::vector<uint8_t> buildPackage(const std::string& hsi) {
  flatbuffers::FlatBufferBuilder fbb;
  auto bytes = [&](const std::string& text) {
    return fbb.CreateVector(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  };

  std::vector<flatbuffers::Offset<SubPartition>> bParts;
  bParts.push_back(CreateSubPartition(fbb, bytes(hsi), 0, fbb.CreateString("fab1"), 0,
                                      CreateWeights(fbb, 1, bytes("wts"))));
  bParts.push_back(CreateSubPartition(fbb, bytes(hsi), 0, fbb.CreateString("nothing")));
  std::vector<flatbuffers::Offset<SubPartition>> cParts{CreateSubPartition(fbb)};

  std::vector<flatbuffers::Offset<ModelEntry>> models{
      CreateModelEntry(fbb, fbb.CreateString("c"), 0, 0, fbb.CreateVector(cParts)),
      CreateModelEntry(fbb, fbb.CreateString("a")),
      CreateModelEntry(fbb, fbb.CreateString("b"), 0, fbb.CreateString("{}"),
                       fbb.CreateVector(bParts)),
  };
  std::vector<flatbuffers::Offset<SharedEntry>> shared{
      CreateSharedEntry(fbb, fbb.CreateString("fab2"), bytes("F2")),
      CreateSharedEntry(fbb, fbb.CreateString("fab1"), bytes("F1")),
  };
  fbb.Finish(CreateModelPackage(fbb, fbb.CreateVectorOfSortedTables(&shared),
                                fbb.CreateVectorOfSortedTables(&models)));
  return std::vector<uint8_t>(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
}

std::string errorOf(const auto& call) {
  try {
    call();
  } catch (const KorvanRTException& e) {
    return e.what();
  }
  return "<no error>";
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(PackageTest, LooksUpModelsPartitionsAndSharedEntries) {
  const std::string hsi = hsiDocument(tensorEntry(), "");
  const std::vector<uint8_t> buffer = buildPackage(hsi);
  const ModelPackage* package = verifyPackage(buffer.data(), buffer.size());
  ASSERT_NE(package, nullptr);
  ASSERT_EQ(package->models()->size(), 3u);
  EXPECT_EQ(package->models()->Get(0)->name()->str(), "a");  // stored sorted

  const ModelEntry* b = findModel(*package, "b");
  EXPECT_EQ(b->name()->str(), "b");
  EXPECT_EQ(b->partition_info()->str(), "{}");
  EXPECT_EQ(findModel(*package, "a")->sub_partitions(), nullptr);
  EXPECT_TRUE(endsWith(errorOf([&] { findModel(*package, "bb"); }),
                       "Model \"bb\" not found in the model package"));

  const SubPartition& first = subPartitionAt(*b, 0);
  EXPECT_EQ(hsiText(first), hsi);  // exactly the stored bytes, no terminator needed
  EXPECT_EQ(first.weights()->is_binary(), 1);
  const SharedEntry* shared = findSharedEntry(*package, first);
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(shared->key()->str(), "fab1");
  EXPECT_EQ(std::string(shared->fabpak()->begin(), shared->fabpak()->end()), "F1");
  EXPECT_EQ(findSharedEntry(*package, subPartitionAt(*b, 1)), nullptr);  // unmatched key

  EXPECT_TRUE(endsWith(errorOf([&] { subPartitionAt(*b, 2); }),
                       "Model \"b\" has no sub-partition 2; it has 2"));
  EXPECT_TRUE(endsWith(errorOf([&] { subPartitionAt(*findModel(*package, "a"), 0); }),
                       "Model \"a\" has no sub-partition 0; it has 0"));
  const SubPartition& noHsi = subPartitionAt(*findModel(*package, "c"), 0);
  EXPECT_EQ(findSharedEntry(*package, noHsi), nullptr);  // no shared_key at all
  EXPECT_TRUE(endsWith(errorOf([&] { hsiText(noHsi); }),
                       "Model package sub-partition has no \"hsi\" description"));
  EXPECT_THROW(HWClusterParams(&noHsi, false), KorvanRTException);
}

TEST(PackageTest, RejectsBuffersItCannotTrust) {
  const std::vector<uint8_t> buffer = buildPackage(hsiDocument(tensorEntry(), ""));
  EXPECT_TRUE(
      endsWith(errorOf([] { verifyPackage(nullptr, 16); }), "Model package buffer is null"));
  EXPECT_TRUE(
      endsWith(errorOf([&] { verifyPackage(buffer.data(), 0); }), "Model package buffer is empty"));
  // Refused by size alone: nothing beyond the real buffer is read.
  EXPECT_NE(errorOf([&] { verifyPackage(buffer.data(), uint64_t{1} << 31); }).find("too large"),
            std::string::npos);
  EXPECT_NE(errorOf([&] { verifyPackage(buffer.data(), uint64_t{1} << 40); }).find("too large"),
            std::string::npos);

  // Every truncation that reaches into data is refused (the builder ends the
  // buffer with the padding of the first vector it wrote).
  for (size_t size = 1; size + 4 < buffer.size(); ++size) {
    std::vector<uint8_t> cut(buffer.begin(), buffer.begin() + size);
    EXPECT_THROW(verifyPackage(cut.data(), cut.size()), KorvanRTException) << size;
  }
  // Corrupting any byte is either refused or leaves a package that still
  // verifies; reading it must stay in bounds (checked under the sanitizers).
  size_t refused = 0;
  for (size_t i = 0; i < buffer.size(); ++i) {
    for (uint8_t value : {uint8_t{0xff}, uint8_t{0x7f}}) {
      std::vector<uint8_t> bad = buffer;
      bad[i] ^= value;
      try {
        const ModelPackage* package = verifyPackage(bad.data(), bad.size());
        for (const ModelEntry* model : *package->models()) {
          if (model->sub_partitions() == nullptr) continue;
          for (const SubPartition* sp : *model->sub_partitions()) {
            findSharedEntry(*package, *sp);
            if (sp->hsi() != nullptr) (void)hsiText(*sp).size();
          }
        }
      } catch (const KorvanRTException&) {
        ++refused;
      }
    }
  }
  EXPECT_GT(refused, buffer.size() / 4);
}

TEST(PackageTest, DescriptionFromASubPartitionMatchesTheFileSource) {
  const std::string hsi =
      hsiDocument(tensorEntry({{"name", "\"x\""}}), tensorEntry({{"name", "\"y\""}}),
                  R"("spills":{"layers":[{"name":"s","offset":4,"size":8}]},"fabpak_name":"f")");
  const std::vector<uint8_t> buffer = buildPackage(hsi);
  const ModelPackage* package = verifyPackage(buffer.data(), buffer.size());
  const HWClusterParams fromPackage(&subPartitionAt(*findModel(*package, "b"), 0), true);
  StringReader reader(hsi, "korvanrt-hsi.json");
  const HWClusterParams fromFile(&reader, true);

  for (const HWClusterParams* params : {&fromPackage, &fromFile}) {
    EXPECT_EQ(params->numInputs(), 1u);
    EXPECT_EQ(params->getInput(0).name(), "x");
    EXPECT_EQ(params->getOutput(0).name(), "y");
    EXPECT_EQ(params->spillSizes(), std::vector<int64_t>{8});
    EXPECT_EQ(params->fabpakName(), "f");
    EXPECT_EQ(params->plcOutputMode(), 1);
  }

  // Faults in the embedded text are worded for the package.
  const std::vector<uint8_t> missing =
      buildPackage(hsiDocument(tensorEntry({}, {"hw_format"}), ""));
  const ModelPackage* bad = verifyPackage(missing.data(), missing.size());
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(HWClusterParams(&subPartitionAt(*findModel(*bad, "b"), 0), false),
               std::runtime_error);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "ERROR: hw_format entry missing in korvanrt-hsi.json\n");

  const std::vector<uint8_t> broken = buildPackage("{\"inputs\":");
  const ModelPackage* unparsable = verifyPackage(broken.data(), broken.size());
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(
      errorOf([&] { HWClusterParams(&subPartitionAt(*findModel(*unparsable, "b"), 0), false); }),
      "korvan_rt/src/HWClusterParams:401: korvanrt-hsi.json parse error!");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "korvanrt-hsi.json parse error!\n");
}

}  // namespace
}  // namespace korvanrt
