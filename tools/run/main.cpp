// korvanrt-run: runs compiled model packages through libkorvanrt.so, checks
// their outputs, measures them and exports where the time goes.

#include <fmt/core.h>
#include <CLI/CLI.hpp>

#include <exception>
#include <filesystem>

#include "commands.hpp"

namespace {

namespace fs = std::filesystem;
using namespace korvan::run;

std::string absolutePath(const std::string& path) {
  return path.empty() ? path : fs::absolute(path).string();
}

// Paths become absolute before anything runs: with --profile the working
// directory changes while the session lives.
void makeAbsolute(CommonSettings& c) {
  c.package = absolutePath(c.package);
  c.referenceDir = absolutePath(c.referenceDir);
  c.cacheDir = absolutePath(c.cacheDir);
  c.profileDir = absolutePath(c.profileDir);
}

void addCommon(CLI::App& command, CommonSettings& c, bool withRandomNote) {
  command.add_option("package", c.package, "package directory or in-memory package file (.kpkg)")
      ->required();
  command.add_option("--model", c.model, "model to select in an in-memory package");
  command.add_option("--device", c.device,
                     "device generation: tmk, pvk, Tamsk, Pavik (transaction family) or nd2 "
                     "(default tmk)");
  command.add_option("--input", c.inputs,
                     withRandomNote ? "NAME=@file.npy or NAME=random (default: the package's "
                                      "samples, else random)"
                                    : "NAME=@file.npy or NAME=random (default: the package's "
                                      "samples)");
  command.add_option("--seed", c.seed, "seed of random inputs (recorded when not given)");
  command.add_option("--option", c.options,
                     "runtime option KEY=VALUE (e.g. num_of_trelmrt_threads=2)");
  command.add_option("--io", c.io, "how tensors reach the device: copy or pool")
      ->check(CLI::IsMember({"copy", "pool"}));
  command.add_option("--reference", c.referenceDir,
                     "directory with manifest.json of sample inputs and expected outputs "
                     "(default: reference/ beside the package)");
  command.add_option("--cache-dir", c.cacheDir, "cache directory for an in-memory package");
  command.add_option("--profile", c.profileDir,
                     "switch on layer profiling; write the runtime's profiling files and "
                     "trace.json (Chrome trace) into this directory");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"korvanrt-run: run, check, measure and profile Korvan model packages"};
  app.require_subcommand(1);

  InfoSettings info;
  auto* infoCmd = app.add_subcommand("info", "describe a package");
  infoCmd->add_option("package", info.package, "package directory or in-memory package file")
      ->required();
  infoCmd->add_option("--model", info.model, "model to select in an in-memory package");
  infoCmd->add_option("--reference", info.referenceDir, "directory with manifest.json");
  infoCmd->add_flag("--json", info.json, "print JSON");

  RunSettings run;
  auto* runCmd = app.add_subcommand("run", "run one inference and compare its outputs");
  addCommon(*runCmd, run.common, false);
  runCmd->add_option("--output-dir", run.outputDir, "write every output as NAME.npy here");
  runCmd->add_option("--expected", run.expected,
                     "NAME=@file.npy (default: the package's reference outputs)");
  runCmd->add_flag("--no-compare", run.noCompare, "do not compare outputs");
  runCmd->add_option("--atol", run.atol, "absolute tolerance (default per type)")
      ->check(CLI::NonNegativeNumber);
  runCmd->add_option("--rtol", run.rtol, "relative tolerance (default per type)")
      ->check(CLI::NonNegativeNumber);
  runCmd->add_option("--show-mismatches", run.showMismatches, "mismatching elements to list");

  BenchCommandSettings bench;
  auto* benchCmd = app.add_subcommand("bench", "measure latency and throughput");
  addCommon(*benchCmd, bench.common, true);
  benchCmd->add_option("--warmup", bench.warmup, "inferences before measuring (default 10)");
  auto* iterations =
      benchCmd->add_option("--iterations", bench.iterations, "measured inferences (default 100)");
  benchCmd->add_option("--duration", bench.duration, "stop after this many seconds")
      ->check(CLI::NonNegativeNumber);
  benchCmd->add_option("--threads", bench.threads, "concurrent callers (default 1)")
      ->check(CLI::Range(1, 256));
  benchCmd->add_flag("--async", bench.async,
                     "use forwardAsync (two inferences in flight per caller)");
  benchCmd->add_option("--report", bench.report, "write a JSON report here");
  benchCmd->add_option("--times", bench.times, "stream each latency as a JSON line here");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitPass : kExitError;
  }

  try {
    if (*infoCmd) {
      info.package = absolutePath(info.package);
      info.referenceDir = absolutePath(info.referenceDir);
      return infoCommand(info);
    }
    if (*runCmd) {
      makeAbsolute(run.common);
      run.outputDir = absolutePath(run.outputDir);
      return runCommand(run);
    }
    bench.iterationsGiven = iterations->count() > 0;
    makeAbsolute(bench.common);
    bench.report = absolutePath(bench.report);
    bench.times = absolutePath(bench.times);
    return benchCommand(bench);
  } catch (const std::exception& e) {
    std::fflush(stdout);
    fmt::print(stderr, "error: {}\n", e.what());
    return kExitError;
  }
}
