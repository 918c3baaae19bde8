// Several Scale objects on several threads. The channels are process-wide;
// each takes one exchange at a time, so threads may call at once, and a
// reply always reaches the thread that asked for it. Where a thread needs a
// sequence of calls to stay together (open if closed, then read), the host
// keeps its own lock (below). The tests run under ThreadSanitizer, which
// shows that everything the objects share is safe to use at the same time:
// the channels, the code-page tables, the member table, the error
// information, the seams' defaults and the simulated scale.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimScale.h"
#include "raroredoziri/ErrorInfo.h"
#include "raroredoziri/Members.h"
#include "raroredoziri/ScaleLink.h"
#include "raroredoziri/Text.h"
#include "raroredoziri/Transport.h"
#include "transport/ChannelLock.h"

namespace rd::test {
namespace {

// The host's lock, for sequences of calls that must stay together.
std::mutex g_exchange;

std::u16string Wide(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

std::int32_t Call(TScale& scale, std::string_view name) {
  MemberValue value;
  const MemberInfo* member = FindMember(DispidOfName(name), MemberKind::Method);
  const std::int32_t status = InvokeMember(scale, *member, value);
  EXPECT_EQ(status, kStatusOk) << name;
  return status == kStatusOk ? std::get<std::int32_t>(value) : -1;
}

std::int32_t Put(TScale& scale, std::string_view name, MemberValue value) {
  return InvokeMember(scale, *FindMember(DispidOfName(name), MemberKind::Put), value);
}

sim::SimConfig Scale(std::int32_t weight, std::int32_t step) {
  sim::SimConfig c;
  c.weight = weight;
  c.weight_step = step;
  c.division = 2;
  c.tare = 75;
  return c;
}

// Work every thread does on its own object outside the exchange lock: puts
// that convert text through the shared code-page table, a refused put that
// leaves error information for this thread only, and a command body.
void OwnObjectWork(TScale& scale, int thread, int round) {
  const std::u16string goods = u"Goods \u00E9\u0416 " + Wide(std::to_string(thread * 1000 + round));
  ASSERT_EQ(Put(scale, "Goods", goods), kStatusOk);
  ASSERT_EQ(Put(scale, "Text", u"Text \u20AC " + Wide(std::to_string(round))), kStatusOk);
  ASSERT_EQ(Put(scale, "GoodsButton3", goods), kStatusOk);
  ASSERT_EQ(Put(scale, "Lock2", static_cast<std::int8_t>(round % 100)), kStatusOk);
  // A byte above 127 is refused; the error information is this thread's.
  ASSERT_EQ(Put(scale, "Tape", static_cast<std::int8_t>(-1)), kStatusUnexpected);
  const auto error = TakeErrorInfo();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->description, u"Range check error");
  EXPECT_FALSE(TakeErrorInfo().has_value());
  EXPECT_EQ(scale.CommandBody(0xAB).size(), 121u);
  EXPECT_EQ(AnsiToWide(WideToAnsi(u"Caf\u00E9")), u"Caf\u00E9");
  (void)TickCount();
}

// Several threads, each with its own object, doing TCP sessions against
// one simulated scale; the exchanges take turns.
TEST(ThreadsShareChannels, SerialisedTcpSessionsAgainstOneScale) {
  sim::SimScale scale(Scale(10'000, 1));
  scale.Start(sim::SimEndpoints::Tcp("127.92.0.1"));
  constexpr int kThreads = 4;
  constexpr int kRounds = 150;
  std::atomic<int> reads{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &reads] {
      TScale s;
      s.Connection = u"127.92.0.1";
      std::int32_t last_weight = 0;
      for (int round = 0; round < kRounds; ++round) {
        OwnObjectWork(s, t, round);
        std::lock_guard lock(g_exchange);
        // Another thread may have closed the shared connection.
        if (!TcpConnected()) {
          ASSERT_EQ(Call(s, "OpenConnection"), kResultDone);
        }
        ASSERT_EQ(Call(s, "ReadWeight"), kResultDone);
        // Every reply is new: the weight only grows.
        EXPECT_GT(s.Weight, last_weight);
        last_weight = s.Weight;
        ++reads;
        EXPECT_EQ(Call(s, "ReadTare"), kResultDone);
        EXPECT_EQ(s.Tare, 75);
        EXPECT_EQ(Call(s, round % 2 ? "SetGoods" : "SetGoodsButton"), kResultDone);
        if (round % 10 == t) {
          EXPECT_EQ(Call(s, "CloseConnection"), kResultDone);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(reads.load(), kThreads * kRounds);
  TcpDisconnect();
}

// Links own their channels and lock them: two scales at once, one over TCP
// and one over a serial port, each driven by several threads without any
// lock of the host's, while the process-wide channels stay closed.
TEST(ThreadsShareChannels, LinksServeTwoScalesAtOnceFromManyThreads) {
  sim::SimScale tcp_scale(Scale(1'000'000, 1));
  tcp_scale.Start(sim::SimEndpoints::Tcp("127.92.0.9"));
  sim::SimScale serial_scale(Scale(5'000'000, 1));
  serial_scale.Start(sim::SimEndpoints::Pty());
  SetSerialDevice(41, serial_scale.PtyPath());
  ScaleLink links[2];
  ASSERT_EQ(links[0].Open(u"127.92.0.9"), kResultDone);
  ASSERT_EQ(links[1].Open(u"COM41"), kResultDone);
  constexpr int kThreadsPerLink = 3;
  constexpr int kRounds = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2 * kThreadsPerLink; ++t) {
    threads.emplace_back([t, &links] {
      ScaleLink& link = links[t % 2];
      const std::int32_t low = t % 2 ? 5'000'000 : 1'000'000;
      std::int32_t last = 0;
      for (int round = 0; round < kRounds; ++round) {
        const ScaleLink::Weighing w = link.ReadWeight();
        ASSERT_EQ(w.result, kResultDone);
        // Each thread sees its own link's scale, and every reply is new.
        EXPECT_GE(w.weight, low);
        EXPECT_LT(w.weight, low + 1'000'000);
        EXPECT_GT(w.weight, last);
        last = w.weight;
        EXPECT_EQ(link.ReadTare().tare, 75);
        EXPECT_EQ(link.Use([round](TScale& s) {
          s.Goods = u"Link " + Wide(std::to_string(round));
          return s.SetGoods();
        }),
                  kResultDone);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(TcpHasClient());
  EXPECT_FALSE(ComIsOpen());
  EXPECT_EQ(links[0].Close(), kResultDone);
  EXPECT_EQ(links[0].ReadWeight().result, kResultNoConnection) << "closed: the client is gone";
  SetSerialDevice(41, "");
}

// A poller that takes the link again the moment it lets go of it (the
// scale service's reading loop on a slow line) keeps a command waiting for
// the turn under way only: turns go in the order asked.
TEST(ThreadsShareChannels, LinkTurnsGoInTheOrderAsked) {
  ScaleLink link;
  std::atomic<bool> stop{false};
  std::atomic<bool> asking{false};
  std::atomic<int> turns{0};
  std::thread poller([&] {
    while (!stop) {
      link.Use([&](TScale&) {
        ++turns;
        // The command asks while this turn is under way.
        if (asking.exchange(false)) std::this_thread::sleep_for(std::chrono::milliseconds(200));
      });
    }
  });
  for (int round = 0; round < 3; ++round) {
    while (turns < 10 * (round + 1)) std::this_thread::yield();
    asking = true;
    while (asking) std::this_thread::yield();  // the poller's turn has begun
    const int before = turns;
    const int seen = link.Use([&](TScale&) { return turns.load(); });
    EXPECT_EQ(seen, before) << "the poller took the link again before the waiting command";
  }
  stop = true;
  poller.join();
}

// Objects on different threads, each with a scale of its own, one after
// another: each turn connects the one shared client to that thread's scale.
TEST(ThreadsShareChannels, DifferentScalesOneAfterAnother) {
  constexpr int kThreads = 3;
  std::vector<std::unique_ptr<sim::SimScale>> scales;
  for (int t = 0; t < kThreads; ++t) {
    scales.push_back(std::make_unique<sim::SimScale>(Scale(1'000'000 * (t + 1), 1)));
    scales.back()->Start(sim::SimEndpoints::Tcp("127.92.1." + std::to_string(t + 1)));
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      TScale s;
      s.Connection = Wide("127.92.1." + std::to_string(t + 1));
      for (int round = 0; round < 15; ++round) {
        OwnObjectWork(s, t, round);
        std::lock_guard lock(g_exchange);
        ASSERT_EQ(Call(s, "OpenConnection"), kResultDone);
        ASSERT_EQ(Call(s, "ReadWeight"), kResultDone);
        // The weight came from this thread's scale.
        EXPECT_EQ(s.Weight / 1'000'000, t + 1);
        EXPECT_EQ(Call(s, "SetTare"), kResultDone);
        EXPECT_EQ(Call(s, "CloseConnection"), kResultDone);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    // Each scale saw only its own thread's requests: the probe, ReadWeight
    // and SetTare of every round.
    EXPECT_EQ(scales[t]->RequestCount(), 15u * 3u) << t;
  }
}

// Objects on several threads share one port on a pseudo-terminal, with no
// lock of the host's: their exchanges take turns. The device map is set
// before the threads start.
TEST(ThreadsShareChannels, SerialisedSerialExchanges) {
  sim::SimScale scale(Scale(500, 1));
  scale.Start(sim::SimEndpoints::Pty());
  SetSerialDevice(12, scale.PtyPath());
  {
    TScale opener;
    opener.Connection = u"COM12";
    ASSERT_EQ(opener.OpenConnection(), kResultDone);  // framed: after the legacy probe's wait
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([t] {
      TScale s;
      s.Connection = u"COM12";
      s.ProtocolKind = "New";  // as the opener found it; set by the host for this test
      std::int32_t last = 0;
      for (int round = 0; round < 10; ++round) {
        OwnObjectWork(s, t, round);
        EXPECT_EQ(Call(s, "ReadWeight"), kResultDone);
        EXPECT_GT(s.Weight, last);
        last = s.Weight;
        EXPECT_EQ(Call(s, "SetLock"), kResultDone);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ComClose();
  SetSerialDevice(12, {});
}

// Text conversion while another thread switches the code page: each
// conversion uses one whole table, the old or the new.
TEST(ThreadsShareChannels, CodePageSwitchDuringConversions) {
  std::atomic<bool> stop{false};
  std::thread switcher([&stop] {
    for (int i = 0; !stop.load(); ++i) EXPECT_TRUE(SetCodePage(i % 2 ? 1251 : 1252));
  });
  std::vector<std::thread> converters;
  for (int t = 0; t < 3; ++t) {
    converters.emplace_back([] {
      for (int i = 0; i < 2000; ++i) {
        const std::string bytes = WideToAnsi(u"A\u0416\u00E9");
        ASSERT_EQ(bytes.size(), 3u);
        EXPECT_EQ(bytes[0], 'A');
        // U+0416 exists only in 1251, U+00E9 only in 1252.
        EXPECT_TRUE(bytes[1] == '?' || bytes[2] == '?');
      }
    });
  }
  for (auto& thread : converters) thread.join();
  stop = true;
  switcher.join();
  EXPECT_TRUE(SetCodePage(1252));
}

// A turn on a channel: taken when free, waited for while another thread
// holds it (up to the limit, then refused), and never taken twice by one
// thread (a call from inside its own exchange is told so).
TEST(ThreadsShareChannels, TurnsOnAChannel) {
  using transport::ChannelTurn;
  transport::ChannelLock lock;
  std::promise<void> taken;
  std::promise<void> release;
  std::thread holder([&] {
    const ChannelTurn turn(lock, 0);
    EXPECT_EQ(turn.Get(), ChannelTurn::State::kTaken);
    EXPECT_EQ(ChannelTurn(lock, 1000).Get(), ChannelTurn::State::kReentered);
    taken.set_value();
    release.get_future().wait();
  });
  taken.get_future().wait();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ChannelTurn(lock, 50).Get(), ChannelTurn::State::kBusy);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release.set_value();
  });
  EXPECT_EQ(ChannelTurn(lock, 5000).Get(), ChannelTurn::State::kTaken);
  releaser.join();
  holder.join();
}

// Threads exchanging on the one TCP channel at the same time, without any
// lock of the host's, one of them now and then opening the connection anew
// (which replaces the socket the others use). Each thread asks for something
// else, with a reply of its own length and content: a reply that reached
// another thread would fail its length check or its values.
TEST(ThreadsShareChannels, OverlappingCallsTakeTurnsOnTheChannel) {
  sim::SimScale scale(Scale(1, 1));
  scale.Start(sim::SimEndpoints::Tcp("127.92.2.1"));
  {
    TScale opener;
    opener.Connection = u"127.92.2.1";
    ASSERT_EQ(opener.OpenConnection(), kResultDone);
  }
  constexpr int kRounds = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([t] {
      TScale s;
      s.Connection = u"127.92.2.1";
      std::int32_t last = 0;
      for (int round = 0; round < kRounds; ++round) {
        if (t == 2 && round % 30 == 29) {
          EXPECT_EQ(Call(s, "OpenConnection"), kResultDone);
        } else if (t == 0) {
          ASSERT_EQ(Call(s, "ReadWeight"), kResultDone) << round;
          EXPECT_GT(s.Weight, last);  // a new reply each time
          last = s.Weight;
        } else if (t == 1) {
          ASSERT_EQ(Call(s, "ReadTare"), kResultDone) << round;
          EXPECT_EQ(s.Tare, 75);
        } else {
          ASSERT_EQ(Call(s, "SetGoods"), kResultDone) << round;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  // The opener's probe, then every call of every thread: one request each.
  EXPECT_EQ(scale.RequestCount(), 1u + 3u * kRounds);
  TcpDisconnect();
}

}  // namespace
}  // namespace rd::test
