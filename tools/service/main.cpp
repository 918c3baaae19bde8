// raroredoziri-service: the scale service as a foreground program. Logs one
// line per state change to stderr; SIGINT and SIGTERM stop it.
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "Options.h"
#include "Service.h"
#include "raroredoziri/Text.h"
#include "raroredoziri/Transport.h"

int main(int argc, char** argv) {
  using namespace rd::service;
  const std::vector<std::string> args(argv + 1, argv + argc);
  ServiceOptions options;
  std::string message;
  switch (ParseArguments(args, options, message)) {
    case ParseResult::kHelp:
      std::cout << message;
      return 0;
    case ParseResult::kError:
      std::cerr << "raroredoziri-service: " << message << '\n';
      return 2;
    case ParseResult::kRun:
      break;
  }
  for (const auto& [port, path] : options.devices) rd::SetSerialDevice(port, path);
  if (options.codepage && !rd::SetCodePage(*options.codepage)) {
    std::cerr << "raroredoziri-service: code page " << *options.codepage << " is not available\n";
    return 2;
  }

  // The signals are taken by sigwait below, on this thread only; every
  // thread started from here on inherits the mask. A client that goes away
  // mid-answer must not end the process.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::mutex log_mutex;
  auto log = [&log_mutex](const std::string& line) {
    std::lock_guard<std::mutex> lock(log_mutex);
    std::cerr << "raroredoziri-service: " << line << std::endl;
  };
  Service service(options, log);
  if (!service.Start(message)) {
    std::cerr << "raroredoziri-service: " << message << '\n';
    return 2;
  }
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  log(std::string("stopping (") + (signal_number == SIGINT ? "SIGINT" : "SIGTERM") + ")");
  service.Stop();
  return 0;
}
