#pragma once

namespace qel {

// Version string of the emulated device runtime.
const char* version();

}  // namespace qel
