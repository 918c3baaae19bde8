// The service's settings: command-line options and the JSON configuration
// file (--config FILE). Options given on the command line override the
// file's; --scale adds to the file's scales.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ConnectionLimits.h"
#ifdef RD_SERVICE_MQTT
#include "EdgeOptions.h"
#endif

namespace rd::service {

// The unit of one division code: its name and the decimals of the raw weight.
struct ScaleUnit {
  std::string name;  // "kg"
  int decimals = 0;  // 0..6: value = raw / 10^decimals
};

struct ScaleEntry {
  ScaleEntry() = default;
  ScaleEntry(std::string name_, std::string connection_)
      : name(std::move(name_)), connection(std::move(connection_)) {}

  std::string name;        // letters, digits, '-', '_' and '.'
  std::string connection;  // the scale's Connection: "127.0.0.9", "COM3"
  // Settings of its own from the configuration file (ScaleSettings.h).
  std::optional<std::int64_t> capacity;  // raw weight units
  std::optional<int> poll_rate;          // the service's when empty
  std::map<int, ScaleUnit> units;        // by division code
};

struct ServiceOptions {
  std::string listen = "127.0.0.1";
  int port = 8080;                         // 0: any free port
  std::string token;                       // when set, every request must carry it
  std::vector<std::string> cors_origins;   // origins that may call from a browser (normalised)
  std::vector<std::string> allowed_hosts;  // Host names beside localhost and the listen address
  std::string tls_cert;                    // PEM certificate (chain) and key: serve https
  std::string tls_key;
  std::string config_path;  // the --config file, where the allowed sites are saved
  int poll_rate = 5;        // weight readings per second and scale
  std::vector<std::pair<std::uint16_t, std::string>> devices;
  std::optional<unsigned> codepage;
  std::vector<ScaleEntry> scales;
#ifdef RD_SERVICE_MQTT
  std::optional<EdgeOptions> mqtt;  // the Sparkplug edge node, when configured
#endif

  // Reopening a lost scale: the first wait, doubling up to the longest.
  std::chrono::milliseconds reopen_first{500};
  std::chrono::milliseconds reopen_max{10000};
  // Weight readings in a row without a complete reply that count as lost.
  int lost_after = 2;
  // Event streams open at once (each holds an HTTP thread); at most 80.
  std::size_t max_streams = 80;
  ConnectionLimits limits;
};

enum class ParseResult { kRun, kHelp, kError };

// Parses the arguments (without the program name). kError leaves the reason
// in `message`; kHelp leaves the usage text there.
ParseResult ParseArguments(const std::vector<std::string>& args, ServiceOptions& options,
                           std::string& message);

// Applies a configuration file's JSON text; false with the reason.
bool ApplyConfigText(const std::string& text, ServiceOptions& options, std::string& message);

// Whether a scale's connection can ever work: a serial port "COMn" (n
// 0..65535, the first three characters are not looked at) or an address
// beginning with a digit, without a port. False with the reason.
bool CheckConnection(const std::string& connection, std::string& why);

// True for 127.0.0.0/8, ::1 and "localhost".
bool IsLoopback(const std::string& address);

}  // namespace rd::service
