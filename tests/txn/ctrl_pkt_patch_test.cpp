#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "package_generated.h"
#include "txn/ctrl_pkt_patch.hpp"

namespace {

using korvanrt::readCtrlPktPatchJson;

std::vector<ControlPacketPatch> readDocument(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse(text.c_str());
  EXPECT_FALSE(doc.HasParseError()) << text;
  std::vector<ControlPacketPatch> patches;
  EXPECT_EQ(readCtrlPktPatchJson(doc, patches), 0);
  return patches;
}

TEST(CtrlPktPatchDocument, ReadsBufferAndCoalescedLocations) {
  const auto patches = readDocument(R"({"external_buffers":{
    "0":{"name":"runtime_control_packet","qel_id":3,"size_in_bytes":64},
    "1":{"name":"ifm_ddr","qel_id":1,"size_in_bytes":64,"control_packet_patch_locations":[
         {"offset":8,"size":6,"operation":"add"},{"offset":-16,"size":4,"operation":"or"}]},
    "2":{"name":"coalesed_weights","qel_id":0,"size_in_bytes":64,
         "control_packet_patch_locations":[{"offset":0,"size":6,"operation":"add"}],
         "coalesed_buffers":[{"logical_id":0,"name":"a","control_packet_patch_locations":[
             {"offset":64,"size":6,"operation":"add"}]}]},
    "3":{"name":"spills","qel_id":4,"size_in_bytes":64,"coalesed_buffers":{"x":1}}}})");
  const std::vector<ControlPacketPatch> expected = {
      {8, 6, "add", "ifm_ddr"}, {-16, 4, "or", "ifm_ddr"}, {64, 6, "add", "a"}};
  EXPECT_EQ(patches, expected);
  EXPECT_TRUE(readDocument(R"({"external_buffers":{
    "0":{"name":"runtime_control_packet","qel_id":3,"size_in_bytes":64}}})")
                  .empty());
}

TEST(CtrlPktPatchDocument, StructuralFaultsThrow) {
  struct Case {
    const char* text;
    const char* message;  // exact, or null for any text
  };
  const Case cases[] = {
      {R"({"external_buffers":{"0":{"name":"ifm_ddr","qel_id":1}}})",
       "control_packet_patch_locations key not found for json object ifm_ddr\n"
       "If design is meant to run in control packet mode without SHIM DMA BD address patching, "
       "please provide --omit-ctrl-pkt-ddr-patch to the runner\n"},
      {R"({"external_buffers":{"0":{"name":"x","qel_id":1,"coalesed_buffers":[
          {"logical_id":2,"name":"c","control_packet_patch_locations":{}}]}}})",
       "control_packet_patch_locations key is not an array for json object c\n"},
      {R"({"buffers":{}})", nullptr},
      {R"({"external_buffers":[]})", nullptr},
      {R"({"external_buffers":{"0":7}})", nullptr},
      {R"({"external_buffers":{"0":{"qel_id":1}}})", nullptr},
      {R"({"external_buffers":{"0":{"name":"a","qel_id":-1}}})", nullptr},
      {R"({"external_buffers":{"0":{"name":"a"}}})", nullptr},
      {R"({"external_buffers":{"0":{"name":"a","qel_id":1,"coalesed_buffers":[{"name":"b"}]}}})",
       nullptr},
      {R"({"external_buffers":{"0":{"name":"a","qel_id":1,"control_packet_patch_locations":[
          {"offset":"8","size":6,"operation":"add"}]}}})",
       nullptr},
      {R"({"external_buffers":{"0":{"name":"a","qel_id":1,"control_packet_patch_locations":[
          {"offset":4294967296,"size":6,"operation":"add"}]}}})",
       nullptr},
      {R"({"external_buffers":{"0":{"name":"a","qel_id":1,"control_packet_patch_locations":[
          {"offset":8,"size":6}]}}})",
       nullptr},
      {R"({"external_buffers":{"0":{"name":"a","qel_id":1,"control_packet_patch_locations":[3]}}})",
       nullptr},
  };
  for (const auto& c : cases) {
    rapidjson::Document doc;
    doc.Parse(c.text);
    std::vector<ControlPacketPatch> patches;
    try {
      readCtrlPktPatchJson(doc, patches);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const std::runtime_error& e) {
      if (c.message) {
        EXPECT_STREQ(e.what(), c.message);
      }
    }
  }
}

// The text as the package's byte vector.
bool readFlat(const std::string& text, std::vector<ControlPacketPatch>& patches) {
  flatbuffers::FlatBufferBuilder fbb;
  const std::vector<uint8_t> bytes(text.begin(), text.end());
  fbb.Finish(trelm::fbs::CreateBinaryDirect(fbb, 0, nullptr, nullptr, nullptr, &bytes));
  const auto* binary = flatbuffers::GetRoot<trelm::fbs::Binary>(fbb.GetBufferPointer());
  return readCtrlPktPatchJson(binary->ctrl_pkt_patch_json(), patches);
}

TEST(CtrlPktPatchFlat, ReadsPatchesInOrder) {
  std::vector<ControlPacketPatch> patches;
  EXPECT_FALSE(readFlat(R"({"offset_unit":"byte","size_unit":"byte","control_packet_patch":{
      "z":{"offset":-4,"size":6,"operation":"add","name":"ofm_ddr"},
      "a":{"offset":16,"size":4,"operation":"add","name":"ifm_ddr"}}})",
                        patches));
  const std::vector<ControlPacketPatch> expected = {{-4, 6, "add", "ofm_ddr"},
                                                    {16, 4, "add", "ifm_ddr"}};
  EXPECT_EQ(patches, expected);
}

TEST(CtrlPktPatchFlat, FailuresAreReportedOnTheConsole) {
  struct Case {
    const char* text;
    const char* err;  // exact standard-error text, or null for any
    const char* out;
  };
  const Case cases[] = {
      {"{\"control_packet_patch\":{",
       "JSON parsing error"
       "Missing a name for object member.",
       ""},
      {R"({"offset_unit":"word","control_packet_patch":{}})",
       "Only offset_unit = byte is supported\n", ""},
      {R"({"size_unit":"bit","control_packet_patch":{}})", "Only size_unit = byte is supported\n",
       ""},
      {R"({"control_packet_patch":[]})", "control_packet_patch key not found or not an object.\n",
       ""},
      {R"({"control_packet_patch":{}})", "", "[Error] Num packets for patch = 0!!!\n"},
      {R"({"control_packet_patch":{"a":5}})", nullptr, ""},
      {R"({"control_packet_patch":{"a":{"offset":1,"size":6,"operation":"add"}}})", nullptr, ""},
      {"[1]", nullptr, ""},
  };
  for (const auto& c : cases) {
    std::vector<ControlPacketPatch> patches;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const bool failed = readFlat(c.text, patches);
    const auto out = testing::internal::GetCapturedStdout();
    const auto err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(failed) << c.text;
    if (c.err)
      EXPECT_EQ(err, c.err) << c.text;
    else
      EXPECT_FALSE(err.empty()) << c.text;
    EXPECT_EQ(out, c.out) << c.text;
  }
}

}  // namespace
