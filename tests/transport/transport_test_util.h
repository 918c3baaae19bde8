// Shared helpers of the transport tests: clocks for the tick seam, a
// stopwatch, byte patterns and scoped seam overrides.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "raroredoziri/Bytes.h"
#include "raroredoziri/Transport.h"

namespace rd::test {

using namespace std::chrono_literals;

class Stopwatch {
 public:
  long long Ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
  }
  void Restart() { start_ = Clock::now(); }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point start_ = Clock::now();
};

// A tick source for the seam: `origin` plus the real milliseconds since
// construction. An origin just below 2^32 makes every budget span the wrap.
inline TickSource RealTicksFrom(std::uint32_t origin) {
  return [origin, watch = Stopwatch()] {
    return static_cast<std::uint32_t>(origin + static_cast<std::uint32_t>(watch.Ms()));
  };
}

// A tick counter that moves only when the test moves it.
class ManualClock {
 public:
  explicit ManualClock(std::uint32_t start) : now_(start) {}
  TickSource Source() {
    return [this] { return now_.load(); };
  }
  void Advance(std::uint32_t ms) { now_ += ms; }

 private:
  std::atomic<std::uint32_t> now_;
};

// Restores the platform tick counter and message pump when the test ends.
class SeamGuard {
 public:
  SeamGuard() = default;
  ~SeamGuard() {
    SetTickSource({});
    SetMessagePump({});
    SetResolver({});
  }
  SeamGuard(const SeamGuard&) = delete;
  SeamGuard& operator=(const SeamGuard&) = delete;
};

inline Bytes Pattern(std::size_t size, std::uint8_t first = 0) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(first + i);
  return data;
}

inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A loopback address of this test build's own: the second octet tells the
// native, x64 and x86 builds apart, `host` the test within a build.
#ifndef RD_TEST_NET
#define RD_TEST_NET 84
#endif
inline std::string LoopbackAddress(int host) {
  return "127." + std::to_string(RD_TEST_NET) + "." + std::to_string(host / 250) + "." +
         std::to_string(host % 250 + 1);
}

inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace rd::test
