// The replaceable resolver and its default: a host name is looked up on a
// worker thread that the connect waits for at most its time limit, so a slow
// name server cannot hold OpenConnection past the connect limit.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "raroredoziri/Transport.h"
#include "transport/tcp_socket.h"

namespace rd {
namespace {

// Lookups still running after their caller stopped waiting: more than this
// many (a name server that never answers, asked again and again) and a new
// lookup fails at once instead of starting another thread.
constexpr int kMaxPendingLookups = 4;

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

std::vector<std::string> DefaultResolve(const std::string& host, std::uint32_t limit_ms) {
  if (transport::IsAddressLiteral(host)) return {host};
  if (limit_ms == 0) return {};
  std::atomic<int>& pending = PendingCount();
  if (pending.fetch_add(1) >= kMaxPendingLookups) {
    pending.fetch_sub(1);
    return {};
  }
  const auto lookup = std::make_shared<Lookup>();
  try {
    // The worker owns its share of the result; it may outlive this call.
    std::thread([lookup, host] {
      std::vector<std::string> found;
      try {
        found = transport::SystemResolve(host);
      } catch (...) {
        found.clear();
      }
      {
        std::lock_guard lock(lookup->mutex);
        lookup->addresses = std::move(found);
        lookup->done = true;
      }
      lookup->done_changed.notify_all();
      PendingCount().fetch_sub(1);
    }).detach();
  } catch (...) {
    pending.fetch_sub(1);
    return {};
  }
  std::unique_lock lock(lookup->mutex);
  if (!lookup->done_changed.wait_for(lock, std::chrono::milliseconds(limit_ms),
                                     [&] { return lookup->done; })) {
    return {};
  }
  return std::move(lookup->addresses);
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

bool LookupsPending() { return PendingCount().load() > 0; }

}  // namespace rd
