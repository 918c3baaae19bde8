#include <atomic>
#include <csignal>
#include <iostream>

#include "Script.h"

namespace {
std::atomic<bool> g_stop{false};
extern "C" void OnInterrupt(int) { g_stop.store(true); }
}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return rd::cli::RunCommandLine(args, std::cout, std::cerr, &g_stop);
}
