// korvan-pack: writes model packages (directory and in-memory forms) and
// their reference results from model descriptions.

#include <CLI/CLI.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "model_description.hpp"
#include "package_writer.hpp"

namespace fs = std::filesystem;

namespace {

korvan::pack::ModelDescription load(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return korvan::pack::parseModelDescriptionText(text.str());
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Writes model packages for the emulated device: for each description, "
      "OUT/<name>/<name>/ (directory form), OUT/<name>/<name>.kpkg (in-memory form) "
      "and OUT/<name>/reference/ (sample inputs and expected outputs as .npy)."};
  std::vector<std::string> descriptions;
  std::string out = ".";
  std::string combined;
  bool checkOnly = false;
  app.add_option("descriptions", descriptions, "model description files (JSON)")
      ->required()
      ->check(CLI::ExistingFile);
  app.add_option("-o,--out", out, "output directory");
  app.add_option("--combined", combined,
                 "also write one in-memory package holding every described model to this file");
  app.add_flag("--check", checkOnly, "only check the descriptions, write nothing");
  CLI11_PARSE(app, argc, argv);

  std::vector<korvan::pack::ModelDescription> models;
  for (const auto& path : descriptions) {
    try {
      models.push_back(load(path));
      if (!checkOnly) korvan::pack::writeModel(models.back(), out);
    } catch (const std::exception& e) {
      std::cerr << "korvan-pack: " << path << ": " << e.what() << "\n";
      return 1;
    }
  }
  if (!combined.empty() && !checkOnly) {
    try {
      const auto bytes = korvan::pack::buildMemoryPackage(models);
      std::ofstream f(combined, std::ios::binary | std::ios::trunc);
      f.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
      if (!f) throw std::runtime_error("cannot write " + combined);
    } catch (const std::exception& e) {
      std::cerr << "korvan-pack: " << e.what() << "\n";
      return 1;
    }
  }
  return 0;
}
