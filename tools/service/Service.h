// The scale service: the scales' monitors and the HTTP server in front of
// them (Routes.h lists the API). One object per process in the program;
// tests run several.
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

  // Binds the port, starts the monitors and serves on threads of its own.
  // False with the reason when the address cannot be bound ("port P is in
  // use" when another socket listens there).
  bool Start(std::string& error);
  // The bound port (useful with port 0).
  int Port() const;
  // Ends the event streams, the HTTP threads and the monitors: within about
  // a second plus the exchange each monitor may be in.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rd::service
