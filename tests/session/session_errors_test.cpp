// Loading errors, inference errors that leave the session usable, the model
// registry and the asynchronous waiting rules.

#include <chrono>
#include <cstdlib>
#include <future>

#include "qel/emulator.hpp"
#include "session/private_impl.hpp"
#include "session_fixture.hpp"

namespace session_test {
namespace {

using korvanrt::client::ErtIoTypeNew;

// A copy of a written example's package directory that a test may change.
fs::path copyOfPackage(const fs::path& scratch, const std::string& name) {
  const auto to = scratch / name;
  fs::create_directories(scratch);
  fs::copy(writtenExamples() / name, to, fs::copy_options::recursive);
  return to / name;
}

TEST(SessionLoading, PackageErrorsGiveTheirMessages) {
  const Scratch scratch;
  const auto info = [&](const std::string& tag, const std::string& pattern,
                        const std::string& with) {
    const auto dir = copyOfPackage(scratch.dir / tag, "loopback_int8_hcwnc8");
    replaceInFile(dir / "partition-info.json", pattern, with);
    return dir;
  };
  const std::string prefix = "ERROR: Korvan model partition info file ";
  struct Case {
    std::string what;
    fs::path dir;
    std::string tail;
  } cases[] = {
      {"partition count as a float",
       info("a", "\"num_kte_partitions\": 1", "\"num_kte_partitions\": 2.0"),
       prefix + "has no valid num_kte_partitions entry.\n"},
      {"no model name", info("b", "\"modelname\"", "\"model\""),
       prefix + "has no valid modelname string entry.\n"},
      {"profiling flag as text",
       info("c", "\"vistrel_profiling_enabled\": false", "\"vistrel_profiling_enabled\": \"no\""),
       prefix + "has no valid vistrel_profiling_enabled entry.\n"},
      {"not JSON", info("d", "{", "["), "Error: failed to parse partition-info.json file - "},
      {"missing directory", scratch.dir / "nowhere",
       "Partition Info JSON path " + (scratch.dir / "nowhere").string() +
           "/partition-info.json not valid!"},
  };
  for (const auto& c : cases) {
    const auto message = messageOf([&] { openSession(directoryOptions(c.dir)); });
    EXPECT_NE(message.find(c.tail), std::string::npos) << c.what << ": " << message;
  }
}

TEST(SessionLoading, RunnerTypesNotInThisBuildAreRefused) {
  const auto dir = writtenExamples() / "loopback_int8_hcwnc8" / "loopback_int8_hcwnc8";
  Options o = directoryOptions(dir);
  o.options["runner_type"] = std::string("ktesim");
  EXPECT_TRUE(endsWith(messageOf([&] { openSession(o); }),
                       ": Runner type ktesim is not available in this build"));

  // The checks made before creating the runner come first.
  Options custom = directoryOptions(writtenExamples() / "custom_op_copy" / "custom_op_copy");
  custom.options["runner_type"] = std::string("ktesim");
  EXPECT_TRUE(endsWith(messageOf([&] { openSession(custom); }),
                       ": Error: KTE Simulation not supported for custom Ops/Graph flow\n"));

  const char* venv = std::getenv("VIRTUAL_ENV");
  const char* conda = std::getenv("CONDA_PREFIX");
  const std::string savedVenv = venv ? venv : "", savedConda = conda ? conda : "";
  ::unsetenv("VIRTUAL_ENV");
  ::unsetenv("CONDA_PREFIX");
  o.options["runner_type"] = std::string("tvg_be");
  EXPECT_TRUE(endsWith(messageOf([&] { openSession(o); }),
                       ": CONDA_PREFIX or VIRTUAL_ENV required for end2end TVG run is not set."));
  ::setenv("VIRTUAL_ENV", "/opt/venv", 1);
  o.options["runner_type"] = std::string("tvg_mlir");
  EXPECT_TRUE(endsWith(messageOf([&] { openSession(o); }),
                       ": Runner type tvg_mlir is not available in this build"));
  ::unsetenv("VIRTUAL_ENV");
  if (venv) ::setenv("VIRTUAL_ENV", savedVenv.c_str(), 1);
  if (conda) ::setenv("CONDA_PREFIX", savedConda.c_str(), 1);
}

TEST(SessionLoading, InMemoryOptionErrors) {
  const Scratch cache;
  const std::string bytes = readText(writtenExamples() / "loopback_nhwc" / "loopback_nhwc.kpkg");
  Options wrongBuffer = memoryOptions(bytes, "loopback_nhwc", cache.dir);
  wrongBuffer.options["fbs_buffer"] = std::string("not a pointer");
  EXPECT_EQ(messageOf([&] { openSession(wrongBuffer); }), "ERROR: Failed to cast fbs_buffer");
  Options wrongCache = memoryOptions(bytes, "loopback_nhwc", cache.dir);
  wrongCache.options["cache_dir"] = 7;
  EXPECT_EQ(messageOf([&] { openSession(wrongCache); }), "ERROR: Failed to cast cache_dir");
  Options noCache = memoryOptions(bytes, "loopback_nhwc", cache.dir);
  noCache.options.erase("cache_dir");
  EXPECT_THROW(openSession(noCache), std::out_of_range);
  Options otherModel = memoryOptions(bytes, "not_in_the_package", cache.dir);
  EXPECT_THROW(openSession(otherModel), korvanrt::KorvanRTException);
  // A truncated package is refused before anything reads it.
  const std::string cut = bytes.substr(0, bytes.size() / 2);
  Options truncated = memoryOptions(cut, "loopback_nhwc", cache.dir);
  EXPECT_THROW(openSession(truncated), korvanrt::KorvanRTException);
}

// Sessions whose package has no user library share the id 0.
TEST(SessionRegistry, LookupsOfModelsWithoutSessionRaise) {
  const auto& rt = Runtime::get();
  EXPECT_NE(messageOf([&] {
              rt.executeRunner(123456789, 0, nullptr, 0, nullptr, 0);
            }).find("No model session registered for model id 123456789"),
            std::string::npos);
  EXPECT_THROW(rt.executeRunnerNew(123456789, 0, nullptr), korvanrt::KorvanRTException);
  EXPECT_THROW(rt.paramLoader(123456789, "w", "d", ""), korvanrt::KorvanRTException);

  const auto dir = writtenExamples() / "loopback_int8_hcwnc8" / "loopback_int8_hcwnc8";
  // A construction that fails after registering leaves no entry behind.
  Options failing = directoryOptions(dir);
  failing.options["runner_type"] = std::string("ktesim");
  EXPECT_THROW(openSession(failing), korvanrt::KorvanRTException);
  EXPECT_THROW(rt.executeRunner(0, 0, nullptr, 0, nullptr, 0), korvanrt::KorvanRTException);

  Session first = openSession(directoryOptions(dir));
  Session second = openSession(directoryOptions(dir));
  EXPECT_NO_THROW(rt.executeRunner(0, 0, nullptr, 0, nullptr, 0));
  first.reset();  // the entry now belongs to the second session
  EXPECT_NO_THROW(rt.executeRunner(0, 0, nullptr, 0, nullptr, 0));
  void* empty = rt.paramLoader(0, "w", "d", "bf16tof32");
  EXPECT_NE(empty, nullptr);
  std::free(empty);
  EXPECT_NE(messageOf([&] {
              rt.paramLoader(0, "w", "d", "f32tobf16");
            }).find("ERROR: only bfloat16 to float32 (bf16tof32) transform supported!"),
            std::string::npos);
  second.reset();
  EXPECT_THROW(rt.executeRunner(0, 0, nullptr, 0, nullptr, 0), korvanrt::KorvanRTException);
  // Destroying nothing does nothing.
  rt.destroy(nullptr);
}

TEST(SessionInference, ErrorsLeaveTheSessionUsable) {
  const auto m = example("batch_double");
  const auto& part = m.partitions.at(0);
  const auto ref = referenceOf(writtenExamples(), m);
  Session s = openSession(directoryOptions(writtenExamples() / m.name / m.name));
  HostTensor in = ref.inputs[0];
  HostTensor out = HostTensor::zeros(in.type, in.shape);
  HostTensor odd = HostTensor::zeros(in.type, {1, 8, 2, 3});
  auto good = [&] {
    std::fill(out.bytes.begin(), out.bytes.end(), 0);
    std::vector<ErtTensorType> inputs{tensorOver(in, part.inputs[0].name)};
    std::vector<ErtTensorType> outputs{tensorOver(out, part.outputs[0].name)};
    s->forwardErtTensor(inputs, outputs);
    EXPECT_EQ(out.bytes, ref.outputs[0].bytes);
  };
  std::vector<ErtTensorType> two{tensorOver(in, "a"), tensorOver(in, "b")};
  std::vector<ErtTensorType> one{tensorOver(out, "c")};
  std::vector<ErtTensorType> oddIn{tensorOver(odd, "a")};
  std::vector<std::vector<ErtTensorType>> twoSets{one, one}, oneSet{one};
  std::vector<ErtIoTypeNew> records(1), outRecords(1), weights;
  records[0].data = in.bytes.data();
  records[0].dtype = "float";
  outRecords[0] = records[0];
  outRecords[0].shape = {8, 8, 2, 2};
  outRecords[0].index = 3;
  struct Case {
    const char* what;
    std::function<void()> call;
    std::string tail;
  } cases[] = {
      {"two inputs", [&] { s->forwardErtTensor(two, one); }, ": Received 2 inputs, expected 1"},
      {"odd element count", [&] { s->forwardErtTensor(oddIn, one); },
       ": Input 0 number of elements mismatch: received 48 expected 32"},
      {"batch sets", [&] { s->forwardErtTensorBatch(twoSets, oneSet); },
       ": Number of input and output tensors must match"},
      {"empty record shape", [&] { s->forward(records, outRecords, weights); },
       ": IFM shape cannot be empty"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(endsWith(messageOf(c.call), c.tail)) << c.what << ": " << messageOf(c.call);
    good();
  }
  records[0].shape = {8, 8, 2, 2};
  EXPECT_NE(messageOf([&] { s->forward(records, outRecords, weights); }).find("Output index 3"),
            std::string::npos);
  // Legacy entry points the package's library does not provide.
  EXPECT_NE(messageOf([&] {
              s->forward(static_cast<const float*>(nullptr));
            }).find("has no forward entry point"),
            std::string::npos);
  EXPECT_NE(messageOf([&] { s->getOfmShapes(); }).find("has no argument size entry point"),
            std::string::npos);
  good();
}

TEST(SessionAsync, WaitingAndErrorsOfAsyncInferences) {
  using korvanrt::client::PrivateImpl;
  std::future<void> none;
  EXPECT_THROW(PrivateImpl::waitFor(none, 0), std::future_error);

  const auto m = example("batch_double");
  const auto ref = referenceOf(writtenExamples(), m);
  Session s = openSession(directoryOptions(writtenExamples() / m.name / m.name));
  EXPECT_THROW(s->waitForwardAsync(none, 10), std::future_error);
  HostTensor in = ref.inputs[0];
  HostTensor out = HostTensor::zeros(in.type, in.shape);
  std::vector<ErtTensorType> inputs{tensorOver(in, "ifm_ddr_0")};
  std::vector<ErtTensorType> outputs{tensorOver(out, "ofm_ddr_0")};

  qel::emu::set_run_delay(std::chrono::milliseconds(40));  // 8 runs: 320 ms
  auto future = s->forwardAsync(inputs, outputs);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(PrivateImpl::waitFor(future, 0), std::future_status::timeout);
  EXPECT_EQ(PrivateImpl::waitFor(future, 20), std::future_status::timeout);
  s->waitForwardAsync(future, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  s->waitForwardAsync(future, static_cast<uint64_t>(-1));
  EXPECT_EQ(PrivateImpl::waitFor(future, 0), std::future_status::ready);
  qel::emu::reset();
  future.get();
  EXPECT_EQ(out.bytes, ref.outputs[0].bytes);

  // An error inside the task reaches the caller through the future only.
  HostTensor odd = HostTensor::zeros(in.type, {1, 8, 2, 3});
  std::vector<ErtTensorType> oddIn{tensorOver(odd, "ifm_ddr_0")};
  auto failing = s->forwardAsync(oddIn, outputs);
  EXPECT_NO_THROW(s->waitForwardAsync(failing, static_cast<uint64_t>(-1)));
  EXPECT_THROW(failing.get(), korvanrt::KorvanRTException);
}

TEST(SessionProfiling, SummaryIsWrittenWhenProfilingIsOn) {
  const Scratch scratch;
  const auto m = example("batch_double");
  const auto ref = referenceOf(writtenExamples(), m);
  const auto cwd = fs::current_path();
  fs::current_path(scratch.dir);
  {
    Options o = directoryOptions(writtenExamples() / m.name / m.name);
    o.options["vistrel_profiling"] = true;
    Session s = openSession(o);
    testing::internal::CaptureStdout();
    s->setVistrelProfiling();
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "WARNING: Model is not compiled with Vistrel Profiling enabled. Layer by layer "
                  "profiling cannot be generated\n"),
              std::string::npos);
    HostTensor in = ref.inputs[0];
    HostTensor out = HostTensor::zeros(in.type, in.shape);
    std::vector<ErtTensorType> inputs{tensorOver(in, "ifm_ddr_0")};
    std::vector<ErtTensorType> outputs{tensorOver(out, "ofm_ddr_0")};
    s->forwardErtTensor(inputs, outputs);
    s->timestampEnd("never started");  // nothing happens
  }
  fs::current_path(cwd);
  const auto summary = readText(scratch.dir / "cpu_inference_summary_batch_double.json");
  EXPECT_NE(summary.find("ExecuteRunner execution for iteration 7"), std::string::npos);
  EXPECT_EQ(summary.find("never started"), std::string::npos);
}

}  // namespace
}  // namespace session_test
