#pragma once

// Shared pieces of the transaction runtime tests: in-memory model files,
// device contexts on fresh containers, and the small partition that copies
// an input to an output through addresses read from its control packet.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/qel_context.hpp"
#include "korvanrt/io_api.hpp"
#include "qel/fabpak_builder.hpp"
#include "qel/program_builder.hpp"

namespace txn_test {

// A model file held in memory.
class MemoryReader : public korvanrt::KorvanIOReader {
 public:
  MemoryReader(std::vector<char> content, std::string name)
      : content_(std::move(content)), name_(std::move(name)) {}
  MemoryReader(const std::string& text, std::string name)
      : MemoryReader(std::vector<char>(text.begin(), text.end()), std::move(name)) {}
  size_t sequential_read(void* buffer, size_t length) const override {
    if (length == 0 || position_ + length > content_.size()) return 0;
    std::memcpy(buffer, content_.data() + position_, length);
    position_ += length;
    return 1;
  }
  void rewind() override { position_ = 0; }
  int64_t size() const override { return static_cast<int64_t>(content_.size()); }
  const char* name() const override { return name_.c_str(); }

 private:
  std::vector<char> content_;
  std::string name_;
  mutable size_t position_ = 0;
};

inline std::vector<char> containerBytes(uint8_t id) {
  std::array<uint8_t, 16> b{0x7a, 0x11, 0x5e};
  b[15] = id;
  return qel::fabpak_builder(qel::uuid(b)).add_kernel("DPU").build();
}

// Each test that needs a context of its own passes a distinct id; contexts
// live until the process ends.
inline pellix::qel_context& context(uint8_t id) {
  return pellix::qel_context::get_instance(containerBytes(id), "DPU", {{"gops", 1}});
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

// Offsets of the control packet of the copy partition.
inline constexpr uint32_t kCtrlPktSize = 64;
inline constexpr uint32_t kInputWord = 8;
inline constexpr uint32_t kOutputWord = 24;
inline constexpr uint32_t kCopyBytes = 32;
// The pristine input word carries junk above bit 47 and a byte offset of 16
// below it: the copy reads from input + 16.
inline constexpr uint64_t kInputPristine = 0xABCD000000000010ull;
inline constexpr uint32_t kInputSkew = 16;

inline std::vector<char> copyCtrlPkt() {
  std::vector<char> pkt(kCtrlPktSize, 0);
  std::memcpy(pkt.data() + kInputWord, &kInputPristine, 8);
  return pkt;
}

// Copies kCopyBytes from the address in the input word to the address in the
// output word of the control packet (kernel argument 6).
inline qel::program::builder copyThroughCtrlPkt() {
  using qel::program::operand;
  qel::program::builder p;
  p.copy(operand::control_word(6, kOutputWord), operand::control_word(6, kInputWord), kCopyBytes);
  return p;
}

inline std::string patchLocation(int64_t offset) {
  return "[{\"offset\":" + std::to_string(offset) + ",\"size\":6,\"operation\":\"add\"}]";
}

// external_buffer_id.json of the copy partition.
inline std::string copyDescription(int64_t inputOffset = kInputWord,
                                   int64_t outputOffset = kOutputWord) {
  return R"({"external_buffers":{
    "cp":{"name":"runtime_control_packet","qel_id":3,"size_in_bytes":64},
    "in":{"name":"ifm_ddr","qel_id":1,"size_in_bytes":64,"control_packet_patch_locations":)" +
         patchLocation(inputOffset) + R"(},
    "out":{"name":"ofm_ddr","qel_id":2,"size_in_bytes":64,"control_packet_patch_locations":)" +
         patchLocation(outputOffset) + "}}}";
}

inline std::string tensorEntry(const std::string& name) {
  return R"({"name":")" + name +
         R"(","scale_factor":0.5,"cpu_format":"NCHW","cpu_dtype":"float","cpu_shape":[1,2,2,2],)"
         R"("hw_format":"NHWC","hw_dtype":"int8","hw_shape":[1,2,2,4]})";
}

inline std::string copyHsi() {
  return "{\"inputs\":[" + tensorEntry("ifm_ddr") + "],\"outputs\":[" + tensorEntry("ofm_ddr") +
         "]}";
}

}  // namespace txn_test
