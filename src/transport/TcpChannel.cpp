// The TCP channel: a client connection to a scale on port 5001 and the
// request/reply logic on top of the platform socket. The free Tcp* functions
// work on the process-wide channel.
#include <array>
#include <chrono>
#include <memory>

#include "raroredoziri/Fault.h"
#include "raroredoziri/Transport.h"
#include "transport/Channels.h"

namespace rd {
namespace transport {
namespace {

// A send waits for room in the connection at most this long.
constexpr std::uint32_t kTcpSendLimitMs = kTcpReadLimitMs;

bool LostConnection(SocketStatus status) {
  return status == SocketStatus::kClosedByPeer || status == SocketStatus::kBroken;
}

[[noreturn]] void RaiseSocketError(const SocketResult& result) {
  throw Fault("Socket error " + std::to_string(result.error) + ": " +
              transport::SocketErrorText(result.error));
}

// Reads and drops input until none came for kSettleQuietMs, or for at most
// kSettleLimitMs: the rest of a reply still arriving in pieces. Returns the
// last receive's result; a lost connection is closed.
SocketResult SettleInput(TcpSocket& socket) {
  std::array<std::uint8_t, 2000> scrap;
  const std::uint32_t start = TickCount();
  for (;;) {
    const SocketResult result = socket.Receive(scrap.data(), scrap.size(), kSettleQuietMs);
    if (result.status != SocketStatus::kOk) {
      if (LostConnection(result.status)) socket.Close();
      return result;
    }
    if (static_cast<std::uint32_t>(TickCount() - start) > kSettleLimitMs) return result;
  }
}

// Drops whatever is waiting (late replies to earlier requests); when some
// was there, waits until the rest of it has come too. False when that showed
// the connection is gone; it is closed then.
bool DiscardWaitingInput(TcpSocket& socket) {
  std::array<std::uint8_t, 2000> scrap;
  bool dropped = false;
  for (;;) {
    const SocketResult result = socket.Receive(scrap.data(), scrap.size(), 0);
    if (result.status == SocketStatus::kOk) {
      dropped = true;
      continue;
    }
    if (result.status == SocketStatus::kTimedOut) break;
    if (LostConnection(result.status)) {
      socket.Close();
      return false;
    }
    RaiseSocketError(result);
  }
  if (!dropped) return true;
  const SocketResult settled = SettleInput(socket);
  if (settled.status == SocketStatus::kError) RaiseSocketError(settled);
  return socket.IsOpen();
}

// Gathers pieces into `reply` until `expected` bytes came (0: the first
// piece) or the receive budget is spent. 0 once at least `enough` bytes came
// within the budget, else 2.
std::int32_t Gather(TcpSocket& client, Bytes& reply, std::size_t enough, std::size_t expected,
                    std::uint32_t start) {
  std::array<std::uint8_t, 2000> piece;
  bool in_time = false;  // `enough` bytes came within the budget
  for (;;) {
    // The first piece may take the whole read limit; later pieces only what
    // is left of the receive budget.
    const auto elapsed = static_cast<std::uint32_t>(TickCount() - start);
    std::uint32_t wait_ms = kTcpReadLimitMs;
    if (!reply.empty()) {
      if (elapsed > kTcpReceiveBudgetMs) return in_time ? 0 : 2;
      wait_ms = kTcpReceiveBudgetMs + 1 - elapsed;
    }
    const SocketResult result = client.Receive(piece.data(), piece.size(), wait_ms);
    if (result.status != SocketStatus::kOk) {
      if (LostConnection(result.status)) client.Close();
      if (in_time) return 0;
      if (result.status != SocketStatus::kTimedOut || reply.empty()) reply.clear();
      return 2;
    }
    reply.insert(reply.end(), piece.begin(),
                 piece.begin() + static_cast<std::ptrdiff_t>(result.count));
    if (static_cast<std::uint32_t>(TickCount() - start) > kTcpReceiveBudgetMs) {
      return in_time ? 0 : 2;
    }
    in_time = reply.size() >= enough;
    if (expected == 0 || reply.size() > expected) return 0;
    if (reply.size() == expected) {
      // Bytes already waiting behind a reply of the right length make it an
      // over-long one.
      const SocketResult more = client.Receive(piece.data(), piece.size(), 0);
      if (more.status == SocketStatus::kOk) {
        reply.insert(reply.end(), piece.begin(),
                     piece.begin() + static_cast<std::ptrdiff_t>(more.count));
      } else if (LostConnection(more.status)) {
        client.Close();
      }
      return 0;
    }
  }
}

}  // namespace

bool TcpChannel::Connect(const std::string& host) {
  client_.reset();  // closes the previous connection before the new attempt
  client_ = std::make_unique<TcpSocket>();
  host_ = host;
  replace_ = false;
  // Looking the name up and connecting share the connect limit.
  const auto start = std::chrono::steady_clock::now();
  const std::vector<std::string> addresses = Resolve(host, kTcpConnectLimitMs);
  for (const std::string& address : addresses) {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
    if (spent >= kTcpConnectLimitMs) break;
    if (client_->Connect(address, kTcpPort,
                         kTcpConnectLimitMs - static_cast<std::uint32_t>(spent))) {
      return true;
    }
  }
  return false;
}

std::int32_t TcpChannel::Send(const Bytes& data) {
  if (!Connected()) return 1;
  if (replace_ && !Connect(host_)) return 1;
  if (!DiscardWaitingInput(*client_)) return 1;
  const SocketResult result = client_->Send(data.data(), data.size(), kTcpSendLimitMs);
  if (result.status != SocketStatus::kOk) {
    // A connection that lost part of a request is of no further use.
    if (result.status != SocketStatus::kError) client_->Close();
    // One that keeps it may still answer what did go out.
    replace_ = client_->IsOpen();
    RaiseSocketError(result);
  }
  return 0;
}

std::int32_t TcpChannel::Receive(Bytes& reply, std::size_t expected, std::size_t enough) {
  reply.clear();
  const std::uint32_t start = TickCount();
  if (!Connected()) return 1;
  TcpSocket& client = *client_;
  if (enough == 0 || enough > expected) enough = expected;
  const std::int32_t code = Gather(client, reply, enough, expected, start);
  // No reply, part of one, or more than one: the rest, or the answer itself,
  // may still be on its way. It must not become the start of the next
  // reply, so the next request goes over a fresh connection.
  if (expected != 0 && reply.size() != expected && client.IsOpen()) replace_ = true;
  return code;
}

}  // namespace transport

namespace {

transport::TcpChannel& Tcp() { return ProcessChannels().tcp; }

// Runs one step on the process-wide TCP channel in a turn of its own;
// `busy` when another thread kept the channel past the wait.
template <class Step, class Result>
Result OnTcp(Step step, Result busy) {
  const transport::ChannelTurn turn(Tcp().Lock());
  return turn.Usable() ? step(Tcp()) : busy;
}

}  // namespace

bool TcpConnect(const std::string& host) {
  return OnTcp([&](auto& c) { return c.Connect(host); }, false);
}
void TcpDisconnect() {
  OnTcp([](auto& c) { return (c.Disconnect(), true); }, false);
}
bool TcpHasClient() {
  return OnTcp([](auto& c) { return c.HasClient(); }, false);
}
bool TcpConnected() {
  return OnTcp([](auto& c) { return c.Connected(); }, false);
}
std::int32_t TcpSend(const Bytes& data) {
  return OnTcp([&](auto& c) { return c.Send(data); }, std::int32_t{1});
}
std::int32_t TcpReceive(Bytes& reply, std::size_t expected) {
  reply.clear();
  return OnTcp([&](auto& c) { return c.Receive(reply, expected); }, std::int32_t{2});
}

}  // namespace rd
