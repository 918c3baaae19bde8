// TCP client sockets on Windows: Winsock, started on first use, with
// non-blocking sockets waited on with select().
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "transport/tcp_socket.h"

namespace rd::transport {
namespace {

using Clock = std::chrono::steady_clock;

// Winsock is started by the first connection attempt, never at load, and
// stopped only by ReleaseNetwork: never from a static destructor, which runs
// under the loader lock when the module is unloaded. The lock is a slim
// reader/writer lock, which needs no clean-up either.
SRWLOCK g_winsock_lock = SRWLOCK_INIT;
bool g_winsock_started = false;

bool StartWinsock() {
  AcquireSRWLockExclusive(&g_winsock_lock);
  if (!g_winsock_started) {
    WSADATA data{};
    g_winsock_started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  const bool started = g_winsock_started;
  ReleaseSRWLockExclusive(&g_winsock_lock);
  return started;
}

SOCKET AsSocket(std::uintptr_t handle) { return static_cast<SOCKET>(handle); }

std::uint32_t MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<std::uint32_t>(left) : 0;
}

SocketStatus Classify(int error) {
  switch (error) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
    case WSAENOTCONN:
    case WSAENETRESET:
      return SocketStatus::kBroken;
    case WSAEWOULDBLOCK:
    case WSAETIMEDOUT:
      return SocketStatus::kTimedOut;
    default:
      return SocketStatus::kError;
  }
}

SocketResult Failure(int error) { return {Classify(error), 0, error}; }

enum class Readiness { kReady, kTimedOut, kFailed };

// Waits until the socket is readable (or, for `write`, writable or failed
// to connect) or `wait_ms` passed.
Readiness Wait(SOCKET socket, bool write, std::uint32_t wait_ms) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  timeval limit{static_cast<long>(wait_ms / 1000), static_cast<long>(wait_ms % 1000) * 1000};
  const int count = write ? select(0, nullptr, &ready, &failed, &limit)
                          : select(0, &ready, nullptr, &failed, &limit);
  if (count == SOCKET_ERROR) return Readiness::kFailed;
  if (count == 0) return Readiness::kTimedOut;
  return FD_ISSET(socket, &ready) ? Readiness::kReady : Readiness::kFailed;
}

struct AddrInfoFree {
  void operator()(addrinfo* info) const noexcept { freeaddrinfo(info); }
};

SOCKET ConnectOne(const addrinfo& address, Clock::time_point deadline) {
  SOCKET socket = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (socket == INVALID_SOCKET) return INVALID_SOCKET;
  u_long non_blocking = 1;
  if (ioctlsocket(socket, FIONBIO, &non_blocking) == 0) {
    if (::connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0)
      return socket;
    if (WSAGetLastError() == WSAEWOULDBLOCK &&
        Wait(socket, true, MsLeft(deadline)) == Readiness::kReady) {
      int error = 0;
      int length = sizeof error;
      if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 &&
          error == 0) {
        return socket;
      }
    }
  }
  closesocket(socket);
  return INVALID_SOCKET;
}

}  // namespace

bool TcpSocket::Connect(const std::string& address, std::uint16_t port,
                        std::uint32_t limit_ms) noexcept {
  Close();
  if (!StartWinsock()) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  const std::unique_ptr<addrinfo, AddrInfoFree> addresses(found);
  const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    const SOCKET socket = ConnectOne(*address, deadline);
    if (socket != INVALID_SOCKET) {
      BOOL on = TRUE;
      (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                       sizeof on);
      handle_ = static_cast<std::uintptr_t>(socket);
      return true;
    }
    if (MsLeft(deadline) == 0) break;
  }
  return false;
}

void TcpSocket::Close() noexcept {
  if (!IsOpen()) return;
  closesocket(AsSocket(handle_));
  handle_ = kClosed;
}

SocketResult TcpSocket::Send(const std::uint8_t* data, std::size_t size,
                             std::uint32_t limit_ms) noexcept {
  if (!IsOpen()) return Failure(WSAENOTCONN);
  const SOCKET socket = AsSocket(handle_);
  const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  SocketResult result;
  while (result.count < size) {
    const int chunk = static_cast<int>(std::min<std::size_t>(size - result.count, 1 << 20));
    const int n = send(socket, reinterpret_cast<const char*>(data + result.count), chunk, 0);
    if (n != SOCKET_ERROR) {
      result.count += static_cast<std::size_t>(n);
      continue;
    }
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return Failure(error);
    const Readiness ready = Wait(socket, true, MsLeft(deadline));
    if (ready == Readiness::kTimedOut) return Failure(WSAETIMEDOUT);
    if (ready == Readiness::kFailed) return Failure(WSAGetLastError());
  }
  return result;
}

SocketResult TcpSocket::Receive(std::uint8_t* buffer, std::size_t capacity,
                                std::uint32_t wait_ms) noexcept {
  if (!IsOpen()) return Failure(WSAENOTCONN);
  const SOCKET socket = AsSocket(handle_);
  if (wait_ms > 0) {
    const Readiness ready = Wait(socket, false, wait_ms);
    if (ready == Readiness::kTimedOut) return Failure(WSAETIMEDOUT);
  }
  const int n = recv(socket, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
  if (n > 0) return {SocketStatus::kOk, static_cast<std::size_t>(n), 0};
  if (n == 0) return {SocketStatus::kClosedByPeer, 0, 0};
  return Failure(WSAGetLastError());
}

std::vector<std::string> SystemResolve(const std::string& host) {
  std::vector<std::string> addresses;
  if (!StartWinsock()) return addresses;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
  const std::unique_ptr<addrinfo, AddrInfoFree> owned(found);
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    char text[NI_MAXHOST] = {};
    if (getnameinfo(address->ai_addr, static_cast<socklen_t>(address->ai_addrlen), text,
                    sizeof text, nullptr, 0, NI_NUMERICHOST) == 0) {
      addresses.emplace_back(text);
    }
  }
  return addresses;
}

bool IsAddressLiteral(const std::string& host) {
  if (!StartWinsock()) return false;
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  freeaddrinfo(found);
  return true;
}

namespace {

struct LocalFreeText {
  void operator()(char* text) const noexcept { LocalFree(text); }
};

}  // namespace

std::string SocketErrorText(int error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  const std::unique_ptr<char, LocalFreeText> owned(text);
  std::string message;
  if (length > 0 && text != nullptr) message.assign(text, length);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  if (message.empty()) message = "error " + std::to_string(error);
  return message;
}

void StopWinsock() {
  AcquireSRWLockExclusive(&g_winsock_lock);
  if (g_winsock_started) WSACleanup();
  g_winsock_started = false;
  ReleaseSRWLockExclusive(&g_winsock_lock);
}

}  // namespace rd::transport
