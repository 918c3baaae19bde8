// TCP client sockets on Linux: non-blocking sockets waited on with poll().
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "transport/tcp_socket.h"

namespace rd::transport {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

SocketStatus Classify(int error) {
  switch (error) {
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
    case ESHUTDOWN:
    case ENOTCONN:
    case ENETRESET:
      return SocketStatus::kBroken;
    case EAGAIN:
    case ETIMEDOUT:
      return SocketStatus::kTimedOut;
    default:
      return SocketStatus::kError;
  }
}

SocketResult Failure(int error) { return {Classify(error), 0, error}; }

struct AddrInfoFree {
  void operator()(addrinfo* info) const noexcept { freeaddrinfo(info); }
};

// Waits until fd is ready for `events` or `wait_ms` passed; the revents,
// 0 on time-out, -1 on error (errno set).
int Wait(int fd, short events, int wait_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    pollfd p{fd, events, 0};
    const int ready = ::poll(&p, 1, MsLeft(deadline));
    if (ready > 0) return p.revents;
    if (ready == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// One connection attempt to one address; the connected descriptor or -1.
int ConnectOne(const addrinfo& address, Clock::time_point deadline) {
  const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          address.ai_protocol);
  if (fd < 0) return -1;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return fd;
  if (errno == EINPROGRESS && Wait(fd, POLLOUT, MsLeft(deadline)) > 0) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) return fd;
  }
  ::close(fd);
  return -1;
}

}  // namespace

bool TcpSocket::Connect(const std::string& address, std::uint16_t port,
                        std::uint32_t limit_ms) noexcept {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
    return false;
  const std::unique_ptr<addrinfo, AddrInfoFree> addresses(found);
  const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    const int fd = ConnectOne(*address, deadline);
    if (fd >= 0) {
      const int on = 1;
      (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      handle_ = static_cast<std::uintptr_t>(fd);
      return true;
    }
    if (MsLeft(deadline) == 0) break;
  }
  return false;
}

void TcpSocket::Close() noexcept {
  if (!IsOpen()) return;
  ::close(static_cast<int>(handle_));
  handle_ = kClosed;
}

SocketResult TcpSocket::Send(const std::uint8_t* data, std::size_t size,
                             std::uint32_t limit_ms) noexcept {
  if (!IsOpen()) return Failure(ENOTCONN);
  const int fd = static_cast<int>(handle_);
  const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  SocketResult result;
  while (result.count < size) {
    // MSG_NOSIGNAL: a vanished peer is an error here, never SIGPIPE.
    const ssize_t n = ::send(fd, data + result.count, size - result.count, MSG_NOSIGNAL);
    if (n >= 0) {
      result.count += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return Failure(errno);
    const int ready = Wait(fd, POLLOUT, MsLeft(deadline));
    if (ready == 0) return Failure(ETIMEDOUT);
    if (ready < 0) return Failure(errno);
  }
  return result;
}

SocketResult TcpSocket::Receive(std::uint8_t* buffer, std::size_t capacity,
                                std::uint32_t wait_ms) noexcept {
  if (!IsOpen()) return Failure(ENOTCONN);
  const int fd = static_cast<int>(handle_);
  if (wait_ms > 0) {
    const int ready = Wait(fd, POLLIN, static_cast<int>(wait_ms));
    if (ready == 0) return Failure(ETIMEDOUT);
    if (ready < 0) return Failure(errno);
  }
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, capacity, MSG_DONTWAIT);
    if (n > 0) return {SocketStatus::kOk, static_cast<std::size_t>(n), 0};
    if (n == 0) return {SocketStatus::kClosedByPeer, 0, 0};
    if (errno != EINTR) return Failure(errno);
  }
}

std::vector<std::string> SystemResolve(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  std::vector<std::string> addresses;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
  const std::unique_ptr<addrinfo, AddrInfoFree> owned(found);
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    char text[NI_MAXHOST] = {};
    if (::getnameinfo(address->ai_addr, address->ai_addrlen, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) == 0) {
      addresses.emplace_back(text);
    }
  }
  return addresses;
}

bool IsAddressLiteral(const std::string& host) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  ::freeaddrinfo(found);
  return true;
}

std::string SocketErrorText(int error) { return std::system_category().message(error); }

void StopWinsock() {}

}  // namespace rd::transport
