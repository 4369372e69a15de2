#include "txn/debug_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace korvanrt {

namespace {

constexpr char kTerminate[] = "TERMINATE_CONNECTION";
constexpr char kDataAck[] = "Client received data";
constexpr char kTerminateAck[] = "Client received termination command";

bool sendText(int sock, const char* text) {
  const size_t length = std::strlen(text);
  return ::send(sock, text, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
}

}  // namespace

KorvanDebugClient::KorvanDebugClient(qel::bo& bo, int port) : port_(port), bo_(bo) {
  Start();
}

KorvanDebugClient::~KorvanDebugClient() {
  Stop();
}

void KorvanDebugClient::Start() {
  if (running_) return;
  running_ = true;
  thread_ = std::thread(&KorvanDebugClient::ClientLoop, this);
}

void KorvanDebugClient::Stop() {
  if (!running_) return;
  {
    std::lock_guard lock(pause_mutex_);
    running_ = false;
  }
  pause_cv_.notify_all();
  // Wakes a receive that would otherwise wait for the server.
  {
    std::lock_guard lock(pause_mutex_);
    const int s = sock_.load();
    if (s >= 0) ::shutdown(s, SHUT_RDWR);
  }
  if (thread_.joinable()) thread_.join();
  std::cout << "Socket client stopped." << std::endl;
}

void KorvanDebugClient::WaitForCompletion() {
  if (thread_.joinable()) thread_.join();
}

void KorvanDebugClient::pause(std::chrono::milliseconds duration) {
  std::unique_lock lock(pause_mutex_);
  pause_cv_.wait_for(lock, duration, [this] { return !running_; });
}

void KorvanDebugClient::closeSocket() {
  std::lock_guard lock(pause_mutex_);
  const int s = sock_.exchange(-1);
  if (s >= 0) ::close(s);
}

void KorvanDebugClient::ClientLoop() {
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(port_));
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  bool finished = false;
  while (!finished && running_) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
      std::cerr << "Error creating socket: " << std::endl;
      if (!running_) break;
      pause(std::chrono::seconds(1));
      continue;
    }
    sock_ = s;
    std::cout << "Please Launch Dumpwell for layer-wise L3 Dumping (-l3 flag). Attempting to "
                 "connect to server on port "
              << port_ << "..." << std::endl;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&server), sizeof(server)) < 0) {
      closeSocket();
      if (!running_) break;
      pause(std::chrono::seconds(4));
      continue;
    }
    std::cout << "Connected to server. Listening for L3 data..." << std::endl;

    while (running_) {
      char request[kRequestSize];
      std::memset(request, 0, sizeof(request));
      const ssize_t got = ::recv(s, request, sizeof(request), 0);
      if (got == static_cast<ssize_t>(kRequestSize)) {
        uint32_t offset = 0, count = 0;
        std::memcpy(&offset, request + kPathSize, 4);
        std::memcpy(&count, request + kPathSize + 4, 4);
        const bool terminated = std::memchr(request, '\0', kPathSize) != nullptr;
        if (terminated && std::strcmp(request, kTerminate) == 0 && offset == 0 && count == 0) {
          std::cout << "Received termination message from server." << std::endl;
          sendText(s, kTerminateAck);
          finished = true;
          break;
        }
        if (terminated) {
          try {
            ProcessReceivedData(request, offset, count);
          } catch (const std::exception& e) {
            std::cerr << "Dump to " << request << " failed: " << e.what() << std::endl;
          } catch (...) {
            std::cerr << "Dump to " << request << " failed" << std::endl;
          }
        } else {
          std::cerr << "Skipping a request whose file path is not NUL-terminated within "
                    << kPathSize << " bytes" << std::endl;
        }
        if (!sendText(s, kDataAck)) {
          std::cerr << "send (ack) failed: " << std::endl;
          break;
        }
      } else if (got == 0) {
        std::cout << "Connection closed by server (gracefully)." << std::endl;
        finished = true;
        break;
      } else if (got < 0) {
        std::cerr << "recv failed: " << std::endl;
        break;
      } else {
        std::cerr << "recv received " << got << " bytes, but expected " << kRequestSize << " bytes."
                  << std::endl;
        break;
      }
    }
    closeSocket();
    if (!running_) break;
    if (!finished) pause(std::chrono::milliseconds(100));
  }
  closeSocket();
  std::cout << "Client loop terminated." << std::endl;
}

void KorvanDebugClient::ProcessReceivedData(const char* path, uint32_t offset, uint32_t count) {
  std::cout << "Processing data: " << path << " " << offset << " " << count << std::endl;
  const uint64_t size = bo_.size();
  if (offset >= size && count != 0) {
    std::cerr << "Skipping dump to " << path << ": offset " << offset
              << " lies outside the buffer of " << size << " bytes" << std::endl;
    return;
  }
  uint64_t length = count;
  if (length > size) {
    std::cerr << "Dump to " << path << ": count " << count << " clipped to the buffer size " << size
              << std::endl;
    length = size;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    std::cout << "Unable to open file " << path << std::endl;
    return;
  }
  bo_.sync(qel::bo::direction::from_device, size, 0);
  const auto* base = static_cast<const char*>(bo_.map());
  out.write(reinterpret_cast<const char*>(&length), sizeof(length));
  if (length != 0 && offset + length > size) {
    const uint64_t head = size - offset;
    out.write(base + offset, static_cast<std::streamsize>(head));
    out.write(base, static_cast<std::streamsize>(length - head));
  } else if (length != 0) {
    out.write(base + offset, static_cast<std::streamsize>(length));
  }
}

}  // namespace korvanrt
