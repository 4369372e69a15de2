// The .npy reader on well-formed files of every supported type and on
// malformed ones (which must be refused without reading out of bounds).

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "npy_file.hpp"
#include "tensor_data.hpp"

namespace korvan::run {
namespace {

// A version 1.0 file from a header dictionary and data bytes.
std::string npy(const std::string& dict, const std::string& data, char major = 1) {
  std::string header = dict;
  header.append((64 - (10 + header.size() + 1) % 64) % 64, ' ');
  header.push_back('\n');
  std::string out("\x93NUMPY", 6);
  out.push_back(major);
  out.push_back('\0');
  out.push_back(static_cast<char>(header.size() & 0xff));
  out.push_back(static_cast<char>(header.size() >> 8));
  return out + header + data;
}

TEST(NpyFile, RoundTripsEveryType) {
  std::mt19937_64 generator(7);
  for (auto type : {ElementType::fp32, ElementType::bf16, ElementType::int8, ElementType::uint8,
                    ElementType::int16, ElementType::uint16, ElementType::boolean}) {
    const HostTensor t = randomTensor(type, {2, 3, 5}, generator);
    HostTensor back = pack::decodeNpy(pack::encodeNpy(t));
    // bfloat16 is stored as uint16 bit patterns and retagged by the reader's caller.
    EXPECT_EQ(back.type, type == ElementType::bf16 ? ElementType::uint16 : type);
    ASSERT_TRUE(adoptElementType(back, type));
    EXPECT_EQ(back.shape, t.shape);
    EXPECT_EQ(back.bytes, t.bytes);
  }
}

TEST(NpyFile, ReadsNumpyWrittenHeaders) {
  // Spellings NumPy itself writes: no trailing comma in a 2-d shape, '|i1'.
  const HostTensor a = pack::decodeNpy(
      npy("{'descr': '<f4', 'fortran_order': False, 'shape': (2, 1), }", std::string(8, '\0')));
  EXPECT_EQ(a.shape, (std::vector<std::uint64_t>{2, 1}));
  const HostTensor b = pack::decodeNpy(
      npy("{'descr': '|b1', 'fortran_order': False, 'shape': (3,), }", std::string("\1\0\1", 3)));
  EXPECT_EQ(b.type, ElementType::boolean);
  EXPECT_EQ(valueAt(b, 2), 1.0);
  const HostTensor scalar = pack::decodeNpy(
      npy("{'descr': '<i2', 'fortran_order': False, 'shape': (), }", std::string("\x05\x00", 2)));
  EXPECT_EQ(scalar.count(), 1u);
  EXPECT_EQ(valueAt(scalar, 0), 5.0);
}

TEST(NpyFile, RefusesMalformedFiles) {
  const std::string good = "{'descr': '<f4', 'fortran_order': False, 'shape': (2,), }";
  std::string hugeLength = npy(good, std::string(8, '\0'));
  hugeLength[8] = '\xff';
  hugeLength[9] = '\xff';
  std::string v2 = npy(good, std::string(8, '\0'), 2);
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"magic only", std::string("\x93NUMPY", 6)},
      {"wrong magic", "\x93NUMPX\x01\x00\x00\x00"},
      {"header length beyond the file", hugeLength},
      {"version 2 length beyond the file", v2.substr(0, 11)},
      {"version 4", npy(good, std::string(8, '\0'), 4)},
      {"no descr", npy("{'fortran_order': False, 'shape': (2,), }", std::string(8, '\0'))},
      {"unquoted descr",
       npy("{'descr': <f4, 'fortran_order': False, 'shape': (2,), }", std::string(8, '\0'))},
      {"big-endian",
       npy("{'descr': '>f4', 'fortran_order': False, 'shape': (2,), }", std::string(8, '\0'))},
      {"float64",
       npy("{'descr': '<f8', 'fortran_order': False, 'shape': (2,), }", std::string(16, '\0'))},
      {"Fortran order",
       npy("{'descr': '<f4', 'fortran_order': True, 'shape': (2,), }", std::string(8, '\0'))},
      {"no shape", npy("{'descr': '<f4', 'fortran_order': False, }", std::string(8, '\0'))},
      {"unterminated shape", npy("{'descr': '<f4', 'fortran_order': False, 'shape': (2, }", "")},
      {"negative extent",
       npy("{'descr': '<f4', 'fortran_order': False, 'shape': (-2,), }", std::string(8, '\0'))},
      {"letters in shape",
       npy("{'descr': '<f4', 'fortran_order': False, 'shape': (2a,), }", std::string(8, '\0'))},
      {"overflowing shape",
       npy("{'descr': '<f4', 'fortran_order': False, 'shape': (4294967296, 4294967296), }", "")},
      {"extent of 11 digits",
       npy("{'descr': '<f4', 'fortran_order': False, 'shape': (99999999999,), }", "")},
      {"data too short", npy(good, std::string(7, '\0'))},
      {"data too long", npy(good, std::string(9, '\0'))},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(pack::decodeNpy(c.bytes), std::runtime_error) << c.what;
  }
}

TEST(NpyFile, LoadNamesTheFile) {
  try {
    loadNpy("/nonexistent/input.npy");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/input.npy"), std::string::npos);
  }
}

}  // namespace
}  // namespace korvan::run
