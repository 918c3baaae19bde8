// One client's stream of weight events (GET /scales/NAME/events).
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstdint>

#include "ScaleMonitor.h"

namespace rd::service {

// The descriptor of a request's own connection (the socket whose two ends
// are the request's addresses), or -1. httplib keeps it open while the
// answer runs; an event stream watches it to notice a client that left.
int ConnectionSocket(const httplib::Request& req);

// The latest snapshot at once (also to a client that reconnects with
// Last-Event-ID), then every newer one; a comment line when
// nothing changed for 15 s. It ends when the client leaves (noticed within a
// second) or the monitor stops. Each call of Next writes at most one piece
// and returns false to end the stream.
class EventStream {
 public:
  EventStream(ScaleMonitor& monitor, int socket) : monitor_(monitor), socket_(socket) {}

  bool Next(httplib::DataSink& sink);

 private:
  ScaleMonitor& monitor_;
  const int socket_;
  bool first_ = true;
  std::uint64_t version_ = 0;
  std::chrono::steady_clock::time_point comment_due_{};
};

}  // namespace rd::service
