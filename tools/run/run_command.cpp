// korvanrt-run run: one inference, outputs written and compared.

#include <fmt/core.h>

#include <chrono>
#include <cmath>
#include <stdexcept>

#include "commands.hpp"
#include "comparison.hpp"

namespace korvan::run {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double microsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

std::string indexText(const std::vector<std::uint64_t>& index) {
  return shapeText(index);
}

// Expected values per output: explicit --expected files, else the package's
// reference outputs (unless the inputs were not the package's samples).
std::vector<std::optional<fs::path>> expectedFiles(const RunSettings& settings,
                                                   const PartitionInfo& partition,
                                                   const std::optional<ReferenceSet>& references) {
  std::vector<std::optional<fs::path>> files(partition.outputs.size());
  for (const auto& text : settings.expected) {
    const TensorSource source = parseTensorSource(text, false);
    const std::size_t i = findTensor(partition.outputs, source.name, "output");
    if (files[i]) throw std::invalid_argument("expected output " + source.name + " is given twice");
    files[i] = source.file;
  }
  if (!settings.expected.empty() || !references) return files;
  if (!settings.common.inputs.empty()) {
    fmt::print(
        "compare     skipped: inputs given on the command line; use --expected to compare\n");
    return files;
  }
  for (std::size_t i = 0; i < partition.outputs.size(); ++i)
    for (const auto& ref : references->outputs)
      if (ref.name == partition.outputs[i].name) files[i] = ref.file;
  return files;
}

}  // namespace

int runCommand(const RunSettings& settings) {
  const PackageInfo info = readPackage(settings.common.package, settings.common.model);
  const PartitionInfo& partition = info.partitions.at(0);
  const auto references = findReferenceSet(info, settings.common.referenceDir);
  const ModelInputs inputs = gatherInputs(info, settings.common, references, false);
  const auto expected = settings.noCompare
                            ? std::vector<std::optional<fs::path>>(partition.outputs.size())
                            : expectedFiles(settings, partition, references);
  // Read and check the expected outputs before running anything.
  std::vector<std::optional<HostTensor>> expectedTensors(partition.outputs.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (!expected[i]) continue;
    HostTensor tensor = loadNpy(*expected[i]);
    const std::uint64_t b = checkCallerTensor(partition.outputs[i], tensor, "expected output");
    if (b != inputs.batches)
      throw std::invalid_argument("expected output " + partition.outputs[i].name + ": expected " +
                                  shapeText(callerShape(partition.outputs[i], inputs.batches)) +
                                  ", given " + shapeText(tensor.shape));
    expectedTensors[i] = std::move(tensor);
  }
  if (!settings.outputDir.empty()) fs::create_directories(settings.outputDir);

  fmt::print("model       {} ({})\n", info.modelName,
             info.form == PackageForm::directory ? "directory" : "in-memory file");
  if (inputs.usedRandom) fmt::print("seed        {}\n", *inputs.seed);

  ProfileScope profile(settings.common.profileDir);
  std::vector<HostTensor> outputs;
  {
    const auto options = sessionOptions(info, settings.common, profile);
    profile.enter();
    const auto loadStart = Clock::now();
    Session session(info.form == PackageForm::directory ? fs::absolute(info.path).string() : "",
                    info.form == PackageForm::memory ? info.modelName : "", settings.common.device,
                    options);
    fmt::print("load        {:.1f} ms\n", microsSince(loadStart) / 1000.0);
    Binding binding(*session, partition, inputs.tensors, inputs.batches,
                    settings.common.io == "pool");
    const auto start = Clock::now();
    binding.acquire();
    if (profile.active()) session->timestampStart("KorvanRT Total");
    binding.forward();
    if (profile.active()) session->timestampEnd("KorvanRT Total");
    binding.release();
    fmt::print("inference   {:.1f} us\n", microsSince(start));
    outputs = binding.outputs();
  }
  profile.leave();
  if (profile.active()) exportProfile(profile);

  for (std::size_t i = 0; i < outputs.size(); ++i) {
    if (settings.outputDir.empty()) break;
    const fs::path file = fs::path(settings.outputDir) / (partition.outputs[i].name + ".npy");
    saveNpy(file, outputs[i]);
    fmt::print("output      {} -> {}\n", partition.outputs[i].name, file.string());
  }

  bool compared = false, passed = true;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    if (!expectedTensors[i]) continue;
    compared = true;
    Tolerance tolerance = defaultTolerance(outputs[i].type);
    if (settings.atol >= 0) tolerance.atol = settings.atol;
    if (settings.rtol >= 0) tolerance.rtol = settings.rtol;
    const ComparisonResult r =
        compareTensors(partition.outputs[i].name, outputs[i], *expectedTensors[i], tolerance,
                       settings.showMismatches);
    passed = passed && r.passed();
    fmt::print(
        "{:<11} {} {}: max abs error {:.6g}, max rel error {:.6g}, mismatches {}/{} ({:.4g}%), "
        "atol {:g} rtol {:g}\n",
        r.passed() ? "PASS" : "MISMATCH", partition.outputs[i].name, shapeText(outputs[i].shape),
        r.maxAbsError, r.maxRelError, r.mismatches, r.elements, 100.0 * r.mismatchShare(),
        tolerance.atol, tolerance.rtol);
    for (const auto& m : r.firstMismatches)
      fmt::print("            at {}: got {:.9g}, expected {:.9g}\n", indexText(m.index), m.actual,
                 m.expected);
  }
  if (!compared) {
    fmt::print("result      ran; no expected outputs to compare against\n");
    return kExitPass;
  }
  fmt::print("result      {}\n", passed ? "PASS" : "MISMATCH");
  return passed ? kExitPass : kExitMismatch;
}

}  // namespace korvan::run
