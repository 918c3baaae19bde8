// The default resolver's deadline: a lookup that may block runs on a worker
// thread that the caller waits for at most its limit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace rd::transport {

// Lookups still running after their caller stopped waiting: with this many,
// a new lookup fails at once instead of starting another thread (a name
// server that never answers, asked again and again).
inline constexpr int kMaxPendingLookups = 4;

// Runs `lookup` on a worker thread and returns its result, or none when it
// did not finish within `limit_ms` (the worker then ends by itself) or could
// not be started.
std::vector<std::string> LookUpWithin(std::function<std::vector<std::string>()> lookup,
                                      std::uint32_t limit_ms);

}  // namespace rd::transport
