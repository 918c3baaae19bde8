#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "transport/tcp_peer.h"

namespace rd::test {
namespace {

using Clock = std::chrono::steady_clock;

int Fd(std::uintptr_t handle) { return static_cast<int>(handle); }

bool ToAddress(const std::string& address, std::uint16_t port, sockaddr_storage& storage,
               socklen_t& length) {
  std::memset(&storage, 0, sizeof storage);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof *v4;
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof *v6;
    return true;
  }
  return false;
}

bool WaitReadable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeout_ms) > 0;
}

}  // namespace

PeerSocket& PeerSocket::operator=(PeerSocket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.Release();
  }
  return *this;
}

bool PeerSocket::SendAll(const Bytes& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(Fd(handle_), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

Bytes PeerSocket::Receive(std::size_t count, int timeout_ms) {
  Bytes data(count);
  std::size_t got = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (got < count) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || !WaitReadable(Fd(handle_), static_cast<int>(left))) break;
    const ssize_t n = ::recv(Fd(handle_), data.data() + got, count - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  data.resize(got);
  return data;
}

bool PeerSocket::SeesClose(int timeout_ms) {
  if (!WaitReadable(Fd(handle_), timeout_ms)) return false;
  char byte;
  return ::recv(Fd(handle_), &byte, 1, 0) <= 0;
}

void PeerSocket::Close() {
  if (Valid()) ::close(Fd(Release()));
}

void PeerSocket::Reset() {
  if (!Valid()) return;
  const linger abort_on_close{1, 0};
  ::setsockopt(Fd(handle_), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  Close();
}

PeerListener::PeerListener(const std::string& address, std::uint16_t port, int backlog) {
  sockaddr_storage storage;
  socklen_t length = 0;
  if (!ToAddress(address, port, storage, length)) return;
  const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      ::listen(fd, backlog) != 0) {
    ::close(fd);
    return;
  }
  handle_ = static_cast<std::uintptr_t>(fd);
}

PeerListener::~PeerListener() {
  if (Valid()) ::close(Fd(handle_));
}

PeerSocket PeerListener::Accept(int timeout_ms) {
  if (!Valid() || !WaitReadable(Fd(handle_), timeout_ms)) return {};
  const int fd = ::accept4(Fd(handle_), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return {};
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return PeerSocket(static_cast<std::uintptr_t>(fd));
}

PeerSocket ConnectPlain(const std::string& address, std::uint16_t port) {
  sockaddr_storage storage;
  socklen_t length = 0;
  if (!ToAddress(address, port, storage, length)) return {};
  const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  PeerSocket socket(static_cast<std::uintptr_t>(fd));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) return {};
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return socket;
}

}  // namespace rd::test
