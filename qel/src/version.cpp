#include "qel/version.hpp"

namespace qel {

const char* version() {
  return "2.0.0-emulated";
}

}  // namespace qel
