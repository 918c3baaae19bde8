// The command line of raroredoziri-sim.
#pragma once

#include <string>
#include <vector>

#include "SimDevice.h"
#include "SimScale.h"

namespace rd::sim {

struct SimOptions {
  SimConfig config;
  SimEndpoints endpoints;
  std::vector<std::string> more_tcp;  // further scales alike, one per address
  bool quiet = false;                 // print only the endpoint lines and "ready"
  bool help = false;
};

// Reads the arguments (without the program name). Raises rd::Fault with a
// one-line message for an unknown option, a missing or bad value, or a
// command line that serves nothing.
SimOptions ParseSimOptions(const std::vector<std::string>& args);

// The text that --help prints.
std::string SimUsage();

}  // namespace rd::sim
