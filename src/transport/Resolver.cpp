// The replaceable resolver and its default: a host name is looked up on a
// worker thread that the connect waits for at most its time limit, so a slow
// name server cannot hold OpenConnection past the connect limit.
#include "transport/Resolver.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "raroredoziri/Transport.h"
#include "transport/tcp_socket.h"

namespace rd {
namespace transport {
namespace {

std::atomic<int>& PendingCount() {
  static std::atomic<int> pending{0};
  return pending;
}

struct Lookup {
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;
  std::vector<std::string> addresses;
};

}  // namespace

std::vector<std::string> LookUpWithin(std::function<std::vector<std::string>()> lookup,
                                      std::uint32_t limit_ms) {
  if (limit_ms == 0) return {};
  std::atomic<int>& pending = PendingCount();
  if (pending.fetch_add(1) >= kMaxPendingLookups) {
    pending.fetch_sub(1);
    return {};
  }
  const auto shared = std::make_shared<Lookup>();
  try {
    // The worker owns its share of the result; it may outlive this call.
    std::thread([shared, work = std::move(lookup)] {
      std::vector<std::string> found;
      try {
        found = work();
      } catch (...) {
        found.clear();
      }
      {
        std::lock_guard lock(shared->mutex);
        shared->addresses = std::move(found);
        shared->done = true;
      }
      shared->done_changed.notify_all();
      PendingCount().fetch_sub(1);
    }).detach();
  } catch (...) {
    pending.fetch_sub(1);
    return {};
  }
  std::unique_lock lock(shared->mutex);
  if (!shared->done_changed.wait_for(lock, std::chrono::milliseconds(limit_ms),
                                     [&] { return shared->done; })) {
    return {};
  }
  return std::move(shared->addresses);
}

}  // namespace transport

namespace {

std::vector<std::string> DefaultResolve(const std::string& host, std::uint32_t limit_ms) {
  if (transport::IsAddressLiteral(host)) return {host};
  return transport::LookUpWithin([host] { return transport::SystemResolve(host); }, limit_ms);
}

Resolver& ResolverSlot() {
  static Resolver resolver;
  return resolver;
}

}  // namespace

void SetResolver(Resolver resolver) { ResolverSlot() = std::move(resolver); }

std::vector<std::string> Resolve(const std::string& host, std::uint32_t limit_ms) {
  const Resolver& resolver = ResolverSlot();
  return resolver ? resolver(host, limit_ms) : DefaultResolve(host, limit_ms);
}

bool LookupsPending() { return transport::PendingCount().load() > 0; }

}  // namespace rd
