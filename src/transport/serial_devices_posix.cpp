// Linux: which device each serial port number opens. The host sets the map
// through SetSerialDevice; unmapped port N >= 1 is /dev/ttyS<N-1>.
#include <map>
#include <string>
#include <utility>

#include "raroredoziri/Transport.h"

namespace rd {
namespace {

std::map<std::uint16_t, std::string>& DeviceMap() {
  static std::map<std::uint16_t, std::string> devices;
  return devices;
}

}  // namespace

void SetSerialDevice(std::uint16_t port, std::string path) {
  if (path.empty()) {
    DeviceMap().erase(port);
  } else {
    DeviceMap()[port] = std::move(path);
  }
}

std::string SerialDevice(std::uint16_t port) {
  const auto& devices = DeviceMap();
  if (auto it = devices.find(port); it != devices.end()) return it->second;
  if (port == 0) return {};
  return "/dev/ttyS" + std::to_string(port - 1);
}

}  // namespace rd
