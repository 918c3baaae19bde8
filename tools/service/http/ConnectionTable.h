// The bounds on the clients' connections: at most `per_address` from one
// client address and `total` in all. A new connection over a limit takes the
// place of the oldest one still waiting for its request (from the same
// address first, else from the address that holds the most); it is refused
// only when every one is being answered. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>

namespace rd::service {

class ConnectionTable {
 public:
  ConnectionTable(std::size_t per_address, std::size_t total)
      : per_address_(per_address), total_(total) {}

  // A place for a connection from `address`, or 0 when there is none;
  // `evict` closes it when a newer one needs its place (called here).
  std::uint64_t Admit(const std::string& address, std::function<void()> evict);
  // A connection waits for a request (it may give way) or is being answered.
  void SetWaiting(std::uint64_t id, bool waiting);
  void Remove(std::uint64_t id);
  // Closes every connection (as evicted).
  void CloseAll();

 private:
  struct Entry {
    std::uint64_t id;
    std::string address;
    std::function<void()> evict;
    bool waiting = true;
  };
  bool EvictFrom(const std::string& address);
  void Erase(std::list<Entry>::iterator at);

  const std::size_t per_address_;
  const std::size_t total_;
  std::mutex mutex_;
  std::list<Entry> entries_;  // oldest first
  std::map<std::string, std::size_t> counts_;
  std::uint64_t next_ = 1;
};

}  // namespace rd::service
