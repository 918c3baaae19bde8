// The TCP channel: the one process-wide client connection to a scale on
// port 5001, and the request/reply logic on top of the platform socket.
#include <array>
#include <memory>

#include "raroredoziri/Fault.h"
#include "raroredoziri/Transport.h"
#include "transport/tcp_socket.h"

namespace rd {
namespace {

using transport::SocketResult;
using transport::SocketStatus;
using transport::TcpSocket;

// A send waits for room in the connection at most this long.
constexpr std::uint32_t kTcpSendLimitMs = kTcpReadLimitMs;

// The client: none, or a socket that is open ("connected") or closed.
std::unique_ptr<TcpSocket>& Client() {
  static std::unique_ptr<TcpSocket> client;
  return client;
}

bool Connected(const std::unique_ptr<TcpSocket>& client) { return client && client->IsOpen(); }

bool LostConnection(SocketStatus status) {
  return status == SocketStatus::kClosedByPeer || status == SocketStatus::kBroken;
}

[[noreturn]] void RaiseSocketError(const SocketResult& result) {
  throw Fault("Socket error " + std::to_string(result.error) + ": " +
              transport::SocketErrorText(result.error));
}

// Drops whatever is waiting (late replies to earlier requests) without
// blocking. False when that showed the connection is gone; it is closed then.
bool DiscardWaitingInput(TcpSocket& socket) {
  std::array<std::uint8_t, 2000> scrap;
  for (;;) {
    const SocketResult result = socket.Receive(scrap.data(), scrap.size(), 0);
    if (result.status == SocketStatus::kOk) continue;
    if (result.status == SocketStatus::kTimedOut) return true;
    if (LostConnection(result.status)) {
      socket.Close();
      return false;
    }
    RaiseSocketError(result);
  }
}

}  // namespace

bool TcpConnect(const std::string& host) {
  std::unique_ptr<TcpSocket>& client = Client();
  client.reset();  // closes the previous connection before the new attempt
  client = std::make_unique<TcpSocket>();
  return client->Connect(host, kTcpPort, kTcpConnectLimitMs);
}

void TcpDisconnect() { Client().reset(); }

bool TcpHasClient() { return Client() != nullptr; }

bool TcpConnected() { return Connected(Client()); }

std::int32_t TcpSend(const Bytes& data) {
  std::unique_ptr<TcpSocket>& client = Client();
  if (!Connected(client)) return 1;
  if (!DiscardWaitingInput(*client)) return 1;
  const SocketResult result = client->Send(data.data(), data.size(), kTcpSendLimitMs);
  if (result.status != SocketStatus::kOk) {
    // A connection that lost part of a request is of no further use.
    if (result.status != SocketStatus::kError) client->Close();
    RaiseSocketError(result);
  }
  return 0;
}

std::int32_t TcpReceive(Bytes& reply, std::size_t expected) {
  reply.clear();
  const std::uint32_t start = TickCount();
  std::unique_ptr<TcpSocket>& client = Client();
  if (!Connected(client)) return 1;
  std::array<std::uint8_t, 2000> piece;
  for (;;) {
    // The first piece may take the whole read limit; later pieces only what
    // is left of the receive budget.
    const auto elapsed = static_cast<std::uint32_t>(TickCount() - start);
    std::uint32_t wait_ms = kTcpReadLimitMs;
    if (!reply.empty()) {
      if (elapsed > kTcpReceiveBudgetMs) return 2;
      wait_ms = kTcpReceiveBudgetMs + 1 - elapsed;
    }
    const SocketResult result = client->Receive(piece.data(), piece.size(), wait_ms);
    if (result.status != SocketStatus::kOk) {
      if (LostConnection(result.status)) client->Close();
      if (result.status != SocketStatus::kTimedOut || reply.empty()) reply.clear();
      return 2;
    }
    reply.insert(reply.end(), piece.begin(),
                 piece.begin() + static_cast<std::ptrdiff_t>(result.count));
    if (static_cast<std::uint32_t>(TickCount() - start) > kTcpReceiveBudgetMs) return 2;
    if (expected == 0 || reply.size() >= expected) return 0;
  }
}

}  // namespace rd
