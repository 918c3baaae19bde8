#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <iostream>

#include "Script.h"

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_calling{false};

// Ctrl+C or SIGTERM: ends --watch and the items between two calls; during a
// call (which may wait several seconds for the scale) the program ends at
// once, leaving the closing of the port or connection to the system.
extern "C" void OnInterrupt(int signal_number) {
  g_stop.store(true);
  if (g_calling.load()) {
    static const char kMessage[] = "\nraroredoziri: interrupted\n";
    (void)!::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    ::_exit(128 + signal_number);
  }
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // The C runtime calls the handler on a thread of its own for Ctrl+C.
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
#else
  // No SA_RESTART: a wait in progress ends with EINTR.
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#endif
  const std::vector<std::string> args(argv + 1, argv + argc);
  return rd::cli::RunCommandLine(args, std::cout, std::cerr, &g_stop, &g_calling);
}
