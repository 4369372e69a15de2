#include <gtest/gtest.h>

#include "core/error.hpp"
#include "korvanrt/types.hpp"

namespace {

TEST(Exceptions, KorvanRTExceptionDecoratesWithFileAndLine) {
  try {
    throw korvanrt::KorvanRTException("boom", "korvan_rt/src/Thing", 42);
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "korvan_rt/src/Thing:42: boom");
  }
}

TEST(Exceptions, ThrowMacroNamesTheRaisingFile) {
  int line = 0;
  try {
    line = __LINE__ + 1;
    KORVAN_THROW("bad thing");
  } catch (const korvanrt::KorvanRTException& e) {
    EXPECT_EQ(std::string(e.what()),
              "exceptions_test.cpp:" + std::to_string(line) + ": bad thing");
  }
}

TEST(Exceptions, BadArgsTexts) {
  const std::pair<int, const char*> cases[] = {
      {0, "No error"},
      {1, "Incompatible input shape"},
      {2, "Incompatible output shape"},
      {3, "Wrong number of inputs"},
      {4, "Wrong number of outputs"},
      {9, ""},
      {-1, ""},
  };
  for (const auto& [code, text] : cases) {
    korvanrt::client::BadArgsException e(code);
    EXPECT_EQ(std::string(e.what()), std::string("Model argument error: ") + text);
    const korvanrt::client::Exception& base = e;
    EXPECT_STREQ(base.what(), e.what());
  }
}

}  // namespace
