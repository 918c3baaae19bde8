#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstring>

#include "transport/tcp_peer.h"

namespace rd::test {
namespace {

using Clock = std::chrono::steady_clock;

// The test peer starts Winsock for itself, independent of the library.
void StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

SOCKET Sock(std::uintptr_t handle) { return static_cast<SOCKET>(handle); }

bool ToAddress(const std::string& address, std::uint16_t port, sockaddr_storage& storage,
               int& length) {
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

bool WaitReadable(SOCKET socket, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return select(0, &readable, nullptr, nullptr, &limit) > 0;
}

void NoDelay(SOCKET socket) {
  BOOL on = TRUE;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
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
    const int n = send(Sock(handle_), reinterpret_cast<const char*>(data.data() + sent),
                       static_cast<int>(data.size() - sent), 0);
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
    if (left <= 0 || !WaitReadable(Sock(handle_), static_cast<int>(left))) break;
    const int n = recv(Sock(handle_), reinterpret_cast<char*>(data.data() + got),
                       static_cast<int>(count - got), 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  data.resize(got);
  return data;
}

bool PeerSocket::SeesClose(int timeout_ms) {
  if (!WaitReadable(Sock(handle_), timeout_ms)) return false;
  char byte;
  return recv(Sock(handle_), &byte, 1, 0) <= 0;
}

void PeerSocket::Close() {
  if (Valid()) closesocket(Sock(Release()));
}

void PeerSocket::Reset() {
  if (!Valid()) return;
  const linger abort_on_close{1, 0};
  setsockopt(Sock(handle_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort_on_close),
             sizeof abort_on_close);
  Close();
}

PeerListener::PeerListener(const std::string& address, std::uint16_t port, int backlog) {
  StartWinsock();
  sockaddr_storage storage;
  int length = 0;
  if (!ToAddress(address, port, storage, length)) return;
  const SOCKET socket = ::socket(storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) return;
  BOOL on = TRUE;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  if (bind(socket, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      listen(socket, backlog) != 0) {
    closesocket(socket);
    return;
  }
  handle_ = static_cast<std::uintptr_t>(socket);
}

PeerListener::~PeerListener() {
  if (Valid()) closesocket(Sock(handle_));
}

PeerSocket PeerListener::Accept(int timeout_ms) {
  if (!Valid() || !WaitReadable(Sock(handle_), timeout_ms)) return {};
  const SOCKET socket = accept(Sock(handle_), nullptr, nullptr);
  if (socket == INVALID_SOCKET) return {};
  NoDelay(socket);
  return PeerSocket(static_cast<std::uintptr_t>(socket));
}

PeerSocket ConnectPlain(const std::string& address, std::uint16_t port) {
  StartWinsock();
  sockaddr_storage storage;
  int length = 0;
  if (!ToAddress(address, port, storage, length)) return {};
  const SOCKET socket = ::socket(storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) return {};
  PeerSocket peer(static_cast<std::uintptr_t>(socket));
  if (connect(socket, reinterpret_cast<sockaddr*>(&storage), length) != 0) return {};
  NoDelay(socket);
  return peer;
}

}  // namespace rd::test
