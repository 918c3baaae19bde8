#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>

#include "SimScale.h"
#include "raroredoziri/Fault.h"
#include "raroredoziri/Frame.h"

namespace rd::sim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A tiny blocking client over a socket or a pty slave.
class Peer {
 public:
  static Peer Tcp(const std::string& address) {
    Peer peer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(5001);
    ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    EXPECT_EQ(::connect(peer.fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << address;
    return peer;
  }
  static Peer Serial(const std::string& path, speed_t speed) {
    Peer peer(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    EXPECT_GE(peer.fd_, 0) << path;
    peer.SetSpeed(speed);
    return peer;
  }
  Peer(Peer&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  ~Peer() {
    if (fd_ >= 0) ::close(fd_);
  }

  void SetSpeed(speed_t speed) {
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd_, &tio), 0);
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    ASSERT_EQ(::tcsetattr(fd_, TCSANOW, &tio), 0);
  }
  void Send(const Bytes& data) {
    ASSERT_EQ(::write(fd_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }
  // One read of what is there, waiting up to `wait`; empty on time-out.
  Bytes ReceiveSome(std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return {};
    Bytes buffer(512);
    const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
    if (got <= 0) {
      closed_ = true;
      return {};
    }
    buffer.resize(static_cast<std::size_t>(got));
    return buffer;
  }
  // Gathers bytes until `count` came, the peer closed, or `wait` passed.
  Bytes Receive(std::size_t count, std::chrono::milliseconds wait = 1000ms) {
    Bytes all;
    const auto end = Clock::now() + wait;
    while (all.size() < count && !closed_ && Clock::now() < end) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      const Bytes piece = ReceiveSome(std::max(left, 1ms));
      all.insert(all.end(), piece.begin(), piece.end());
    }
    return all;
  }
  bool Closed() const { return closed_; }

 private:
  explicit Peer(int fd) : fd_(fd) {}
  int fd_;
  bool closed_ = false;
};

const Bytes kWeightRequest = BuildFrame({0xA0});
const Bytes kTareRequest = BuildFrame({0xA1});
const Bytes kAck{0xF8, 0x55, 0xCE, 0x01, 0x00, 0x06, 0x06, 0x00};
const Bytes kNak{0xF8, 0x55, 0xCE, 0x01, 0x00, 0x15, 0x15, 0x00};

Bytes GoodsMilk() {
  Bytes body{0xA2, 'M', 'i', 'l', 'k'};
  body.resize(16, ' ');
  return BuildFrame(body);
}

struct LogLines {
  std::mutex mutex;
  std::vector<std::string> lines;
  SimLog Sink() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    };
  }
  bool Has(const std::string& line) {
    std::lock_guard lock(mutex);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
};

TEST(SimScale, TcpSessionAnswersRecordsAndServesTheNextClient) {
  LogLines log;
  SimConfig config;
  config.weight = 10000;
  config.division = 3;
  SimScale sim(config, log.Sink());
  sim.Start(SimEndpoints::Tcp("127.61.1.1"));
  EXPECT_EQ(sim.TcpEndpoint(), "127.61.1.1:5001");
  {
    Peer peer = Peer::Tcp("127.61.1.1");
    peer.Send(kWeightRequest);
    const Bytes reply = peer.Receive(14);
    ASSERT_EQ(reply.size(), 14u);
    EXPECT_EQ(Bytes(reply.begin() + 6, reply.begin() + 12), (Bytes{0x10, 0x27, 0, 0, 3, 1}));
    peer.Send(GoodsMilk());
    EXPECT_EQ(peer.Receive(8), kAck);
    peer.Send({kLegacyProbe});  // a framed scale keeps quiet
    EXPECT_TRUE(peer.ReceiveSome(150ms).empty());
  }
  ASSERT_TRUE(sim.WaitForRequests(3, 1s));
  const auto seen = sim.Requests();
  EXPECT_EQ(seen[0].description, "ReadWeight");
  EXPECT_EQ(seen[1].request.raw, GoodsMilk());
  EXPECT_EQ(seen[2].link, "tcp");
  EXPECT_TRUE(
      log.Has("request F8 55 CE 10 00 A2 4D 69 6C 6B 20 20 20 20 20 20 20 20 20 20 20 0D "
              "17 | SetGoods Goods=\"Milk           \""));
  EXPECT_TRUE(log.Has("request 45 | Probe \"E\" [ignored by a framed scale]"));

  Peer next = Peer::Tcp("127.61.1.1");
  next.Send(kTareRequest);
  EXPECT_EQ(next.Receive(13).size(), 13u);
}

TEST(SimScale, HistoryKeepsOnlyTheLatestRequests) {
  SimConfig config;
  config.weight = 100;
  config.weight_step = 1;
  config.history = 3;
  SimScale sim(config);
  sim.Start(SimEndpoints::Tcp("127.61.1.12"));
  const auto start = Clock::now();
  Peer peer = Peer::Tcp("127.61.1.12");
  for (int i = 0; i < 5; ++i) {
    peer.Send(kWeightRequest);
    ASSERT_EQ(peer.Receive(14).size(), 14u);
  }
  EXPECT_EQ(sim.RequestCount(), 5u) << "every request counts";
  const auto kept = sim.Requests();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept.front().answer[6], 102) << "the third request's weight";
  EXPECT_EQ(sim.RequestsSince(0).size(), 3u);
  ASSERT_EQ(sim.RequestsSince(4).size(), 1u);
  EXPECT_EQ(sim.RequestsSince(4).front().answer[6], 104);
  EXPECT_EQ(sim.AnsweredSince(start), (std::vector<std::size_t>{2, 3, 4}));
}

TEST(SimScale, TcpRefusalSplitExtraAndSilence) {
  SimConfig refusing;
  refusing.refused = {0xA5};
  SimScale a(refusing);
  a.Start(SimEndpoints::Tcp("127.61.1.2"));
  Peer pa = Peer::Tcp("127.61.1.2");
  pa.Send(BuildFrame({0xA5, 'A', 'B', ' ', ' ', ' '}));
  EXPECT_EQ(pa.Receive(8), kNak);
  pa.Send(BuildFrame({0xA4, 'A', 'B', ' ', ' ', ' '}));
  EXPECT_EQ(pa.Receive(8), kAck);

  SimConfig split;
  split.split = 2;
  split.split_gap_ms = 150;
  SimScale b(split);
  b.Start(SimEndpoints::Tcp("127.61.1.3"));
  Peer pb = Peer::Tcp("127.61.1.3");
  pb.Send(kWeightRequest);
  EXPECT_EQ(pb.ReceiveSome(1s).size(), 7u);  // the first piece alone
  EXPECT_EQ(pb.Receive(7).size(), 7u);

  SimConfig extra;
  extra.extra = 3;
  SimScale c(extra);
  c.Start(SimEndpoints::Tcp("127.61.1.4"));
  Peer pc = Peer::Tcp("127.61.1.4");
  pc.Send(kWeightRequest);
  const Bytes longer = pc.Receive(20, 300ms);
  ASSERT_EQ(longer.size(), 17u);
  EXPECT_EQ(longer[16], 0xEE);

  SimConfig silent;
  silent.silent = true;
  SimScale d(silent);
  d.Start(SimEndpoints::Tcp("127.61.1.5"));
  Peer pd = Peer::Tcp("127.61.1.5");
  pd.Send(kWeightRequest);
  EXPECT_TRUE(pd.ReceiveSome(200ms).empty());
  EXPECT_EQ(d.RequestCount(), 1u);
}

TEST(SimScale, CloseAfterDropsTheClientAndTheNextOneCountsAgain) {
  SimConfig config;
  config.close_after = 2;
  SimScale sim(config);
  sim.Start(SimEndpoints::Tcp("127.61.1.6"));
  for (int round = 0; round < 2; ++round) {
    Peer peer = Peer::Tcp("127.61.1.6");
    peer.Send(kWeightRequest);
    EXPECT_EQ(peer.Receive(14).size(), 14u);
    peer.Send(kWeightRequest);
    EXPECT_TRUE(peer.Receive(14).empty());
    EXPECT_TRUE(peer.Closed());
  }
}

TEST(SimScale, HeldReplyArrivesWithTheNextRequest) {
  // A seed whose first random fault holds the reply back.
  SimConfig config;
  for (std::uint64_t seed = 0;; ++seed) {
    config.chaos_seed = seed;
    if (SimDevice(config).Handle({RequestKind::kFrame, kWeightRequest}, 1, 0).hold) break;
  }
  SimScale sim(config);
  sim.Start(SimEndpoints::Tcp("127.61.1.7"));
  Peer peer = Peer::Tcp("127.61.1.7");
  peer.Send(kWeightRequest);
  EXPECT_TRUE(peer.ReceiveSome(150ms).empty());
  peer.Send(kTareRequest);
  // The held weight reply goes first, then whatever the tare request earns.
  const Bytes late = peer.Receive(14);
  ASSERT_GE(late.size(), 14u);
  EXPECT_EQ(Bytes(late.begin(), late.begin() + 14), BuildFrame({0xA0, 0, 0, 0, 0, 1, 1}));
}

TEST(SimScale, MaxRequestsEndsTheServerOnceTheRepliesAreOut) {
  SimConfig config;
  config.max_requests = 2;
  SimScale sim(config);
  sim.Start(SimEndpoints::Tcp("127.61.1.8"));
  Peer peer = Peer::Tcp("127.61.1.8");
  peer.Send(kWeightRequest);
  EXPECT_EQ(peer.Receive(14).size(), 14u);
  EXPECT_FALSE(sim.Done());
  peer.Send(kTareRequest);
  EXPECT_EQ(peer.Receive(13).size(), 13u);
  pollfd p{sim.DoneFd(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 1000), 1);
  EXPECT_TRUE(sim.Done());
}

TEST(SimScale, MaxRequestsOnAPtyWaitsUntilTheLastReplyIsRead) {
  SimConfig config;
  config.variant = SimVariant::kLegacy;
  config.max_requests = 1;
  SimScale sim(config);
  sim.Start(SimEndpoints::Pty());
  Peer line = Peer::Serial(sim.PtyPath(), B4800);
  line.Send({kLegacyWeight});
  // Not done while the reply waits unread: closing the master would lose it.
  pollfd p{sim.DoneFd(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 200), 0);
  EXPECT_EQ(line.Receive(5).size(), 5u);
  EXPECT_EQ(::poll(&p, 1, 1000), 1);
}

TEST(SimScale, StopIsPromptWithOutputPending) {
  SimConfig config;
  config.delay_ms = 10000;
  SimScale sim(config);
  sim.Start(SimEndpoints::Tcp("127.61.1.9"));
  Peer peer = Peer::Tcp("127.61.1.9");
  peer.Send(kWeightRequest);
  ASSERT_TRUE(sim.WaitForRequests(1, 1s));
  const auto start = Clock::now();
  sim.Stop();
  EXPECT_LT(Clock::now() - start, 500ms);
  EXPECT_TRUE(peer.Receive(1).empty());  // the connection went with the server
}

std::string TempDir() {
  char pattern[] = "/tmp/rd-sim-test-XXXXXX";
  const char* dir = ::mkdtemp(pattern);
  EXPECT_NE(dir, nullptr);
  return dir ? dir : "/tmp";
}

TEST(SimScale, PtyFramedScaleAnswersOnlyAt57600AndRemovesItsLink) {
  const std::string dir = TempDir();
  const std::string link = dir + "/scale";
  {
    SimScale sim(SimConfig{});
    sim.Start(SimEndpoints::Pty(link));
    EXPECT_EQ(sim.PtyPath().rfind("/dev/pts/", 0), 0u);
    Peer line = Peer::Serial(link, B4800);
    line.Send({kLegacyProbe});
    EXPECT_TRUE(line.ReceiveSome(150ms).empty());
    line.SetSpeed(B57600);
    line.Send(kWeightRequest);
    EXPECT_EQ(line.Receive(14).size(), 14u);
    line.SetSpeed(B4800);
    line.Send(kWeightRequest);
    EXPECT_TRUE(line.ReceiveSome(150ms).empty());
    ASSERT_TRUE(sim.WaitForRequests(3, 1s));
    EXPECT_EQ(sim.Requests()[2].note, "ignored: line at 4800 baud");
    EXPECT_EQ(sim.Requests()[2].link, "pty");
  }
  struct stat st {};
  EXPECT_NE(::lstat(link.c_str(), &st), 0);
  ::rmdir(dir.c_str());
}

TEST(SimScale, PtyLegacyScalePacesItsRepliesAt4800) {
  SimConfig config;
  config.variant = SimVariant::kLegacy;
  config.pace = true;
  config.weight = 10000;
  SimScale sim(config);
  sim.Start(SimEndpoints::Pty());
  Peer line = Peer::Serial(sim.PtyPath(), B4800);
  line.Send({kLegacyProbe});
  EXPECT_EQ(line.Receive(2), (Bytes{0x06, 0x45}));
  const auto start = Clock::now();
  line.Send({kLegacyWeight});
  EXPECT_EQ(line.Receive(5), (Bytes{0x80, 0x00, 0x10, 0x27, 0x00}));
  EXPECT_GE(Clock::now() - start, 8ms);  // 5 bytes of 10 bits at 4800 baud: 10.4 ms
  line.SetSpeed(B57600);
  line.Send({kLegacyProbe});
  EXPECT_TRUE(line.ReceiveSome(150ms).empty());
}

TEST(SimScale, StartFailures) {
  EXPECT_THROW(SimScale(SimConfig{}).Start(SimEndpoints{}), Fault);
  EXPECT_THROW(SimScale(SimConfig{}).Start(SimEndpoints::Tcp("not-an-address")), Fault);

  SimScale first(SimConfig{});
  first.Start(SimEndpoints::Tcp("127.61.1.10"));
  EXPECT_THROW(SimScale(SimConfig{}).Start(SimEndpoints::Tcp("127.61.1.10")), Fault);
  EXPECT_THROW(first.Start(SimEndpoints::Tcp("127.61.1.11")), Fault);

  const std::string dir = TempDir();
  const std::string file = dir + "/file";
  ::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600));
  EXPECT_THROW(SimScale(SimConfig{}).Start(SimEndpoints::Pty(file)), Fault);
  struct stat st {};
  ASSERT_EQ(::lstat(file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  ::unlink(file.c_str());
  ::rmdir(dir.c_str());
}

}  // namespace
}  // namespace rd::sim
