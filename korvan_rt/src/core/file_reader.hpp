#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "korvanrt/io_api.hpp"

namespace korvanrt {

// A model file read through a buffered stream. Not mapped: mmap() is null.
class FileReader : public KorvanIOReader {
 public:
  // Takes ownership of `file` (open for reading in binary mode).
  FileReader(FILE* file, std::string name);
  ~FileReader() override;

  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  size_t sequential_read(void* buffer, size_t length) const override;
  void rewind() override;
  int64_t size() const override;
  const char* name() const override { return name_.c_str(); }

 private:
  FILE* file_;
  std::string name_;
};

}  // namespace korvanrt
