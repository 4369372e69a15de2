#include "npy_file.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace korvan::pack {

namespace {

constexpr char kMagic[] = "\x93NUMPY";

[[noreturn]] void bad(const std::string& what) {
  throw std::runtime_error(".npy: " + what);
}

// Value of `key` in the header dictionary text, up to the next top-level comma.
std::string field(const std::string& header, const std::string& key) {
  const auto at = header.find("'" + key + "'");
  if (at == std::string::npos) bad("header lacks '" + key + "'");
  auto pos = header.find(':', at);
  if (pos == std::string::npos) bad("header field '" + key + "' has no value");
  ++pos;
  while (pos < header.size() && header[pos] == ' ') ++pos;
  if (pos < header.size() && header[pos] == '(') {
    const auto end = header.find(')', pos);
    if (end == std::string::npos) bad("unterminated shape");
    return header.substr(pos, end - pos + 1);
  }
  const auto end = header.find_first_of(",}", pos);
  return header.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
}

ElementType typeOfDescriptor(const std::string& d) {
  for (auto t : {ElementType::fp32, ElementType::uint16, ElementType::int8, ElementType::uint8,
                 ElementType::int16, ElementType::int32, ElementType::boolean})
    if (d == npyDescriptor(t)) return t;
  if (d == "<i1") return ElementType::int8;
  if (d == "<u1") return ElementType::uint8;
  bad("unsupported dtype " + d);
}

}  // namespace

std::string encodeNpy(const HostTensor& tensor) {
  std::ostringstream dict;
  dict << "{'descr': '" << npyDescriptor(tensor.type) << "', 'fortran_order': False, 'shape': (";
  for (std::size_t i = 0; i < tensor.shape.size(); ++i) {
    dict << tensor.shape[i];
    if (tensor.shape.size() == 1 || i + 1 < tensor.shape.size()) dict << ",";
    if (i + 1 < tensor.shape.size()) dict << " ";
  }
  dict << "), }";
  std::string header = dict.str();
  // Magic (6) + version (2) + length (2) + header + '\n' is a multiple of 64.
  const std::size_t unpadded = 10 + header.size() + 1;
  header.append((64 - unpadded % 64) % 64, ' ');
  header.push_back('\n');
  std::string out(kMagic, 6);
  out.push_back('\x01');
  out.push_back('\x00');
  out.push_back(static_cast<char>(header.size() & 0xff));
  out.push_back(static_cast<char>(header.size() >> 8));
  out += header;
  out.append(reinterpret_cast<const char*>(tensor.bytes.data()), tensor.bytes.size());
  return out;
}

HostTensor decodeNpy(const std::string& bytes) {
  if (bytes.size() < 10 || bytes.compare(0, 6, kMagic, 6) != 0) bad("missing magic");
  const auto major = static_cast<unsigned char>(bytes[6]);
  std::size_t headerLength, start;
  if (major == 1) {
    headerLength =
        static_cast<unsigned char>(bytes[8]) | (static_cast<std::size_t>(bytes[9] & 0xff) << 8);
    start = 10;
  } else if (major == 2 || major == 3) {
    if (bytes.size() < 12) bad("truncated header");
    headerLength = 0;
    for (int i = 3; i >= 0; --i) headerLength = (headerLength << 8) | (bytes[8 + i] & 0xff);
    start = 12;
  } else {
    bad("unsupported version " + std::to_string(major));
  }
  if (headerLength > bytes.size() - start) bad("truncated header");
  const std::string header = bytes.substr(start, headerLength);
  std::string descr = field(header, "descr");
  if (descr.size() < 2 || descr.front() != '\'' || descr.back() != '\'') bad("bad descr");
  descr = descr.substr(1, descr.size() - 2);
  if (field(header, "fortran_order").find("False") == std::string::npos)
    bad("Fortran order is not supported");
  HostTensor t;
  t.type = typeOfDescriptor(descr);
  const std::string shape = field(header, "shape");
  std::string digits;
  for (char c : shape + ",") {
    if (c >= '0' && c <= '9') {
      digits.push_back(c);
    } else if (c == ',' || c == ')') {
      if (!digits.empty()) {
        if (digits.size() > 10) bad("extent too large");
        t.shape.push_back(std::stoull(digits));
        digits.clear();
      }
    } else if (c != '(' && c != ' ') {
      bad("bad shape " + shape);
    }
  }
  std::uint64_t size;
  try {
    size = elementCount(t.shape) * elementSize(t.type);
  } catch (const std::overflow_error&) {
    bad("shape too large");
  }
  const std::size_t dataStart = start + headerLength;
  if (bytes.size() - dataStart != size)
    bad("data holds " + std::to_string(bytes.size() - dataStart) + " bytes, shape needs " +
        std::to_string(size));
  t.bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(dataStart), bytes.end());
  return t;
}

void writeNpy(const std::filesystem::path& path, const HostTensor& tensor) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const auto data = encodeNpy(tensor);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

HostTensor readNpy(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path.string());
  std::ostringstream s;
  s << in.rdbuf();
  return decodeNpy(s.str());
}

}  // namespace korvan::pack
