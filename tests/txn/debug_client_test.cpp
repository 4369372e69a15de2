#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "qel/emulator.hpp"
#include "txn/debug_client.hpp"
#include "txn/pellix_qel.hpp"
#include "txn_fixture.hpp"

namespace {

using korvanrt::KorvanDebugClient;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The debug server's side of the protocol on a free loopback port.
class LoopbackServer {
 public:
  LoopbackServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    socklen_t len = sizeof(addr);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~LoopbackServer() {
    if (conn_ >= 0) ::close(conn_);
    ::close(listener_);
  }

  int port() const { return port_; }
  void accept() { conn_ = ::accept(listener_, nullptr, nullptr); }
  void hangUp() {
    ::close(conn_);
    conn_ = -1;
  }

  // Sends one request whose 512 path bytes are `path` (padded with NULs).
  void request(const std::string& path, uint32_t offset, uint32_t count) {
    char msg[KorvanDebugClient::kRequestSize] = {};
    std::memcpy(msg, path.data(), std::min(path.size(), KorvanDebugClient::kPathSize));
    std::memcpy(msg + 512, &offset, 4);
    std::memcpy(msg + 516, &count, 4);
    ASSERT_EQ(::send(conn_, msg, sizeof(msg), 0), static_cast<ssize_t>(sizeof(msg)));
  }

  std::string ack(size_t length) {
    std::string got;
    char buf[64];
    while (got.size() < length) {
      const ssize_t n = ::recv(conn_, buf, std::min(sizeof(buf), length - got.size()), 0);
      if (n <= 0) break;
      got.append(buf, n);
    }
    return got;
  }

 private:
  int listener_ = -1;
  int conn_ = -1;
  int port_ = 0;
};

std::string fileContent(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The expected dump: the count in 64 bits, then the bytes.
std::string dump(uint64_t count, const std::vector<uint8_t>& bytes) {
  std::string s(reinterpret_cast<const char*>(&count), 8);
  s.append(bytes.begin(), bytes.end());
  return s;
}

std::vector<uint8_t> range(int from, int to) {
  std::vector<uint8_t> v;
  for (int i = from; i < to; ++i) v.push_back(static_cast<uint8_t>(i));
  return v;
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class DebugClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("txn_debug_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    auto& ctx = txn_test::context(1);
    bo_ = qel::ext::bo(ctx.device, 120);
    for (int i = 0; i < 120; ++i) bo_.map<uint8_t*>()[i] = static_cast<uint8_t>(i);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  qel::bo bo_;
};

TEST_F(DebugClientTest, DumpsRequestedRegionsAndAcknowledgesEveryRequest) {
  LoopbackServer server;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  KorvanDebugClient client(bo_, server.port());
  server.accept();

  struct Case {
    const char* what;
    std::string file;
    uint32_t offset, count;
    bool written;
    std::string content;
  };
  const Case cases[] = {
      {"wraps around", "wrap.bin", 100, 50, true, dump(50, range(100, 120) + range(0, 30))},
      {"whole buffer", "whole.bin", 0, 120, true, dump(120, range(0, 120))},
      {"count beyond the buffer is clipped", "clip.bin", 10, 1000, true,
       dump(120, range(10, 120) + range(0, 10))},
      {"empty", "empty.bin", 5, 0, true, dump(0, {})},
      {"offset beyond the buffer is skipped", "far.bin", 200, 10, false, ""},
      {"offset + count overflows", "overflow.bin", 0xFFFFFFF0u, 0x20, false, ""},
      {"file cannot be opened", "missing/dir/x.bin", 0, 4, false, ""},
  };
  for (const auto& c : cases) {
    const auto path = dir_ / c.file;
    server.request(path.string(), c.offset, c.count);
    EXPECT_EQ(server.ack(20), "Client received data") << c.what;
    EXPECT_EQ(fs::exists(path), c.written) << c.what;
    if (c.written) {
      EXPECT_EQ(fileContent(path), c.content) << c.what;
    }
  }
  // A path without a terminating NUL is refused but still acknowledged.
  server.request(std::string(600, 'a'), 0, 4);
  EXPECT_EQ(server.ack(20), "Client received data");

  server.request("TERMINATE_CONNECTION", 0, 0);
  EXPECT_EQ(server.ack(35), "Client received termination command");
  client.WaitForCompletion();
  const auto out = testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("Please Launch Dumpwell for layer-wise L3 Dumping (-l3 flag). Attempting to "
                     "connect to server on port " +
                     std::to_string(server.port()) + "...\n"),
            std::string::npos);
  EXPECT_NE(out.find("Processing data: " + (dir_ / "wrap.bin").string() + " 100 50\n"),
            std::string::npos);
  EXPECT_NE(out.find("Unable to open file " + (dir_ / "missing/dir/x.bin").string() + "\n"),
            std::string::npos);
  EXPECT_NE(out.find("Received termination message from server.\nClient loop terminated.\n"),
            std::string::npos);
}

TEST_F(DebugClientTest, StopCutsShortAPendingReceiveOrRetry) {
  for (bool serverUp : {true, false}) {
    auto server = std::make_unique<LoopbackServer>();
    const int port = server->port();
    if (!serverUp) server.reset();  // nothing listens on the port now
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    {
      KorvanDebugClient client(bo_, port);
      if (serverUp) server->accept();
      std::this_thread::sleep_for(100ms);
    }  // the destructor stops the client
    const auto took = std::chrono::steady_clock::now() - start;
    const auto out = testing::internal::GetCapturedStdout();
    EXPECT_LT(took, 2s) << serverUp;
    EXPECT_NE(out.find("Socket client stopped.\n"), std::string::npos) << serverUp;
  }
}

TEST_F(DebugClientTest, ServerClosingEndsTheSession) {
  LoopbackServer server;
  testing::internal::CaptureStdout();
  KorvanDebugClient client(bo_, server.port());
  server.accept();
  server.hangUp();
  client.WaitForCompletion();
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "Connection closed by server (gracefully).\nClient loop terminated.\n"),
            std::string::npos);
}

TEST_F(DebugClientTest, FailedRunHandsTheSpillBufferToTheServer) {
  qel::emu::reset();
  auto& ctx = txn_test::context(61);
  auto& spill = ctx.get_spill_bo(256);
  std::memset(spill.map(), 0x5c, 256);

  qel::program::builder p;
  p.fault(qel::command_state::error);
  txn_test::MemoryReader txn(p.transaction(), "ml_txn.bin");
  txn_test::MemoryReader pkt(std::vector<char>(8, 0), "ctrl_pkt0.bin");
  txn_test::MemoryReader desc(
      std::string(R"({"external_buffers":{"cp":{"name":"runtime_control_packet","qel_id":3,)"
                  R"("size_in_bytes":8}}})"),
      "external_buffer_id.json");
  korvanrt::pellix_qel q({&txn}, &pkt, nullptr, 1, &ctx, {&desc});
  q.set_argument(qel::bo(), spill, spill, spill, 0, 0);
  q.add_run(0);

  LoopbackServer server;
  q.set_debug_port(server.port());
  const auto path = dir_ / "layer0.bin";
  std::thread dumpTool([&] {
    server.accept();
    server.request(path.string(), 16, 8);
    server.ack(20);
    server.request("TERMINATE_CONNECTION", 0, 0);
    server.ack(35);
  });
  txn_test::ScopedEnv env("ENABLE_ML_DEBUG", "3");
  testing::internal::CaptureStdout();
  EXPECT_NO_THROW(q.run_graph(0));
  dumpTool.join();
  const auto out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(fileContent(path), dump(8, std::vector<uint8_t>(8, 0x5c)));
  EXPECT_NE(out.find("Will wait for user input.\nWaiting for debug server to complete...\n"),
            std::string::npos);
  EXPECT_NE(out.find("Debug server completed.\n"), std::string::npos);
  qel::emu::reset();
}

}  // namespace
