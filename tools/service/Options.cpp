#include "Options.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <charconv>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "ScaleSettings.h"
#include "Trust.h"
#include "object/ConnectionString.h"

namespace rd::service {
namespace {

constexpr const char* kUsage =
    "usage: raroredoziri-service [options]\n"
    "\n"
    "Serves the weight of one or more scales over HTTP (JSON and Server-Sent\n"
    "Events) and takes their configuration commands.\n"
    "\n"
    "Options:\n"
    "  --config FILE       JSON configuration file (keys: listen, port, token,\n"
    "                      cors_origins, allowed_hosts, tls_cert, tls_key,\n"
    "                      poll_rate, devices, codepage, scales, max_streams,\n"
    "                      request_timeout_ms, mqtt; a scale takes name,\n"
    "                      connection, capacity, poll_rate, units)\n"
    "  --scale NAME=CONN   a scale and its connection (127.0.0.9, COM3); repeatable\n"
    "  --listen ADDR       address to listen on (default 127.0.0.1); any other than\n"
    "                      a loopback address needs a token, tls_cert and tls_key\n"
    "                      in the configuration\n"
    "  --port N            HTTP port (default 8080; 0: any free port)\n"
    "  --allow-origin URL  an allowed site besides cors_origins (https://pos.example);\n"
    "                      repeatable\n"
    "  --poll-rate N       weight readings per second and scale (1..50, default 5)\n"
    "  --device N=PATH     serial port N is the device PATH (default /dev/ttyS<N-1>)\n"
    "  --codepage CP       single-byte code page of the scale's texts (default 1252)\n"
    "  --help              show this text\n"
    "\n"
    "API:\n"
    "  GET  /                               the scale page\n"
    "  GET  /scales                         the scales and their states\n"
    "  GET  /scales/NAME/weight             reads weight and tare now\n"
    "  GET  /scales/NAME/weight?stable=true&timeout=MS\n"
    "                                       the first stable weight above zero (408\n"
    "                                       at the deadline; allow_zero=true)\n"
    "  GET  /scales/NAME/events             weight events (text/event-stream)\n"
    "  POST /scales/NAME/commands/SetGoods  body {\"Goods\":\"Milk\"}: puts, then sends\n"
    "\n"
    "Example:\n"
    "  raroredoziri-service --scale front=127.0.0.9 --scale back=COM3 --device 3=/dev/ttyUSB0\n";

template <class T>
std::optional<T> ParseNumber(std::string_view text) {
  T value{};
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

bool AddScale(const std::string& name, const std::string& connection, ServiceOptions& options,
              std::string& message) {
  if (!ValidName(name)) {
    message = "scale name \"" + name + "\": use 1 to 64 letters, digits, '-', '_' or '.'";
    return false;
  }
  if (connection.empty()) {
    message = "scale \"" + name + "\" has no connection";
    return false;
  }
  options.scales.push_back({name, connection});
  return true;
}

bool AddDevice(std::string_view port_text, const std::string& path, ServiceOptions& options,
               std::string& message) {
  const auto port = ParseNumber<std::uint16_t>(port_text);
  if (!port || path.empty()) {
    message = "a device takes a port number 0..65535 and a path";
    return false;
  }
  options.devices.emplace_back(*port, path);
  return true;
}

bool SetPollRate(long long rate, ServiceOptions& options, std::string& message) {
  if (rate < 1 || rate > 50) {
    message = "the poll rate is 1 to 50 readings per second";
    return false;
  }
  options.poll_rate = static_cast<int>(rate);
  return true;
}

bool SetPort(long long port, ServiceOptions& options, std::string& message) {
  if (port < 0 || port > 65535) {
    message = "the port is 0 to 65535";
    return false;
  }
  options.port = static_cast<int>(port);
  return true;
}

}  // namespace

bool CheckConnection(const std::string& connection, std::string& why) {
  // The channel is named by the first character alone.
  const char16_t first = connection.empty() ? u'\0' : static_cast<unsigned char>(connection[0]);
  switch (ChannelOf(std::u16string_view(&first, 1))) {
    case Channel::Tcp:
      if (connection.find(':') != std::string::npos) {
        why = "give the address alone: the port is always 5001";
        return false;
      }
      return true;
    case Channel::Serial: {
      const std::int32_t port =
          connection.size() < 4 ? -1 : ReadPortNumber(std::string_view(connection).substr(3));
      if (port < 0 || port > 65535) {
        why = "not a serial port: COM and a port number 0..65535 (COM3)";
        return false;
      }
      return true;
    }
    case Channel::None:
      break;
  }
  why = "neither a serial port (COM3, upper case) nor an address beginning with a digit";
  return false;
}

bool IsLoopback(const std::string& address) {
  if (address == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
    return IN6_IS_ADDR_LOOPBACK(&v6);
  }
  return false;
}

bool ApplyConfigText(const std::string& text, ServiceOptions& options, std::string& message) {
  using nlohmann::json;
  const json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    message = "the configuration is not a JSON object";
    return false;
  }
  auto wrong = [&message](const char* key, const char* what) {
    message = std::string("configuration key \"") + key + "\": " + what;
    return false;
  };
  for (const auto& [key, value] : doc.items()) {
    if (key == "listen") {
      if (!value.is_string()) return wrong("listen", "a string");
      options.listen = value.get<std::string>();
    } else if (key == "port") {
      if (!value.is_number_integer()) return wrong("port", "an integer");
      if (!SetPort(value.get<long long>(), options, message)) return false;
    } else if (key == "token") {
      if (!value.is_string()) return wrong("token", "a string");
      options.token = value.get<std::string>();
    } else if (key == "cors_origins") {
      if (!value.is_array()) return wrong("cors_origins", "an array of strings");
      options.cors_origins.clear();
      for (const json& origin : value) {
        const auto normal =
            origin.is_string() ? NormaliseOrigin(origin.get<std::string>()) : std::nullopt;
        if (!normal) return wrong("cors_origins", "an array of origins (https://pos.example)");
        options.cors_origins.push_back(*normal);
      }
    } else if (key == "mqtt") {
#ifdef RD_SERVICE_MQTT
      EdgeOptions edge;
      if (!ApplyEdgeConfig(value, edge, message)) return false;
      options.mqtt = std::move(edge);
#else
      message = "the mqtt section needs the Sparkplug edge node, which this build does not have";
      return false;
#endif
    } else if (key == "allowed_hosts") {
      if (!value.is_array()) return wrong("allowed_hosts", "an array of host names");
      options.allowed_hosts.clear();
      for (const json& host : value) {
        if (!host.is_string() || host.get<std::string>().empty()) {
          return wrong("allowed_hosts", "an array of host names");
        }
        options.allowed_hosts.push_back(host.get<std::string>());
      }
    } else if (key == "tls_cert" || key == "tls_key") {
      if (!value.is_string()) return wrong(key == "tls_cert" ? "tls_cert" : "tls_key", "a file");
      (key == "tls_cert" ? options.tls_cert : options.tls_key) = value.get<std::string>();
    } else if (key == "poll_rate") {
      if (!value.is_number_integer()) return wrong("poll_rate", "an integer");
      if (!SetPollRate(value.get<long long>(), options, message)) return false;
    } else if (key == "devices") {
      if (!value.is_object()) return wrong("devices", "an object of port number -> path");
      for (const auto& [port, path] : value.items()) {
        if (!path.is_string()) return wrong("devices", "an object of port number -> path");
        if (!AddDevice(port, path.get<std::string>(), options, message)) return false;
      }
    } else if (key == "max_streams") {
      if (!value.is_number_integer() || value.get<long long>() < 1 || value.get<long long>() > 80) {
        return wrong("max_streams", "event streams open at once, 1 to 80");
      }
      options.max_streams = value.get<std::size_t>();
    } else if (key == "request_timeout_ms") {
      if (!value.is_number_integer() || value.get<long long>() < 100 ||
          value.get<long long>() > 600000) {
        return wrong("request_timeout_ms", "milliseconds for a request to arrive, 100 to 600000");
      }
      options.limits.request = std::chrono::milliseconds(value.get<long long>());
    } else if (key == "codepage") {
      if (!value.is_number_unsigned()) return wrong("codepage", "a code page number");
      options.codepage = value.get<unsigned>();
    } else if (key == "scales") {
      if (!value.is_array()) return wrong("scales", "an array of {name, connection}");
      for (const json& scale : value) {
        if (!scale.is_object() || !scale.contains("name") || !scale.contains("connection") ||
            !scale["name"].is_string() || !scale["connection"].is_string()) {
          return wrong("scales", "an array of {\"name\": ..., \"connection\": ...}");
        }
        if (!AddScale(scale["name"].get<std::string>(), scale["connection"].get<std::string>(),
                      options, message) ||
            !ReadScaleSettings(scale, options.scales.back(), message)) {
          return false;
        }
      }
    } else {
      message = "unknown configuration key \"" + key + "\"";
      return false;
    }
  }
  return true;
}

ParseResult ParseArguments(const std::vector<std::string>& args, ServiceOptions& options,
                           std::string& message) {
  // The file first, so that the command line overrides it.
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      message = kUsage;
      return ParseResult::kHelp;
    }
    if (args[i] != "--config") continue;
    if (i + 1 >= args.size()) {
      message = "--config takes a file";
      return ParseResult::kError;
    }
    std::ifstream file(args[i + 1], std::ios::binary);
    if (!file) {
      message = "cannot read the configuration " + args[i + 1];
      return ParseResult::kError;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (!ApplyConfigText(text.str(), options, message)) {
      message = args[i + 1] + ": " + message;
      return ParseResult::kError;
    }
    options.config_path = args[i + 1];
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool has_value = i + 1 < args.size();
    const std::string value = has_value ? args[i + 1] : std::string();
    auto need = [&](const char* what) {
      message = arg + " takes " + what;
      return ParseResult::kError;
    };
    if (arg == "--config") {
      ++i;
    } else if (arg == "--scale") {
      const auto eq = value.find('=');
      if (!has_value || eq == std::string::npos) return need("NAME=CONNECTION");
      if (!AddScale(value.substr(0, eq), value.substr(eq + 1), options, message)) {
        return ParseResult::kError;
      }
      ++i;
    } else if (arg == "--allow-origin") {
      const auto origin = NormaliseOrigin(value);
      if (!has_value || !origin) return need("an origin (https://pos.example)");
      if (std::find(options.cors_origins.begin(), options.cors_origins.end(), *origin) ==
          options.cors_origins.end()) {
        options.cors_origins.push_back(*origin);
      }
      ++i;
    } else if (arg == "--listen") {
      if (!has_value || value.empty()) return need("an address");
      options.listen = value;
      ++i;
    } else if (arg == "--port") {
      const auto port = ParseNumber<long long>(value);
      if (!has_value || !port) return need("a port number");
      if (!SetPort(*port, options, message)) return ParseResult::kError;
      ++i;
    } else if (arg == "--poll-rate") {
      const auto rate = ParseNumber<long long>(value);
      if (!has_value || !rate) return need("a number of readings per second");
      if (!SetPollRate(*rate, options, message)) return ParseResult::kError;
      ++i;
    } else if (arg == "--device") {
      const auto eq = value.find('=');
      if (!has_value || eq == std::string::npos) return need("N=PATH");
      if (!AddDevice(std::string_view(value).substr(0, eq), value.substr(eq + 1), options,
                     message)) {
        return ParseResult::kError;
      }
      ++i;
    } else if (arg == "--codepage") {
      const auto cp = ParseNumber<unsigned>(value);
      if (!has_value || !cp) return need("a code page number");
      options.codepage = *cp;
      ++i;
    } else {
      message = "unknown argument " + arg + " (see --help)";
      return ParseResult::kError;
    }
  }
  if (options.scales.empty()) {
    message = "no scale: give --scale NAME=CONNECTION or a configuration with \"scales\"";
    return ParseResult::kError;
  }
  // A scale serves one connection at a time and a serial port opens once:
  // two entries for one connection would keep one of them lost.
  std::set<std::string> names;
  std::set<std::string> connections;
  for (const ScaleEntry& scale : options.scales) {
    if (!names.insert(scale.name).second) {
      message = "scale \"" + scale.name + "\" is named twice";
      return ParseResult::kError;
    }
    std::string folded = scale.connection;
    for (char& c : folded) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    if (!connections.insert(folded).second) {
      message = "connection " + scale.connection + " is given to two scales";
      return ParseResult::kError;
    }
    std::string why;
    if (!CheckConnection(scale.connection, why)) {
      message = "scale \"" + scale.name + "\": connection " + scale.connection + ": " + why;
      return ParseResult::kError;
    }
  }
  if (options.tls_cert.empty() != options.tls_key.empty()) {
    message = "\"tls_cert\" and \"tls_key\" go together";
    return ParseResult::kError;
  }
  if (!IsLoopback(options.listen) && (options.token.empty() || options.tls_cert.empty())) {
    message = "listening on " + options.listen +
              " (not a loopback address) needs a \"token\", \"tls_cert\" and \"tls_key\"" +
              " in the configuration: plain HTTP is for loopback only";
    return ParseResult::kError;
  }
  return ParseResult::kRun;
}

}  // namespace rd::service
