// The service the HTTP-level tests talk to: by default the Service object in
// this process; when the environment names a service program
// (RD_SERVICE_EXE=raroredoziri-service.exe, RD_SERVICE_RUN="cmake/wine-run.sh
// 64", the runner in front of it), that Windows program under wine, in a
// process group of its own, configured by a JSON file written from the same
// options. The simulated scales stay in this process either way.
//
// The program's configuration has no keys for the reopening pauses and the
// connection limits beside the request time: it runs with its defaults there.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "Options.h"
#include "ScaleMonitor.h"
#include "Service.h"

namespace rd::service {

class ServiceUnderTest {
 public:
  // `options.config_path` set: the options came from that file, which the
  // program is given as it is (the allowed sites are saved there).
  explicit ServiceUnderTest(ServiceOptions options, LogLine log = {});
  ~ServiceUnderTest();
  ServiceUnderTest(const ServiceUnderTest&) = delete;
  ServiceUnderTest& operator=(const ServiceUnderTest&) = delete;

  // Whether the tests run against a program of the environment's.
  static bool External();

  // Serves; false with the reason (the program's output, if it ended).
  bool Start(std::string& error);
  int Port() const;
  // Ends the service: the program is asked to stop (Ctrl+C under wine),
  // then killed after 5 s.
  void Stop();
  // The service's log so far, each line with its time since the start (the
  // first 64 KiB): shown when a test fails.
  std::string Output() const;

 private:
  class Program;
  // The in-process service's log; before the service, which logs until it ends.
  mutable std::mutex mutex_;
  std::string output_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::unique_ptr<Service> service_;  // in this process, or
  std::unique_ptr<Program> program_;  // the environment's program
};

// Serial port COM`port` is the device `path` while this object lives: in
// this process, or for the program under wine a link
// $WINEPREFIX/dosdevices/com`port` (WINEPREFIX from the environment).
class SerialPortLink {
 public:
  SerialPortLink(std::uint16_t port, const std::string& path);
  ~SerialPortLink();
  SerialPortLink(const SerialPortLink&) = delete;
  SerialPortLink& operator=(const SerialPortLink&) = delete;

 private:
  std::uint16_t port_;
  std::string link_;  // the link made, or empty
};

}  // namespace rd::service
