#include "profiling/timestamps.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "korvanrt/types.hpp"
#include "profiling/begin_time.hpp"

namespace {

using korvanrt::timestamps;
using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

std::vector<std::string> keysOf(const Json& object) {
  std::vector<std::string> keys;
  for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
  return keys;
}

// Nanoseconds in a "<n> ns" text.
long long nsValue(const Json& text) {
  const std::string s = text.get<std::string>();
  EXPECT_EQ(s.substr(s.size() - 3), " ns");
  return std::stoll(s.substr(0, s.size() - 3));
}

void open(timestamps& t, const std::string& label) {
  t.label_ = label;
  t.start_ = timestamps::clock::now();
}

TEST(Timestamps, EndWithoutOpenIntervalChangesNothing) {
  timestamps t;
  t.end();
  EXPECT_TRUE(t.json_.is_null());
  open(t, "A");
  t.end();
  const Json before = t.json_;
  t.end();
  EXPECT_EQ(t.json_, before);
}

TEST(Timestamps, IntervalsOfOneRunShareTheLabelsList) {
  timestamps t;
  open(t, "Kernel Execution");
  t.start_ = korvanrt::begin_time + 5ms;
  t.end();
  open(t, "Kernel Execution");
  t.end();
  open(t, "Other");
  t.end();

  ASSERT_TRUE(t.json_.is_array());
  ASSERT_EQ(t.json_.size(), 1u);
  EXPECT_EQ(keysOf(t.json_[0]), (std::vector<std::string>{"Kernel Execution", "Other"}));
  const Json& intervals = t.json_[0]["Kernel Execution"];
  ASSERT_EQ(intervals.size(), 2u);
  const Json& first = intervals[0];
  EXPECT_EQ(keysOf(first), (std::vector<std::string>{"start", "end", "duration"}));
  EXPECT_EQ(first["start"], "5000000 ns");
  EXPECT_EQ(nsValue(first["duration"]), nsValue(first["end"]) - nsValue(first["start"]));
  EXPECT_TRUE(t.label_.empty());
}

TEST(Timestamps, RunCountSelectsTheSlot) {
  timestamps t;
  t.count_ = 2;
  open(t, "A");
  t.end();
  ASSERT_EQ(t.json_.size(), 3u);
  EXPECT_TRUE(t.json_[0].is_null());
  EXPECT_TRUE(t.json_[1].is_null());
  EXPECT_EQ(t.json_[2]["A"].size(), 1u);

  t.count_ = 0;
  open(t, "B");
  t.end();
  EXPECT_EQ(keysOf(t.json_[0]), std::vector<std::string>{"B"});
  EXPECT_EQ(t.json_.size(), 3u);

  t.count_ = -1;
  open(t, "C");
  EXPECT_THROW(t.end(), korvanrt::KorvanRTException);
}

TEST(Timestamps, SectionsAreSortedAccumulatedAndClearedAtEnd) {
  timestamps t;
  open(t, "A");
  t.start_section("b");
  t.accum_section("b");
  t.start_section("a");
  t.sectionStarts_["a"] = timestamps::clock::now() - 1s;  // one long run of "a"
  t.accum_section("a");
  t.start_section("a");
  t.accum_section("a");
  t.accum_section("never started");
  t.end();

  const Json& sections = t.json_[0]["A"][0]["sections"];
  EXPECT_EQ(keysOf(sections), (std::vector<std::string>{"a", "b", "never started"}));
  EXPECT_GE(nsValue(sections["a"]), 1000000000);
  EXPECT_LT(nsValue(sections["a"]), 60000000000);
  EXPECT_EQ(sections["never started"], "0 ns");
  EXPECT_TRUE(t.sectionStarts_.empty());
  EXPECT_TRUE(t.sectionTotals_.empty());

  // Sections of one interval do not leak into the next.
  open(t, "A");
  t.end();
  EXPECT_FALSE(t.json_[0]["A"][1].contains("sections"));
}

TEST(Timestamps, SectionsNeedAnOpenInterval) {
  timestamps t;
  try {
    t.start_section("s1");
    ADD_FAILURE();
  } catch (const korvanrt::KorvanRTException& e) {
    EXPECT_STREQ(e.what(),
                 "korvan_rt/include/KorvanProfile:111: Can't start profiling section s1 "
                 "without a label start");
  }
  try {
    t.accum_section("s2");
    ADD_FAILURE();
  } catch (const korvanrt::KorvanRTException& e) {
    EXPECT_STREQ(e.what(),
                 "korvan_rt/include/KorvanProfile:119: Can't accumulate time for profiling "
                 "section s2 without a label start");
  }
}

}  // namespace
