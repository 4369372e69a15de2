#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/file_io_api.hpp"
#include "core/file_reader.hpp"
#include "korvanrt/io_api.hpp"

namespace korvanrt {
namespace {

namespace fs = std::filesystem;

class IOApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("korvanrt_io_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  fs::path dir_;
  IOAPI api_;
};

TEST_F(IOApiTest, MissingFileGivesEmptyHandle) {
  ReaderHandle reader = api_.open_reader((dir_ / "absent.bin").c_str());
  EXPECT_EQ(reader, nullptr);
  reader.reset();  // the empty handle's deleter must accept null
}

TEST_F(IOApiTest, ReaderKeepsPositionAcrossSizeAndReportsShortReads) {
  const std::string path = write("data.bin", "0123456789");
  ReaderHandle reader = api_.open_reader(path.c_str());
  ASSERT_NE(reader, nullptr);
  EXPECT_STREQ(reader->name(), path.c_str());
  EXPECT_EQ(reader->mmap(), nullptr);

  char buffer[16] = {};
  ASSERT_EQ(reader->sequential_read(buffer, 4), 1u);
  EXPECT_EQ(reader->size(), 10);
  ASSERT_EQ(reader->sequential_read(buffer, 4), 1u);
  EXPECT_EQ(std::string(buffer, 4), "4567");  // size() did not move the position
  EXPECT_EQ(reader->sequential_read(buffer, 3), 0u) << "only 2 bytes remain";

  reader->rewind();
  ASSERT_EQ(reader->sequential_read(buffer, 10), 1u);
  EXPECT_EQ(std::string(buffer, 10), "0123456789");
  EXPECT_EQ(reader->sequential_read(buffer, 0), 0u);
}

TEST_F(IOApiTest, UniqDestroysThroughTheVirtualDestructor) {
  struct Probe : KorvanIOReader {
    explicit Probe(bool* destroyed) : destroyed_(destroyed) {}
    ~Probe() override { *destroyed_ = true; }
    size_t sequential_read(void*, size_t) const override { return 0; }
    void rewind() override {}
    int64_t size() const override { return 0; }
    const char* name() const override { return "probe"; }
    bool* destroyed_;
  };
  bool destroyed = false;
  {
    ReaderHandle handle = uniq<KorvanIOReader>(new Probe(&destroyed));
    EXPECT_EQ(handle->mmap(), nullptr);  // the base implementation
  }
  EXPECT_TRUE(destroyed);
  ReaderHandle none = uniq<KorvanIOReader>(nullptr);
  none.reset();
}

std::vector<std::string> namesOf(const DirectoryListing& listing) {
  std::vector<std::string> names(listing.names, listing.names + listing.count);
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(IOApiTest, ListsRegularFilesAndLinksToThem) {
  write("a.json", "{}");
  write("b.bin", "x");
  fs::create_directory(dir_ / "sub");
  write("sub/hidden.bin", "y");
  fs::create_symlink(dir_ / "a.json", dir_ / "link.json");
  fs::create_symlink(dir_ / "sub", dir_ / "link_dir");
  fs::create_symlink(dir_ / "gone", dir_ / "dangling");

  for (const std::string& base : {dir_.string(), dir_.string() + "/"}) {
    SCOPED_TRACE(base);
    DirectoryHandle listing = api_.open_directory(base.c_str());
    ASSERT_NE(listing, nullptr);
    const std::string prefix = dir_.string() + "/";
    EXPECT_EQ(namesOf(*listing), (std::vector<std::string>{prefix + "a.json", prefix + "b.bin",
                                                           prefix + "link.json"}));
  }
}

TEST_F(IOApiTest, NonDirectoriesGiveEmptyListings) {
  fs::create_directory(dir_ / "empty");
  const std::string file = write("plain.txt", "z");
  for (const std::string& path : {(dir_ / "empty").string(), file, (dir_ / "missing").string()}) {
    SCOPED_TRACE(path);
    DirectoryHandle listing = api_.open_directory(path.c_str());
    ASSERT_NE(listing, nullptr);
    EXPECT_EQ(listing->count, 0u);
    EXPECT_EQ(listing->names, nullptr);
  }
  freeDirectoryListing(nullptr);
}

// A reader supplied by a caller that misreports its file.
struct FaultyReader : KorvanIOReader {
  FaultyReader(int64_t size, size_t readResult) : size_(size), readResult_(readResult) {}
  size_t sequential_read(void*, size_t) const override { return readResult_; }
  void rewind() override {}
  int64_t size() const override { return size_; }
  const char* name() const override { return "faulty.json"; }
  int64_t size_;
  size_t readResult_;
};

TEST(ReadWholeFileTest, RejectsNegativeSizesAndShortReads) {
  FaultyReader negative(-1, 1);
  EXPECT_THROW(
      {
        try {
          readWholeFile(negative);
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "Cannot determine the size of model file faulty.json");
          throw;
        }
      },
      std::runtime_error);
  FaultyReader shortRead(8, 0);
  EXPECT_THROW(readWholeFile(shortRead), std::runtime_error);
  FaultyReader empty(0, 0);
  EXPECT_EQ(readWholeFile(empty), "");
}

}  // namespace
}  // namespace korvanrt
