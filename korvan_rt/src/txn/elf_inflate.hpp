#pragma once

#include <cstdint>
#include <vector>

namespace korvanrt {

// True when the bytes begin with the ELF magic (0x7F 'E' 'L' 'F').
bool isElfImage(const std::vector<char>& data);

// Inflates a zlib-compressed ELF module. The output capacity starts at
// 64 MiB and doubles while zlib reports that it is too small, up to
// `maxCapacity`. Throws std::runtime_error
// "Uncompression failed with error code: <zlib code>".
std::vector<char> inflateElf(const std::vector<char>& compressed,
                             uint64_t maxCapacity = uint64_t{4} << 30);

}  // namespace korvanrt
