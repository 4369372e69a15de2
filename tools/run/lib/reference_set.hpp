#pragma once

// Sample inputs and expected outputs that come with a package: a directory
// holding "manifest.json" and the .npy files it lists. By default it is the
// "reference" directory beside the package (the layout korvan-pack writes:
// NAME/NAME/ or NAME/NAME.kpkg next to NAME/reference/).

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvan::run {

struct ReferenceFile {
  std::string name;
  std::filesystem::path file;
};

struct ReferenceSet {
  std::filesystem::path directory;
  std::vector<ReferenceFile> inputs, outputs;  // those of partition 0
};

// The reference directory that belongs to `package`, when one exists.
std::optional<std::filesystem::path> defaultReferenceDir(const std::filesystem::path& package);

// Reads `directory`/manifest.json; std::runtime_error on a malformed manifest.
ReferenceSet readReferenceSet(const std::filesystem::path& directory);

}  // namespace korvan::run
