// Reply gathering on both channels, fed arbitrary chunkings and timings:
// ComReceive(N) reads until exactly N bytes came, a read fails, or more than
// 3000 ms passed after a read; TcpReceive gathers pieces until the expected
// count is in (or takes the first piece), within its 2000 ms budget, and the
// first wait is the 4000 ms read limit; a reply of another length than
// expected is followed by waiting for the line to go quiet. The tick counter
// may start anywhere,
// just before its wrap included.
#include "FakeTransport.h"
#include "raroredoziri/Transport.h"
#include "transport/Channels.h"

namespace {

using rd::Bytes;
using rd::fuzz::World;
using rd::transport::SocketStatus;

void SerialCase(FuzzedDataProvider& in) {
  const auto expected = in.ConsumeIntegralInRange<std::int32_t>(1, 40);
  rd::SetComPortNumber(1);
  RD_FUZZ_CHECK(rd::ComOpen(100000, 100000, 57600));
  World().ClearRecords();
  const std::uint32_t start = World().now;
  const Bytes reply = rd::ComReceive(expected);

  const auto& reads = World().serial_reads;
  RD_FUZZ_CHECK(!reads.empty());
  Bytes joined;
  std::int64_t total = 0;
  std::size_t stopped = reads.size();
  for (std::size_t i = 0; i < reads.size(); ++i) {
    joined.insert(joined.end(), reads[i].data.begin(), reads[i].data.end());
    total += static_cast<std::int64_t>(reads[i].data.size());
    const bool late = static_cast<std::uint32_t>(reads[i].tick_after - start) > 3000;
    if (stopped == reads.size() && (reads[i].failed || late || total == expected)) stopped = i;
  }
  // The wait stops after the first read that meets a stop condition, and
  // only then; a reply of the right length may be followed by one more read
  // when an earlier exchange left a late answer possible (the port's
  // late-reply watch outlives a case): what it brings makes it over-long.
  Bytes upto;
  for (std::size_t i = 0; i <= stopped && i < reads.size(); ++i) {
    upto.insert(upto.end(), reads[i].data.begin(), reads[i].data.end());
  }
  const bool confirmed =
      stopped + 2 == reads.size() && static_cast<std::int64_t>(upto.size()) == expected;
  RD_FUZZ_CHECK(stopped + 1 == reads.size() || confirmed);
  RD_FUZZ_CHECK(reply == joined);
}

void TcpCase(FuzzedDataProvider& in) {
  static constexpr std::size_t kExpected[] = {0, 1, 5, 8, 13, 14, 40};
  const std::size_t expected = kExpected[in.ConsumeIntegralInRange<std::size_t>(0, 6)];
  RD_FUZZ_CHECK(rd::TcpConnect("127.0.0.1"));
  World().ClearRecords();
  const std::uint32_t start = World().now;
  Bytes reply{0xEE};
  const std::int32_t result = rd::TcpReceive(reply, expected);
  const auto elapsed = static_cast<std::uint32_t>(World().now - start);

  const auto& receives = World().tcp_receives;
  RD_FUZZ_CHECK(result == 0 || result == 2);
  RD_FUZZ_CHECK(!receives.empty());
  RD_FUZZ_CHECK(receives.front().wait_ms == rd::kTcpReadLimitMs);
  // The gathering receives end with the first that met a stop condition.
  Bytes joined;
  std::size_t gathered = receives.size();
  for (std::size_t i = 0; i < receives.size(); ++i) {
    joined.insert(joined.end(), receives[i].data.begin(), receives[i].data.end());
    const bool late =
        static_cast<std::uint32_t>(receives[i].tick_after - start) > rd::kTcpReceiveBudgetMs;
    const bool failed = static_cast<SocketStatus>(receives[i].status) != SocketStatus::kOk;
    if (failed || late || expected == 0 || joined.size() >= expected) {
      gathered = i + 1;
      break;
    }
  }
  RD_FUZZ_CHECK(gathered <= receives.size());
  for (std::size_t i = 1; i < gathered; ++i) {
    // Later pieces wait only for what is left of the budget.
    const auto before = static_cast<std::uint32_t>(receives[i - 1].tick_after - start);
    RD_FUZZ_CHECK(before <= rd::kTcpReceiveBudgetMs);
    RD_FUZZ_CHECK(receives[i].wait_ms == rd::kTcpReceiveBudgetMs + 1 - before);
  }
  // What came behind them (bytes already waiting after a reply of the right
  // length) belongs to the reply. Nothing else is waited for: after a reply
  // of another length the connection is replaced before the next request.
  const std::size_t peeked = World().tcp_discarded;
  RD_FUZZ_CHECK(peeked == 0 || (expected != 0 && joined.size() == expected));
  RD_FUZZ_CHECK(gathered == receives.size());
  RD_FUZZ_CHECK(elapsed <= rd::kTcpReadLimitMs + rd::kTcpReceiveBudgetMs + 1);

  const auto last = static_cast<SocketStatus>(receives[gathered - 1].status);
  if (result == 0) {
    RD_FUZZ_CHECK(reply.size() == joined.size() + peeked);
    RD_FUZZ_CHECK(std::equal(joined.begin(), joined.end(), reply.begin()));
    RD_FUZZ_CHECK(expected == 0 ? gathered == 1 : reply.size() >= expected);
    // Gathering stopped as soon as the count was reached.
    RD_FUZZ_CHECK(joined.size() - receives[gathered - 1].data.size() <
                  (expected == 0 ? 1 : expected));
  }
  if (last == SocketStatus::kClosedByPeer || last == SocketStatus::kBroken) {
    RD_FUZZ_CHECK(result == 2 && !rd::TcpConnected());
    RD_FUZZ_CHECK(reply.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  rd::fuzz::Install(in, in.ConsumeIntegral<std::uint32_t>());
  World().scripted_setup = false;
  if (in.ConsumeBool()) {
    SerialCase(in);
  } else {
    TcpCase(in);
  }
  rd::fuzz::ResetChannels();
  return 0;
}
