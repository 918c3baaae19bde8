// The HTTP routes of the scale service and what they share.
//
//   GET  /                                    the scale page
//   GET  /scales                              names, connections, states
//   GET  /scales/{name}/weight                a reading taken now
//   GET  /scales/{name}/events                text/event-stream of weight events
//   POST /scales/{name}/commands/{Command}    JSON body of property puts
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Options.h"
#include "ScaleMonitor.h"

namespace rd::service {

// HTTP threads. An event stream holds one for as long as it is open; the
// streams may take all but kReservedThreads of them.
inline constexpr std::size_t kHttpThreads = 96;
inline constexpr std::size_t kReservedThreads = 16;

struct ServiceState {
  ServiceOptions options;
  LogLine log;
  std::vector<std::unique_ptr<ScaleMonitor>> monitors;
  std::map<std::string, ScaleMonitor*> by_name;
  std::atomic<std::size_t> streams{0};

  ScaleMonitor* Find(const std::string& name) const {
    const auto it = by_name.find(name);
    return it == by_name.end() ? nullptr : it->second;
  }
};

// Installs the handlers (and the error and exception handlers) on `server`.
void AddRoutes(httplib::Server& server, ServiceState& state);

}  // namespace rd::service
