// The client socket behind the TCP channel: at most one open connection,
// closed on destruction. tcp_posix.cpp and tcp_win32.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rd::transport {

enum class SocketStatus {
  kOk,            // bytes moved
  kTimedOut,      // nothing to receive or no room to send within the wait
  kClosedByPeer,  // the peer closed its side
  kBroken,        // reset, shut down or aborted
  kError,         // any other socket error
};

struct SocketResult {
  SocketStatus status = SocketStatus::kOk;
  std::size_t count = 0;  // bytes sent or received
  int error = 0;          // the platform's error number when status is not kOk
};

class TcpSocket {
 public:
  TcpSocket() = default;
  ~TcpSocket() { Close(); }
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Connects to `port` at `address`, an IPv4 or IPv6 literal (no name is
  // looked up here), within `limit_ms`. False on any failure; the socket is
  // then closed.
  bool Connect(const std::string& address, std::uint16_t port, std::uint32_t limit_ms) noexcept;

  bool IsOpen() const noexcept { return handle_ != kClosed; }
  void Close() noexcept;

  // Hands every byte to the connection, waiting at most `limit_ms` for room.
  SocketResult Send(const std::uint8_t* data, std::size_t size, std::uint32_t limit_ms) noexcept;

  // Waits up to `wait_ms` (0: not at all) until data or the peer's close is
  // there, then receives once what the socket holds.
  SocketResult Receive(std::uint8_t* buffer, std::size_t capacity, std::uint32_t wait_ms) noexcept;

 private:
  static constexpr std::uintptr_t kClosed = ~std::uintptr_t{0};
  std::uintptr_t handle_ = kClosed;
};

// The addresses (IPv4 and IPv6 literals) the system resolver gives for
// `host`, in its order; none when it finds none. Takes as long as the system
// resolver takes: the default resolver (Resolver.cpp) bounds it.
std::vector<std::string> SystemResolve(const std::string& host);

// True when `host` is an IPv4 or IPv6 literal (needs no lookup).
bool IsAddressLiteral(const std::string& host);

// The platform's text for a socket error number.
std::string SocketErrorText(int error);

// Windows: stops Winsock if a connection attempt started it (the next one
// starts it again). Elsewhere nothing.
void StopWinsock();

}  // namespace rd::transport
