#include "client/options_record.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <any>
#include <iostream>
#include <new>
#include <sstream>
#include <string>

#include "korvanrt/options.hpp"
#include "korvanrt/types.hpp"

namespace {

using korvanrt::KorvanRTException;
using korvanrt::client::copyOptionsRecord;
using korvanrt::client::Options;
using ::testing::EndsWith;
using ::testing::HasSubstr;

// Captures what is printed to std::cout while alive.
class CoutCapture {
 public:
  CoutCapture() : old_(std::cout.rdbuf(buffer_.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(old_); }
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* old_;
};

Options callerRecord() {
  Options o;
  o.modelPath = "/models/resnet";
  o.deviceName = "pellix2";
  o.runnerFlag = true;
  o.intSetting = 7;
  o.apiVersionMinor = 9;
  o.apiVersionMajor = 9;
  o.modelName = "resnet50";
  o.options["rounding_mode"] = std::string("truncate");
  o.options["num_of_trelmrt_threads"] = 4;
  return o;
}

TEST(OptionsCopyIn, CopiesFieldsAndMergesNamedOptionsButNotVersions) {
  Options own;
  own.options["rounding_mode"] = std::string("round-to-nearest-even");
  own.options["use_host_ptr"] = true;
  own.copyIn(callerRecord());

  EXPECT_EQ(own.modelPath, "/models/resnet");
  EXPECT_EQ(own.deviceName, "pellix2");
  EXPECT_TRUE(own.runnerFlag);
  EXPECT_EQ(own.intSetting, 7);
  EXPECT_EQ(own.modelName, "resnet50");
  EXPECT_EQ(own.apiVersionMajor, 3);
  EXPECT_EQ(own.apiVersionMinor, 0);
  ASSERT_EQ(own.options.size(), 3u);
  EXPECT_EQ(std::any_cast<std::string>(own.options.at("rounding_mode")), "truncate");
  EXPECT_EQ(std::any_cast<int>(own.options.at("num_of_trelmrt_threads")), 4);
  EXPECT_TRUE(std::any_cast<bool>(own.options.at("use_host_ptr")));
}

TEST(OptionsRecord, SameSizeIsCopiedSilently) {
  const Options caller = callerRecord();
  Options own;
  CoutCapture out;
  copyOptionsRecord(own, &caller, sizeof(Options));
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(own.modelName, "resnet50");
  EXPECT_EQ(own.options.size(), 2u);
}

TEST(OptionsRecord, LargerRecordWarnsAndIsCopied) {
  // The caller's record is ours followed by fields this runtime does not know.
  struct alignas(Options) Larger {
    Options base = callerRecord();
    char extra[24] = {};
  } caller;
  Options own;
  CoutCapture out;
  copyOptionsRecord(own, &caller, sizeof(Larger));
  EXPECT_EQ(
      out.text(),
      "WARNING: Mismatch in size of Options struct.  User size: " + std::to_string(sizeof(Larger)) +
          ", expected size: " + std::to_string(sizeof(Options)) +
          ".\nPlease ensure the version of library used matches\n"
          " this KorvanRT library at \n" +
          korvanrt::client::runtimeLibraryFile() + "\nKorvanRT API Version = 3.0\n");
  EXPECT_EQ(own.modelPath, "/models/resnet");
  EXPECT_EQ(own.apiVersionMajor, 3);
}

// Where each field of Options sits, measured on a live record.
template <typename T>
size_t offsetIn(T Options::*field) {
  static const Options probe;
  return static_cast<size_t>(reinterpret_cast<const char*>(&(probe.*field)) -
                             reinterpret_cast<const char*>(&probe));
}

// A caller record of exactly `size` bytes in which only the fields that fit
// are constructed. Under AddressSanitizer any read past `size` is reported.
class ShortRecord {
 public:
  explicit ShortRecord(size_t size)
      : size_(size),
        bytes_(static_cast<char*>(
            ::operator new (size ? size : 1, std::align_val_t{alignof(Options)}))) {
    if (fits(&Options::modelPath)) new (at(&Options::modelPath)) std::string("/models/short");
    if (fits(&Options::deviceName)) new (at(&Options::deviceName)) std::string("pellix1");
    if (fits(&Options::runnerFlag)) new (at(&Options::runnerFlag)) bool(true);
    if (fits(&Options::intSetting)) new (at(&Options::intSetting)) int32_t(5);
    if (fits(&Options::modelName)) new (at(&Options::modelName)) std::string("short");
    if (fits(&Options::options)) {
      new (at(&Options::options)) std::map<std::string, std::any>{{"use_host_ptr", true}};
    }
  }
  ~ShortRecord() {
    using String = std::string;
    using Map = std::map<std::string, std::any>;
    if (fits(&Options::modelPath)) static_cast<String*>(at(&Options::modelPath))->~String();
    if (fits(&Options::deviceName)) static_cast<String*>(at(&Options::deviceName))->~String();
    if (fits(&Options::modelName)) static_cast<String*>(at(&Options::modelName))->~String();
    if (fits(&Options::options)) static_cast<Map*>(at(&Options::options))->~Map();
    ::operator delete (bytes_, std::align_val_t{alignof(Options)});
  }
  ShortRecord(const ShortRecord&) = delete;
  ShortRecord& operator=(const ShortRecord&) = delete;

  const void* data() const { return bytes_; }
  template <typename T>
  bool fits(T Options::*field) const {
    return offsetIn(field) + sizeof(T) <= size_;
  }

 private:
  template <typename T>
  void* at(T Options::*field) {
    return bytes_ + offsetIn(field);
  }
  size_t size_;
  char* bytes_;
};

TEST(OptionsRecord, ShorterRecordIsNeverReadPastItsEnd) {
  const Options defaults;
  for (size_t size = 0; size < sizeof(Options); ++size) {
    SCOPED_TRACE("caller size " + std::to_string(size));
    ShortRecord caller(size);
    Options own;
    CoutCapture out;
    copyOptionsRecord(own, caller.data(), size);

    EXPECT_THAT(out.text(), HasSubstr("User size: " + std::to_string(size) + ","));
    EXPECT_EQ(own.modelPath, caller.fits(&Options::modelPath) ? "/models/short" : "");
    EXPECT_EQ(own.deviceName, caller.fits(&Options::deviceName) ? "pellix1" : "");
    EXPECT_EQ(own.runnerFlag, caller.fits(&Options::runnerFlag));
    EXPECT_EQ(own.intSetting, caller.fits(&Options::intSetting) ? 5 : defaults.intSetting);
    EXPECT_EQ(own.modelName, caller.fits(&Options::modelName) ? "short" : "");
    EXPECT_EQ(own.options.size(), caller.fits(&Options::options) ? 1u : 0u);
    EXPECT_EQ(own.apiVersionMajor, 3);
  }
}

TEST(OptionsRecord, UnusableRecordsAreRefused) {
  alignas(Options) char storage[sizeof(Options) + 1] = {};
  const struct {
    const void* record;
    const char* message;
  } cases[] = {
      {nullptr, "ERROR: Options record is null"},
      {storage + 1, "ERROR: Options record is misaligned"},
  };
  for (const auto& c : cases) {
    Options own;
    try {
      copyOptionsRecord(own, c.record, sizeof(Options));
      ADD_FAILURE() << "accepted " << c.message;
    } catch (const KorvanRTException& e) {
      EXPECT_THAT(e.what(), EndsWith(c.message));
    }
  }
}

TEST(OptionsRecord, AddressOutsideAnyLibraryIsNotFound) {
  const auto heap = std::make_unique<int>(0);
  try {
    korvanrt::client::sharedObjectFileOf(heap.get());
    FAIL() << "heap memory named a library";
  } catch (const KorvanRTException& e) {
    EXPECT_THAT(e.what(), EndsWith(": ERROR: korvanrt is not found"));
  }
}

}  // namespace
