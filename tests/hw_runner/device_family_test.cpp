// ELF-packaged partitions run on both device families that take ELF modules:
// the transaction family ("tmk") runs them through pellix_qel in ELF mode with
// buffers from argument 3 on, and "nd2", whose kernels take data buffers
// only, through cert_qel with buffers at their qel_id.

#include "hw_fixture.hpp"
#include "model/package.hpp"
#include "txn/cert_qel.hpp"

namespace hw_test {
namespace {

TEST(HWRunnerDeviceFamilies, ElfModulesRunOnTheirFamily) {
  struct Case {
    const char* device;
    uint32_t argumentBase;
    bool cert;
  };
  for (const Case c : {Case{"tmk", 3, false}, Case{"nd2", 0, true}}) {
    SCOPED_TRACE(c.device);
    auto m = example("conv_bf16_elf");
    m.elfArgumentBase = c.argumentBase;
    Scratch scratch;
    korvan::pack::writeModel(m, scratch.dir);
    const auto ref = referenceOf(scratch.dir, m);

    OptionsMap options{{"num_of_trelmrt_threads", int32_t{2}}};
    auto runner = makeRunner(scratch.dir, m, options, c.device);
    const auto& impl = runner->impl();
    ASSERT_NE(runner->get_context(), nullptr);
    EXPECT_TRUE(impl.elfMode_);
    EXPECT_EQ(impl.certDevice_, c.cert);
    EXPECT_EQ(impl.txnDevice_, !c.cert);
    EXPECT_EQ(dynamic_cast<korvanrt::cert_qel*>(impl.transactionRuntime()) != nullptr, c.cert);
    // Both buffer sets, twice.
    for (int round = 0; round < 4; ++round) expectReferenceOutputs(*runner, m, ref);

    // The same partition from the in-memory package.
    const std::string bytes = readText(scratch.dir / m.name / (m.name + ".kpkg"));
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    OptionsMap packageOptions{{"fbs_buffer", data},
                              {"fbs_buffer_size", static_cast<uint64_t>(bytes.size())}};
    const auto* root = korvanrt::verifyPackage(data, bytes.size());
    const auto& sub = korvanrt::subPartitionAt(*korvanrt::findModel(*root, m.name), 0);
    std::map<std::string, korvanrt::CustomOpFunction> noOps;
    korvanrt::KorvanHWRunner fromPackage(&sub, m.name, 0u, c.device, false, false, packageOptions,
                                         noOps);
    EXPECT_EQ(dynamic_cast<korvanrt::cert_qel*>(fromPackage.impl().transactionRuntime()) != nullptr,
              c.cert);
    for (int round = 0; round < 2; ++round) expectReferenceOutputs(fromPackage, m, ref);
  }
}

}  // namespace
}  // namespace hw_test
