// The command-line host: its arguments are a small script run in order.
//   Name=Value   puts a property
//   Name         calls a method, or gets a property; prints Name=value
//   ReadStableWeight=MS  reads until the weight is good for a sale (at most
//                MS milliseconds); prints ReadStableWeight=STATE
// Options: --device N=PATH, --codepage CP, --allow-zero, --watch,
// --interval MS, --count N, --list, --help.
#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

namespace rd::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailureStatus = 1;
inline constexpr int kExitUsage = 2;
// ReadStableWeight found no weight good for a sale before its deadline (or
// the connection was lost); the printed state says why.
inline constexpr int kExitNotStable = 3;
inline constexpr int kExitInterrupted = 130;  // as a shell reports Ctrl+C

// Runs the script on one Scale object. `stop` ends --watch early and skips
// the items still to come (exit code kExitInterrupted); the executable sets
// it on Ctrl+C and SIGTERM. `calling`, when given, is true while a member
// call is under way (the executable ends at once on a signal then). Both may
// be null.
int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   const std::atomic<bool>* stop = nullptr, std::atomic<bool>* calling = nullptr);

}  // namespace rd::cli
