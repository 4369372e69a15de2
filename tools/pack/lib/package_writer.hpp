#pragma once

// Writes packages of described models: the directory form, the in-memory
// (FlatBuffers) form and the reference results.

#include <cstdint>
#include <filesystem>
#include <vector>

#include "model_description.hpp"

namespace korvan::pack {

// The directory form with `modelDir` as the package directory. Custom
// graphs put their operator directories and the shared container next to
// `modelDir`. Plain packages carry partition-info.json and one numbered
// directory per partition; a custom operator has only directory "0".
void writeDirectoryPackage(const ModelDescription& model, const std::filesystem::path& modelDir);

// One FlatBuffers buffer holding every model (sorted by name; the
// containers shared by key). Names must be unique.
std::vector<std::uint8_t> buildMemoryPackage(const std::vector<ModelDescription>& models);

// Sample inputs and expected outputs as .npy files under `dir`:
// <partition>/input/<name>.npy and <partition>/output/<name>.npy, plus
// manifest.json listing them with types and shapes.
void writeReference(const ModelDescription& model, const std::filesystem::path& dir);

// Everything for one model under `outDir`/<name>/: the package directory
// <name>/ (with operator siblings for custom graphs), <name>.kpkg (the
// in-memory form) and reference/.
void writeModel(const ModelDescription& model, const std::filesystem::path& outDir);

}  // namespace korvan::pack
