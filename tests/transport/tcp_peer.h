// A minimal loopback TCP peer for tests and benchmarks: a listener and its
// connections, with blocking calls bounded by time-outs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "raroredoziri/Bytes.h"

namespace rd::test {

class PeerSocket {
 public:
  PeerSocket() = default;
  explicit PeerSocket(std::uintptr_t handle) : handle_(handle) {}
  PeerSocket(PeerSocket&& other) noexcept : handle_(other.Release()) {}
  PeerSocket& operator=(PeerSocket&& other) noexcept;
  ~PeerSocket() { Close(); }

  bool Valid() const { return handle_ != kNone; }
  bool SendAll(const Bytes& data);
  // Reads until `count` bytes came, the peer closed, or `timeout_ms` passed.
  Bytes Receive(std::size_t count, int timeout_ms);
  // True when the other side closed (or reset) the connection within `timeout_ms`.
  bool SeesClose(int timeout_ms);
  void Close();
  // Abortive close: the other side sees a reset.
  void Reset();

 private:
  static constexpr std::uintptr_t kNone = ~std::uintptr_t{0};
  std::uintptr_t Release() {
    const std::uintptr_t handle = handle_;
    handle_ = kNone;
    return handle;
  }
  std::uintptr_t handle_ = kNone;
};

class PeerListener {
 public:
  // Listens on address:port (IPv4 or IPv6 literal) with the given backlog.
  explicit PeerListener(const std::string& address, std::uint16_t port = 5001, int backlog = 4);
  ~PeerListener();
  PeerListener(const PeerListener&) = delete;
  PeerListener& operator=(const PeerListener&) = delete;

  bool Valid() const { return handle_ != kNone; }
  PeerSocket Accept(int timeout_ms);

 private:
  static constexpr std::uintptr_t kNone = ~std::uintptr_t{0};
  std::uintptr_t handle_ = kNone;
};

// A plain blocking client connection (no time limit beyond the system's).
PeerSocket ConnectPlain(const std::string& address, std::uint16_t port = 5001);

}  // namespace rd::test
