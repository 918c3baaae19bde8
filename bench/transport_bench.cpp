// The cost of one request/reply exchange: an 8-byte request and a 14-byte
// reply, as a weight query has them. Over TCP loopback through the channel
// and through a plain blocking socket (same peer), and over a
// pseudo-terminal through the serial channel.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "plain_client.h"
#include "raroredoziri/Transport.h"
#include "transport/pty_pair.h"
#include "transport/tcp_peer.h"
#include "transport/transport_test_util.h"

namespace rd {
namespace {

const Bytes kRequest = test::Pattern(8, 0x10);
const Bytes kReply = test::Pattern(14, 0xA0);

// Answers every 8-byte request with the 14-byte reply, one connection after
// the other, until destroyed.
class EchoPeer {
 public:
  explicit EchoPeer(const std::string& address) : listener_(address) {
    thread_ = std::thread([this] {
      while (!stop_) {
        test::PeerSocket peer = listener_.Accept(100);
        while (!stop_ && peer.Valid()) {
          const Bytes request = peer.Receive(kRequest.size(), 100);
          if (request.size() == kRequest.size()) {
            peer.SendAll(kReply);
          } else if (!request.empty() || peer.SeesClose(0)) {
            break;
          }
        }
      }
    });
  }
  ~EchoPeer() {
    stop_ = true;
    thread_.join();
  }
  bool Valid() const { return listener_.Valid(); }

 private:
  test::PeerListener listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

const std::string kAddress = test::LoopbackAddress(240);

void TcpChannelExchange(benchmark::State& state) {
  EchoPeer peer(kAddress);
  if (!peer.Valid() || !TcpConnect(kAddress)) {
    state.SkipWithError("no loopback peer");
    return;
  }
  Bytes reply;
  for (auto _ : state) {
    if (TcpSend(kRequest) != 0 || TcpReceive(reply, kReply.size()) != 0 || reply != kReply) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  TcpDisconnect();
}

// The baseline: a blocking socket, send() then recv() until 14 bytes came.
void PlainSocketExchange(benchmark::State& state) {
  EchoPeer peer(kAddress);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kTcpPort);
  inet_pton(AF_INET, kAddress.c_str(), &address.sin_addr);
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (!peer.Valid() || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    state.SkipWithError("no loopback peer");
    ::close(fd);
    return;
  }
  Bytes reply(kReply.size());
  for (auto _ : state) {
    if (!bench::PlainExchange(fd, kRequest, reply)) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  ::close(fd);
}

void SerialPtyExchange(benchmark::State& state) {
  constexpr std::uint16_t kPort = 40;
  test::PtyPair pty;
  SetSerialDevice(kPort, pty.SlavePath());
  SetComPortNumber(kPort);
  if (!pty.Valid() || !ComOpen(100000, 100000, 57600)) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  std::atomic<bool> stop{false};
  std::thread scale([&] {
    while (!stop) {
      if (pty.Read(kRequest.size(), 100).size() == kRequest.size()) pty.Write(kReply);
    }
  });
  for (auto _ : state) {
    ComWrite(kRequest);
    if (ComReceive(static_cast<std::int32_t>(kReply.size())) != kReply) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  stop = true;
  scale.join();
  ComClose();
  SetSerialDevice(kPort, "");
}

BENCHMARK(PlainSocketExchange)->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(7);
BENCHMARK(TcpChannelExchange)->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(7);
BENCHMARK(SerialPtyExchange)->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(7);

}  // namespace
}  // namespace rd
