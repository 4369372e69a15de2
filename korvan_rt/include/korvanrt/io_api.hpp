#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "korvanrt/export.hpp"

namespace korvanrt {

// One open model file.
class KORVANRT_API KorvanIOReader {
 public:
  virtual ~KorvanIOReader();
  // Reads `length` bytes as one block from the current position. Returns 1
  // when the whole block was read, 0 otherwise.
  virtual size_t sequential_read(void* buffer, size_t length) const = 0;
  virtual void rewind() = 0;
  // Total length of the file; the read position is unchanged.
  virtual int64_t size() const = 0;
  virtual const char* name() const = 0;
  // The whole file in host memory, or null when the implementation cannot
  // expose it. Non-null memory must stay valid and unchanged while any
  // device buffer made over it lives, readable up to size() rounded up to
  // 4096 bytes.
  virtual void* mmap();
};

// Files found by KorvanIOAPI::open_directory. `names` and each name are
// malloc'ed; the record itself is new'ed.
struct DirectoryListing {
  char** names = nullptr;
  uint64_t count = 0;
};

using ReaderDeleter = void (*)(KorvanIOReader*);
using ReaderHandle = std::unique_ptr<KorvanIOReader, ReaderDeleter>;
using DirectoryDeleter = void (*)(DirectoryListing*);
using DirectoryHandle = std::unique_ptr<DirectoryListing, DirectoryDeleter>;

template <typename T>
std::unique_ptr<T, void (*)(T*)> uniq(T* object) {
  return std::unique_ptr<T, void (*)(T*)>(object, [](T* p) { delete p; });
}

template <typename T>
std::unique_ptr<T, void (*)(T*)> empty_uniq() {
  return std::unique_ptr<T, void (*)(T*)>(nullptr, [](T*) {});
}

// Frees every name, the name array and the record.
KORVANRT_API void freeDirectoryListing(DirectoryListing* listing);

// Opens model files. A caller may supply its own through the option "io_api".
class KORVANRT_API KorvanIOAPI {
 public:
  virtual ~KorvanIOAPI();
  // An empty handle when the file cannot be opened.
  virtual ReaderHandle open_reader(const char* path) = 0;
  // The regular files directly inside `path`; an empty listing when `path`
  // is not a directory.
  virtual DirectoryHandle open_directory(const char* path) = 0;
};

}  // namespace korvanrt
