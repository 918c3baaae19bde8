// The HTTP routes of the scale service and what they share.
//
//   GET  /                                    the scale page
//   GET  /scales                              names, connections, states
//   GET  /scales/{name}/weight                a reading taken now
//   GET  /scales/{name}/weight?stable=true&timeout=MS   a reading for a sale
//   GET  /scales/{name}/events                text/event-stream of weight events
//   GET  /scales/{name}/settings              what the next command of each kind sends
//   POST /scales/{name}/commands/{Command}    JSON body of property puts
//   GET  /raroredoziri.js                     the client script for other pages
//   GET  /allowed-sites                       the origins that may call (own page only)
//   POST /allowed-sites/add, /allowed-sites/remove   {"origin": "https://pos.example"}
// Every request passes DecideTrust (Trust.h) first.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Http.h"
#include "Options.h"
#include "ScaleMonitor.h"
#include "Trust.h"

namespace rd::service {

// HTTP threads. An event stream holds one for as long as it is open; the
// streams may take all but kReservedThreads of them.
inline constexpr std::size_t kHttpThreads = 96;
inline constexpr std::size_t kReservedThreads = 16;

// The wait of a stable reading: 3 s unless the request says, 30 s at most.
inline constexpr std::chrono::milliseconds kStableTimeoutDefault{3000};
inline constexpr std::chrono::milliseconds kStableTimeoutMax{30000};

struct ServiceState {
  ServiceOptions options;
  LogLine log;
  std::vector<std::unique_ptr<ScaleMonitor>> monitors;
  std::map<std::string, ScaleMonitor*> by_name;
  std::atomic<std::size_t> streams{0};
  std::atomic<std::size_t> waits{0};  // clients waiting for a stable reading

  // The trust settings; the allowed sites change while the service runs.
  TrustSettings Trust() const {
    std::lock_guard<std::mutex> lock(trust_mutex);
    return trust;
  }
  void SetOrigins(std::vector<std::string> origins) {
    std::lock_guard<std::mutex> lock(trust_mutex);
    trust.cors_origins = std::move(origins);
  }
  mutable std::mutex trust_mutex;
  TrustSettings trust;
  std::mutex sites_mutex;  // one change of the allowed sites at a time

  ScaleMonitor* Find(const std::string& name) const {
    const auto it = by_name.find(name);
    return it == by_name.end() ? nullptr : it->second;
  }
};

// Answers one request: the trust decision, then the route (404 for none).
void HandleRequest(ServiceState& state, const HttpRequest& request, HttpResponse& response);

}  // namespace rd::service
