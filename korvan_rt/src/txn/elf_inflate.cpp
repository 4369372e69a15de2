#include "txn/elf_inflate.hpp"

#include <zlib.h>

#include <stdexcept>
#include <string>

namespace korvanrt {

bool isElfImage(const std::vector<char>& data) {
  return data.size() >= 4 && data[0] == 0x7F && data[1] == 'E' && data[2] == 'L' && data[3] == 'F';
}

std::vector<char> inflateElf(const std::vector<char>& compressed, uint64_t maxCapacity) {
  uint64_t capacity = uint64_t{64} << 20;
  for (;;) {
    std::vector<char> out(capacity);
    uLongf length = static_cast<uLongf>(capacity);
    const int rc = uncompress(reinterpret_cast<Bytef*>(out.data()), &length,
                              reinterpret_cast<const Bytef*>(compressed.data()),
                              static_cast<uLong>(compressed.size()));
    if (rc == Z_OK) {
      out.resize(length);
      return out;
    }
    // A module that would not fit even the largest capacity is refused
    // instead of growing without end.
    if (rc != Z_BUF_ERROR || capacity * 2 > maxCapacity)
      throw std::runtime_error("Uncompression failed with error code: " + std::to_string(rc));
    capacity *= 2;
  }
}

}  // namespace korvanrt
