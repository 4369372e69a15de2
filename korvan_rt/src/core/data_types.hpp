#pragma once

#include <cstddef>
#include <string>

#include "korvanrt/types.hpp"

namespace korvanrt {

// Byte size of an element named in a caller's tensor record. Accepts more
// spellings than stringToDataType (int32, int64, double, ...). Throws
// std::invalid_argument for any other text.
size_t datatypeToSize(const std::string& text);

// Bytes per element of a DataType; throws std::invalid_argument for values
// outside the enumeration.
size_t elementSize(client::DataType type);

}  // namespace korvanrt
