#pragma once

#include "korvanrt/io_api.hpp"

namespace korvanrt {

// Model files from the local file system. Stateless; may be shared.
class IOAPI : public KorvanIOAPI {
 public:
  ~IOAPI() override;
  // A FileReader, or an empty handle when the file cannot be opened.
  ReaderHandle open_reader(const char* path) override;
  // The regular files directly inside `path` (symbolic links followed), as
  // the directory path joined with the entry name, in directory order. An
  // empty listing when `path` is missing or not a directory; other
  // file-system errors throw std::filesystem::filesystem_error.
  DirectoryHandle open_directory(const char* path) override;
};

// Reads size() bytes of a freshly opened `reader` in one block. Throws std::runtime_error
// naming the file when the reported size is negative or the read comes up
// short. Leaves the position at the end of what was read.
std::string readWholeFile(KorvanIOReader& reader);

}  // namespace korvanrt
