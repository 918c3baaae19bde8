// One exchange at a time on a channel. A call takes its turn on the channel
// for the whole exchange; a call from another thread waits for it (bounded),
// and a call the same thread makes while its own exchange waits (host code
// run by the message pump) is told so instead of deadlocking or taking part
// in the exchange.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
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

  // False when another thread kept the channel for `wait_ms`.
  bool Take(std::uint32_t wait_ms) {
    std::unique_lock lock(mutex_);
    if (!freed_.wait_for(lock, std::chrono::milliseconds(wait_ms), [this] { return !held_; })) {
      return false;
    }
    held_ = true;
    owner_.store(std::this_thread::get_id());
    return true;
  }
  void Give() {
    {
      std::lock_guard lock(mutex_);
      held_ = false;
      owner_.store(std::thread::id{});
    }
    freed_.notify_one();
  }

  // A flag under a plain mutex rather than a timed mutex: waiting with a
  // limit stays visible to ThreadSanitizer.
  std::mutex mutex_;
  std::condition_variable freed_;
  bool held_ = false;                     // under mutex_
  std::atomic<std::thread::id> owner_{};  // the holder; read by HeldHere on any thread
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
    } else if (lock.Take(wait_ms)) {
      state_ = State::kTaken;
    } else {
      state_ = State::kBusy;
    }
  }
  ~ChannelTurn() {
    if (state_ == State::kTaken) lock_.Give();
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
