// One soak job: a Scale process's worth of calls against two simulated
// scales with random faults, one framed (TCP and a pseudo-terminal) and one
// legacy (a pseudo-terminal), each call checked by the Checker.
#pragma once

#include <cstdint>
#include <string>

#include "SoakCheck.h"

namespace rd::soak {

struct JobConfig {
  std::uint32_t index = 0;  // which job: picks its address and seeds
  std::uint64_t seed = 1;
  std::uint32_t net = 91;  // scales listen on 127.<net>.<index / 250>.<index % 250 + 1>
  std::uint64_t max_calls = 1000;
  double max_seconds = 60;
  std::uint32_t chaos_percent = 60;
  bool segment = false;  // the scales also cut every reply into pieces
  bool verbose = false;
};

// Runs the job; every call goes into the returned tally.
Tally RunJob(const JobConfig& config);

}  // namespace rd::soak
