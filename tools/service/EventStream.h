// One client's stream of weight events (GET /scales/NAME/events).
#pragma once

#include <chrono>
#include <cstdint>

#include "Http.h"
#include "ScaleMonitor.h"

namespace rd::service {

// The latest snapshot at once (also to a client that reconnects with
// Last-Event-ID), then every newer one; a comment line when
// nothing changed for 15 s. It ends when the client leaves (noticed within a
// second) or the monitor stops. Each call of Next writes at most one piece
// and returns false to end the stream.
class EventStream {
 public:
  explicit EventStream(ScaleMonitor& monitor) : monitor_(monitor) {}

  bool Next(EventSink& sink);

 private:
  ScaleMonitor& monitor_;
  bool first_ = true;
  std::uint64_t version_ = 0;
  std::chrono::steady_clock::time_point comment_due_{};
};

}  // namespace rd::service
