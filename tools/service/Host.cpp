#include "Host.h"

#include <iostream>

#include "Service.h"
#include "raroredoziri/Text.h"
#include "raroredoziri/Transport.h"

namespace rd::service {

std::optional<int> LoadOptions(const std::vector<std::string>& args, ServiceOptions& options) {
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
  return std::nullopt;
}

int RunUntilStopped(const ServiceOptions& options, const LogLine& log,
                    const std::function<std::string()>& wait_stop,
                    const std::function<void()>& running) {
  Service service(options, log);
  std::string message;
  if (!service.Start(message)) {
    log(message);
    return 2;
  }
  if (running) running();
  log("stopping (" + wait_stop() + ")");
  service.Stop();
  return 0;
}

}  // namespace rd::service
