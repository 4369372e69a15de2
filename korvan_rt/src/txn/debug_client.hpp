#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "qel/qel.hpp"

namespace korvanrt {

// Client of the layer-wise dump tool (the debug server on the IPv4 loopback
// address). On its own thread it connects, receives 520-byte requests
// (512-byte NUL-terminated file path, 32-bit offset, 32-bit count, host byte
// order), writes the requested region of the buffer into the named file
// (the count as 64 bits, then the bytes, wrapping around the buffer's end)
// and acknowledges every request. It reconnects after errors and ends on a
// termination request or an orderly close by the server.
class KorvanDebugClient {
 public:
  static constexpr size_t kRequestSize = 520;
  static constexpr size_t kPathSize = 512;

  // Stores the buffer and the port and starts the client thread.
  KorvanDebugClient(qel::bo& bo, int port);
  ~KorvanDebugClient();

  KorvanDebugClient(const KorvanDebugClient&) = delete;
  KorvanDebugClient& operator=(const KorvanDebugClient&) = delete;

  void Start();
  // Stops the client thread and waits for it; a pending receive or retry
  // pause is cut short.
  void Stop();
  // Waits for the client thread to end by itself.
  void WaitForCompletion();
  // Performs one dump request. Regions reaching beyond the buffer are
  // clipped, requests starting beyond it are skipped; nothing outside the
  // buffer is read.
  void ProcessReceivedData(const char* path, uint32_t offset, uint32_t count);

 private:
  void ClientLoop();
  // Pauses up to `duration`; returns early when the client is stopped.
  void pause(std::chrono::milliseconds duration);
  void closeSocket();

  std::atomic<int> sock_{-1};
  std::thread thread_;
  std::atomic<bool> running_{false};
  int port_;
  qel::bo& bo_;
  std::mutex pause_mutex_;
  std::condition_variable pause_cv_;
};

}  // namespace korvanrt
