#include "core/file_reader.hpp"

#include <sys/types.h>

#include <utility>

namespace korvanrt {

FileReader::FileReader(FILE* file, std::string name) : file_(file), name_(std::move(name)) {}

FileReader::~FileReader() {
  if (file_ != nullptr) std::fclose(file_);
}

size_t FileReader::sequential_read(void* buffer, size_t length) const {
  // One item of `length` bytes: 1 when the whole block arrived, else 0.
  return std::fread(buffer, length, 1, file_);
}

void FileReader::rewind() {
  std::rewind(file_);
}

int64_t FileReader::size() const {
  const off_t position = ftello(file_);
  fseeko(file_, 0, SEEK_END);
  const off_t end = ftello(file_);
  fseeko(file_, position, SEEK_SET);
  return static_cast<int64_t>(end);
}

}  // namespace korvanrt
