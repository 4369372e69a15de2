#include "core/file_io_api.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/file_reader.hpp"

namespace korvanrt {
namespace {

void deleteListing(DirectoryListing* listing) {
  freeDirectoryListing(listing);
}

char* mallocCopy(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

}  // namespace

IOAPI::~IOAPI() = default;

ReaderHandle IOAPI::open_reader(const char* path) {
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return empty_uniq<KorvanIOReader>();
  try {
    return uniq<KorvanIOReader>(new FileReader(file, path));
  } catch (...) {
    std::fclose(file);
    throw;
  }
}

DirectoryHandle IOAPI::open_directory(const char* path) {
  namespace fs = std::filesystem;
  const fs::path directory(path);

  DirectoryHandle listing(new DirectoryListing{}, deleteListing);
  if (!fs::is_directory(fs::status(directory))) return listing;

  std::vector<std::string> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
    fs::file_type type = entry.symlink_status().type();
    if (type == fs::file_type::unknown || type == fs::file_type::symlink) {
      type = entry.status().type();
    }
    if (type == fs::file_type::regular) files.push_back(entry.path().string());
  }
  if (files.empty()) return listing;

  listing->names = static_cast<char**>(std::calloc(files.size(), sizeof(char*)));
  if (listing->names == nullptr) throw std::bad_alloc();
  // count grows with every copy so that a failed allocation frees exactly
  // what was made.
  for (const std::string& file : files) {
    listing->names[listing->count] = mallocCopy(file);
    ++listing->count;
  }
  return listing;
}

std::string readWholeFile(KorvanIOReader& reader) {
  const char* name = reader.name() != nullptr ? reader.name() : "";
  const int64_t size = reader.size();
  if (size < 0) {
    throw std::runtime_error(std::string("Cannot determine the size of model file ") + name);
  }
  std::string content(static_cast<size_t>(size), '\0');
  if (size > 0 && reader.sequential_read(content.data(), content.size()) == 0) {
    throw std::runtime_error(std::string("Short read of model file ") + name);
  }
  return content;
}

}  // namespace korvanrt
