// Model files read through a caller-supplied KorvanIOAPI (option "io_api"):
// a weights file whose reader exposes a 4096-aligned mapping backs the
// weights buffer directly; a misaligned mapping is copied instead.

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "core/file_io_api.hpp"
#include "hw_fixture.hpp"

namespace hw_test {
namespace {

constexpr uint64_t kPage = 4096;

// Local files, except that the weights file is served from memory with a
// mapping at a page boundary or 64 bytes past one.
class MappingIOAPI : public korvanrt::KorvanIOAPI {
 public:
  MappingIOAPI(std::string weightsPath, bool aligned)
      : weightsPath_(std::move(weightsPath)), aligned_(aligned) {}

  korvanrt::ReaderHandle open_reader(const char* path) override {
    if (path != weightsPath_) return files_.open_reader(path);
    ++opens;
    return korvanrt::ReaderHandle(new Reader(*this), [](korvanrt::KorvanIOReader* r) { delete r; });
  }
  korvanrt::DirectoryHandle open_directory(const char* path) override {
    return files_.open_directory(path);
  }

  std::atomic<int> opens{0}, reads{0};
  std::atomic<void*> mapping{nullptr};

 private:
  class Reader : public korvanrt::KorvanIOReader {
   public:
    explicit Reader(MappingIOAPI& api) : api_(api), bytes_(readText(api.weightsPath_)) {
      // Readable up to the size rounded up to a page, past the shift too.
      const size_t capacity = (bytes_.size() + 64 + 2 * kPage) & ~(kPage - 1);
      memory_ = static_cast<char*>(std::aligned_alloc(kPage, capacity));
      std::memset(memory_, 0, capacity);
      data_ = memory_ + (api.aligned_ ? 0 : 64);
      std::memcpy(data_, bytes_.data(), bytes_.size());
    }
    ~Reader() override { std::free(memory_); }
    size_t sequential_read(void* buffer, size_t length) const override {
      if (position_ + length > bytes_.size()) return 0;
      std::memcpy(buffer, bytes_.data() + position_, length);
      position_ += length;
      ++api_.reads;
      return 1;
    }
    void rewind() override { position_ = 0; }
    int64_t size() const override { return static_cast<int64_t>(bytes_.size()); }
    const char* name() const override { return api_.weightsPath_.c_str(); }
    void* mmap() override {
      api_.mapping = data_;
      return data_;
    }

   private:
    MappingIOAPI& api_;
    std::string bytes_;
    char* memory_ = nullptr;
    char* data_ = nullptr;
    mutable size_t position_ = 0;
  };

  korvanrt::IOAPI files_;
  std::string weightsPath_;
  bool aligned_;
};

TEST(HWRunnerIOApi, MappedWeightsBackTheWeightsBuffer) {
  const auto m = example("conv_bf16");
  const auto ref = referenceOf(writtenExamples(), m);
  const auto files = partitionFiles(writtenExamples(), m);
  const uint64_t fileSize = fs::file_size(files.weights);
  ASSERT_GT(fileSize, 0u);
  for (const bool aligned : {true, false}) {
    SCOPED_TRACE(aligned ? "aligned mapping" : "misaligned mapping");
    MappingIOAPI api(files.weights, aligned);
    OptionsMap options{{"io_api", static_cast<korvanrt::KorvanIOAPI*>(&api)}};
    auto runner = makeRunner(writtenExamples(), m, options);
    const auto& weights = runner->impl().weightsBo_;
    ASSERT_TRUE(weights);
    if (aligned) {
      // The buffer is the mapping itself, a whole number of pages; nothing read.
      EXPECT_EQ(weights.map(), api.mapping.load());
      EXPECT_EQ(weights.size(), (fileSize + kPage - 1) & ~(kPage - 1));
      EXPECT_EQ(api.reads.load(), 0);
    } else {
      EXPECT_NE(weights.map(), api.mapping.load());
      EXPECT_GE(weights.size(), fileSize);
      EXPECT_EQ(api.reads.load(), 1);
    }
    for (int round = 0; round < 2; ++round) expectReferenceOutputs(*runner, m, ref);
  }
}

// Without weights allocated up front, every inference plans its weights; the
// mapping is made once and reused, not once more per inference.
TEST(HWRunnerIOApi, LowMemReusesOneMapping) {
  const auto m = example("conv_bf16");
  const auto ref = referenceOf(writtenExamples(), m);
  MappingIOAPI api(partitionFiles(writtenExamples(), m).weights, true);
  OptionsMap options{{"io_api", static_cast<korvanrt::KorvanIOAPI*>(&api)},
                     {"perf_mem_trade_off", std::string("low mem")}};
  auto runner = makeRunner(writtenExamples(), m, options);
  for (int round = 0; round < 3; ++round) {
    ViewCall call(m, ref);
    runner->executeDevice(call.inputs, call.outputs, {});
    call.expectReference(m, ref);
  }
  EXPECT_EQ(api.opens.load(), 1);
  EXPECT_EQ(api.reads.load(), 0);
}

}  // namespace
}  // namespace hw_test
