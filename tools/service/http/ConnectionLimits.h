// Bounds on the clients' connections (HttpServer.h, ConnectionTable.h).
#pragma once

#include <chrono>
#include <cstddef>

namespace rd::service {

struct ConnectionLimits {
  std::size_t per_address = 128;
  std::size_t total = 512;
  std::chrono::milliseconds idle{5000};      // to begin a request
  std::chrono::milliseconds request{10000};  // to send a request's head and body
  std::chrono::milliseconds write_wait{2000};
};

}  // namespace rd::service
