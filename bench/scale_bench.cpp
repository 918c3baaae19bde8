// One ReadWeight end to end, against the simulated scale served in-process:
//   - over TCP loopback through the object, against a minimal blocking-socket
//     client that sends the same request to the same scale and waits for its
//     14 bytes: median and 99th percentile of each, and their ratio;
//   - over a pseudo-terminal with the scale pacing its output at 57600 baud,
//     against the wire time of the 22 bytes (8 request + 14 reply) at that
//     rate, 22 * 10 / 57600 s = 3.82 ms;
//   - the CPU time (user + system, getrusage of the calling thread) that one
//     call spends waiting out a silent line, serial and TCP.
// Percentiles come from the individual call times; they are reported as
// counters in microseconds (or milliseconds where the name says so).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "SimScale.h"
#include "plain_client.h"
#include "raroredoziri/Frame.h"
#include "raroredoziri/Scale.h"
#include "raroredoziri/Transport.h"

namespace rd {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kAddress = "127.93.0.1";
constexpr const char* kSilentAddress = "127.93.0.2";
constexpr std::uint16_t kPacedPort = 31;
constexpr std::uint16_t kSilentPort = 32;

// Call times in microseconds, and their percentiles.
class Latencies {
 public:
  void Add(Clock::duration d) {
    us_.push_back(std::chrono::duration<double, std::micro>(d).count());
  }
  double Percentile(double p) {
    if (us_.empty()) return 0;
    std::sort(us_.begin(), us_.end());
    const auto at = static_cast<std::size_t>(p / 100.0 * static_cast<double>(us_.size() - 1) + 0.5);
    return us_[std::min(at, us_.size() - 1)];
  }

 private:
  std::vector<double> us_;
};

// The plain client's figures, for the ratio the object's run reports.
double g_plain_median = 0;
double g_plain_p99 = 0;

// The scale every TCP benchmark talks to; framed, no faults.
sim::SimScale& TcpScale() {
  static const std::unique_ptr<sim::SimScale> scale = [] {
    sim::SimConfig config;
    config.weight = 1000;
    config.weight_step = 1;
    auto s = std::make_unique<sim::SimScale>(config);
    s->Start(sim::SimEndpoints::Tcp(kAddress));
    return s;
  }();
  return *scale;
}

void PlainClientWeight(benchmark::State& state) {
  TcpScale();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kTcpPort);
  ::inet_pton(AF_INET, kAddress, &address.sin_addr);
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    state.SkipWithError("cannot connect to the simulated scale");
    ::close(fd);
    return;
  }
  const Bytes request = BuildFrame({0xA0});
  Bytes reply(14);
  Latencies latencies;
  for (auto _ : state) {
    const auto start = Clock::now();
    const bool exchanged = bench::PlainExchange(fd, request, reply);
    latencies.Add(Clock::now() - start);
    if (!exchanged) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  ::close(fd);
  g_plain_median = latencies.Percentile(50);
  g_plain_p99 = latencies.Percentile(99);
  state.counters["median_us"] = g_plain_median;
  state.counters["p99_us"] = g_plain_p99;
}
BENCHMARK(PlainClientWeight)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(3);

// Times one ReadWeight per iteration on an opened object.
void TimeReadWeights(benchmark::State& state, TScale& scale, Latencies& latencies) {
  for (auto _ : state) {
    const auto start = Clock::now();
    const std::int32_t result = scale.ReadWeight();
    latencies.Add(Clock::now() - start);
    if (result != kResultDone) {
      state.SkipWithError("ReadWeight failed");
      break;
    }
  }
}

void ObjectReadWeightTcp(benchmark::State& state) {
  TcpScale();
  TScale scale;
  scale.Connection = u"127.93.0.1";
  if (scale.OpenConnection() != kResultDone) {
    state.SkipWithError("OpenConnection failed");
    return;
  }
  Latencies latencies;
  TimeReadWeights(state, scale, latencies);
  scale.CloseConnection();
  const double median = latencies.Percentile(50);
  const double p99 = latencies.Percentile(99);
  state.counters["median_us"] = median;
  state.counters["p99_us"] = p99;
  if (g_plain_median > 0) {
    state.counters["median_ratio"] = median / g_plain_median;
    state.counters["p99_ratio"] = p99 / g_plain_p99;
  }
}
BENCHMARK(ObjectReadWeightTcp)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(3);

void ObjectReadWeightPacedPty(benchmark::State& state) {
  sim::SimConfig config;
  config.weight = 1000;
  config.pace = true;  // 10 bits a byte at the line's 57600 baud
  sim::SimScale sim_scale(config);
  sim_scale.Start(sim::SimEndpoints::Pty());
  SetSerialDevice(kPacedPort, sim_scale.PtyPath());
  TScale scale;
  scale.Connection = u"COM31";
  if (scale.OpenConnection() != kResultDone || scale.ProtocolKind != "New") {
    state.SkipWithError("OpenConnection failed");
    return;
  }
  Latencies latencies;
  TimeReadWeights(state, scale, latencies);
  scale.CloseConnection();
  SetSerialDevice(kPacedPort, {});
  constexpr double kWireMs = 22.0 * 10.0 / 57600.0 * 1000.0;
  const double median = latencies.Percentile(50);
  state.counters["median_us"] = median;
  state.counters["p99_us"] = latencies.Percentile(99);
  state.counters["wire_us"] = kWireMs * 1000.0;
  state.counters["median_over_wire"] = median / (kWireMs * 1000.0);
}
BENCHMARK(ObjectReadWeightPacedPty)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(400);

// CPU seconds of the calling thread so far.
double ThreadCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs `call` in the benchmark loop; reports the calling thread's CPU time
// per call and the wall time per call.
template <class Call>
void MeasureSilentWait(benchmark::State& state, Call&& call) {
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    const double cpu_start = ThreadCpuSeconds();
    const auto start = Clock::now();
    const std::int32_t result = call();
    wall += std::chrono::duration<double>(Clock::now() - start).count();
    cpu += ThreadCpuSeconds() - cpu_start;
    if (result != kResultNoReply) {
      state.SkipWithError("the silent line gave an answer");
      break;
    }
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["cpu_ms_per_call"] = cpu / n * 1000.0;
  state.counters["wall_ms_per_call"] = wall / n * 1000.0;
  state.counters["cpu_share_pct"] = wall > 0 ? cpu / wall * 100.0 : 0;
}

void SilentLineSerial(benchmark::State& state) {
  sim::SimConfig config;
  config.silent = true;
  sim::SimScale sim_scale(config);
  sim_scale.Start(sim::SimEndpoints::Pty());
  SetSerialDevice(kSilentPort, sim_scale.PtyPath());
  SetComPortNumber(kSilentPort);
  if (!ComOpen(100000, 100000, 57600)) {
    state.SkipWithError("cannot open the pseudo-terminal");
    return;
  }
  TScale scale;
  scale.Connection = u"COM32";
  scale.ProtocolKind = "New";  // as a successful probe would have left it
  MeasureSilentWait(state, [&] { return scale.ReadWeight(); });
  ComClose();
  SetSerialDevice(kSilentPort, {});
}
BENCHMARK(SilentLineSerial)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void SilentPeerTcp(benchmark::State& state) {
  sim::SimConfig config;
  config.silent = true;
  sim::SimScale sim_scale(config);
  sim_scale.Start(sim::SimEndpoints::Tcp(kSilentAddress));
  if (!TcpConnect(kSilentAddress)) {
    state.SkipWithError("cannot connect");
    return;
  }
  TScale scale;
  scale.Connection = u"127.93.0.2";
  MeasureSilentWait(state, [&] { return scale.ReadWeight(); });
  TcpDisconnect();
}
BENCHMARK(SilentPeerTcp)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
}  // namespace rd
