// The program around the service: options from the command line, the
// process-wide settings, and a run until a stop request. The ways a stop is
// asked for (signals, Ctrl+C, the service control manager) differ by system
// (Host_posix.cpp, Host_win32.cpp).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Options.h"
#include "ScaleMonitor.h"

namespace rd::service {

// The options for a run; an exit code when there is nothing to run (help
// printed, or an error reported on stderr).
std::optional<int> LoadOptions(const std::vector<std::string>& args, ServiceOptions& options);

// Starts the service with `options`, calls `running` once it serves, and
// stops it when `wait_stop` returns (the reason, for the log). The exit code.
int RunUntilStopped(const ServiceOptions& options, const LogLine& log,
                    const std::function<std::string()>& wait_stop,
                    const std::function<void()>& running = {});

// A command of the system's own (on Windows: install, uninstall, and the
// run under the service control manager); false when `args` is none.
bool SystemCommand(const std::vector<std::string>& args, int& exit_code);

// In the foreground: prepares before any thread starts, then waits.
void PrepareStopRequests();
std::string WaitForStopRequest();

}  // namespace rd::service
