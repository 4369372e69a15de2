// Every example package runs through a hardware runner on the emulated
// device and reproduces its reference outputs, from the directory form and
// from the in-memory package.

#include "hw_fixture.hpp"
#include "model/package.hpp"

namespace hw_test {
namespace {

TEST(HWRunnerExamples, DirectoryPackagesMatchTheReference) {
  for (const int32_t sets : {1, 3}) {
    for (const auto& name : exampleNames()) {
      SCOPED_TRACE(name + ", buffer sets " + std::to_string(sets));
      const auto m = example(name);
      OptionsMap options{{"num_of_trelmrt_threads", sets}};
      auto runner = makeRunner(writtenExamples(), m, options);
      ASSERT_NE(runner->get_context(), nullptr);
      const auto ref = referenceOf(writtenExamples(), m);
      // Each buffer set in turn, twice, so that re-binding is exercised.
      for (int round = 0; round < 2 * sets; ++round) expectReferenceOutputs(*runner, m, ref);
    }
  }
}

TEST(HWRunnerExamples, InMemoryPackagesMatchTheReference) {
  for (const auto& name : exampleNames()) {
    const auto m = example(name);
    // A graph's package form carries one operator program only, and a custom
    // operator's metadata has no place in it.
    if (m.kind != PackageKind::plain) continue;
    SCOPED_TRACE(name);
    const std::string bytes = readText(writtenExamples() / m.name / (m.name + ".kpkg"));
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    OptionsMap options{{"fbs_buffer", data},
                       {"fbs_buffer_size", static_cast<uint64_t>(bytes.size())},
                       {"num_of_trelmrt_threads", int32_t{2}}};
    const auto* root = korvanrt::verifyPackage(data, bytes.size());
    const auto& sub = korvanrt::subPartitionAt(*korvanrt::findModel(*root, m.name), 0);
    std::map<std::string, korvanrt::CustomOpFunction> noOps;
    korvanrt::KorvanHWRunner runner(&sub, m.name, 0u, "tmk", false, false, options, noOps);
    ASSERT_NE(runner.get_context(), nullptr);
    const auto ref = referenceOf(writtenExamples(), m);
    for (int round = 0; round < 3; ++round) expectReferenceOutputs(runner, m, ref);
  }
}

}  // namespace
}  // namespace hw_test
