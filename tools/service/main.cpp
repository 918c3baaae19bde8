// raroredoziri-service: the scale service as a foreground program (and on
// Windows as a service: Host_win32.cpp). Logs one line per state change to
// stderr; SIGINT and SIGTERM (Ctrl+C, Ctrl+Break) stop it.
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "Host.h"

int main(int argc, char** argv) {
  using namespace rd::service;
  const std::vector<std::string> args(argv + 1, argv + argc);
  int exit_code = 0;
  if (SystemCommand(args, exit_code)) return exit_code;
  ServiceOptions options;
  if (const auto done = LoadOptions(args, options)) return *done;
  PrepareStopRequests();
  std::mutex log_mutex;
  auto log = [&log_mutex](const std::string& line) {
    std::lock_guard<std::mutex> lock(log_mutex);
    std::cerr << "raroredoziri-service: " << line << std::endl;
  };
  return RunUntilStopped(options, log, WaitForStopRequest);
}
