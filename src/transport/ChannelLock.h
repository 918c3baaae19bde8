// One exchange at a time on a channel. A call takes its turn on the channel
// for the whole exchange; a call from another thread waits for it (bounded),
// and a call the same thread makes while its own exchange waits (host code
// run by the message pump) is told so instead of deadlocking or taking part
// in the exchange.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

namespace rd::transport {

// How long a call waits for a channel that another thread is using: the
// longest single wait of an exchange (the TCP read limit).
inline constexpr std::uint32_t kChannelWaitMs = 4000;

class ChannelLock {
 public:
  // True on the thread that holds the channel.
  bool HeldHere() const noexcept { return owner_.load() == std::this_thread::get_id(); }

 private:
  friend class ChannelTurn;
  std::timed_mutex mutex_;
  std::atomic<std::thread::id> owner_{};
};

// A turn on a channel for the lifetime of the object.
class ChannelTurn {
 public:
  enum class State {
    kTaken,      // this call has the channel
    kReentered,  // the calling thread is inside an exchange on it already
    kBusy,       // another thread kept it past the wait
  };

  explicit ChannelTurn(ChannelLock& lock, std::uint32_t wait_ms = kChannelWaitMs) : lock_(lock) {
    if (lock.HeldHere()) {
      state_ = State::kReentered;
    } else if (lock.mutex_.try_lock_for(std::chrono::milliseconds(wait_ms))) {
      lock.owner_.store(std::this_thread::get_id());
      state_ = State::kTaken;
    } else {
      state_ = State::kBusy;
    }
  }
  ~ChannelTurn() {
    if (state_ != State::kTaken) return;
    lock_.owner_.store(std::thread::id{});
    lock_.mutex_.unlock();
  }
  ChannelTurn(const ChannelTurn&) = delete;
  ChannelTurn& operator=(const ChannelTurn&) = delete;

  State Get() const noexcept { return state_; }
  bool Taken() const noexcept { return state_ == State::kTaken; }
  // The channel may be used: taken, or held by this thread's own outer call
  // (for the single operations of Transport.h, which cannot free anything
  // the outer call uses).
  bool Usable() const noexcept { return state_ != State::kBusy; }

 private:
  ChannelLock& lock_;
  State state_ = State::kBusy;
};

}  // namespace rd::transport
