// The scale service: the scales' monitors and the HTTP server in front of
// them. One object per process in the program; tests run several.
//
//   GET  /                                    the scale page
//   GET  /scales                              names, connections, states
//   GET  /scales/{name}/weight                reads weight and tare now
//   GET  /scales/{name}/events                text/event-stream of weight events
//   POST /scales/{name}/commands/{Command}    JSON body of property puts
#pragma once

#include <memory>
#include <string>

#include "Options.h"
#include "ScaleMonitor.h"

namespace rd::service {

class Service {
 public:
  Service(ServiceOptions options, LogLine log);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Starts the monitors, binds the port and serves on threads of its own.
  // False with the reason when the address cannot be bound.
  bool Start(std::string& error);
  // The bound port (useful with port 0).
  int Port() const;
  // Ends the event streams, the HTTP threads and the monitors.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rd::service
