#include "korvanrt/io_api.hpp"

#include <cstdlib>

namespace korvanrt {

KorvanIOReader::~KorvanIOReader() = default;

void* KorvanIOReader::mmap() {
  return nullptr;
}

KorvanIOAPI::~KorvanIOAPI() = default;

void freeDirectoryListing(DirectoryListing* listing) {
  if (listing == nullptr) return;
  for (uint64_t i = 0; i < listing->count && listing->names != nullptr; ++i) {
    std::free(listing->names[i]);
  }
  std::free(listing->names);
  delete listing;
}

}  // namespace korvanrt
