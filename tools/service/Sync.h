// The lock and condition of the service's busiest waits (the scale monitors,
// the request threads' queue, the event streams' writes). On Linux they are
// the standard ones. On Windows they are the system's slim reader/writer lock
// and condition variable: MinGW-w64's standard ones are built on semaphores
// and events, so that every contended lock, wait and wake-up is a kernel call
// (under wine a round trip to the wine server), where the slim ones wait in
// the process.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>

#ifndef _WIN32
#include <condition_variable>
#endif

namespace rd::service {

#ifndef _WIN32

using Mutex = std::mutex;
using Condition = std::condition_variable;

#else

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock() noexcept;
  bool try_lock() noexcept;
  void unlock() noexcept;

 private:
  friend class Condition;
  void* lock_ = nullptr;  // SRWLOCK_INIT
};

class Condition {
 public:
  Condition() = default;
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;
  void notify_one() noexcept;
  void notify_all() noexcept;

  template <class Predicate>
  void wait(std::unique_lock<Mutex>& lock, Predicate ready) {
    while (!ready()) Wait(*lock.mutex(), kForever);
  }

  template <class Clock, class Duration, class Predicate>
  bool wait_until(std::unique_lock<Mutex>& lock,
                  const std::chrono::time_point<Clock, Duration>& until, Predicate ready) {
    while (!ready()) {
      const auto left = until - Clock::now();
      if (left <= left.zero()) return ready();
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
      Wait(*lock.mutex(), static_cast<std::uint32_t>(std::min<decltype(+ms)>(ms, kForever - 1)));
    }
    return true;
  }

 private:
  static constexpr std::uint32_t kForever = 0xFFFFFFFF;  // INFINITE
  void Wait(Mutex& mutex, std::uint32_t ms) noexcept;
  void* condition_ = nullptr;  // CONDITION_VARIABLE_INIT
};

#endif

}  // namespace rd::service
