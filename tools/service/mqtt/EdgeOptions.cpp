#include "EdgeOptions.h"

#include "Sparkplug.h"

namespace rd::service {

bool ApplyEdgeConfig(const nlohmann::json& section, EdgeOptions& options, std::string& message) {
  if (!section.is_object()) {
    message = "configuration key \"mqtt\": an object";
    return false;
  }
  const std::pair<const char*, std::string*> keys[] = {{"broker", &options.mqtt.uri},
                                                       {"ca", &options.mqtt.ca_file},
                                                       {"cert", &options.mqtt.cert_file},
                                                       {"key", &options.mqtt.key_file},
                                                       {"user", &options.mqtt.user},
                                                       {"password", &options.mqtt.password},
                                                       {"client_id", &options.mqtt.client_id},
                                                       {"group", &options.group},
                                                       {"node", &options.node},
                                                       {"primary_host", &options.primary_host}};
  for (const auto& [key, value] : section.items()) {
    std::string* target = nullptr;
    for (const auto& [name, field] : keys) {
      if (key == name) target = field;
    }
    if (target == nullptr || !value.is_string()) {
      message = "configuration key \"mqtt\": " +
                (target == nullptr ? "unknown key \"" + key + "\"" : "\"" + key + "\" is a string");
      return false;
    }
    *target = value.get<std::string>();
  }
  if (!sparkplug::ValidId(options.group) || !sparkplug::ValidId(options.node) ||
      (!options.primary_host.empty() && !sparkplug::ValidId(options.primary_host))) {
    message =
        "configuration key \"mqtt\": \"group\" and \"node\" are needed, and no id may hold"
        " / + or #";
    return false;
  }
  if (options.mqtt.client_id.empty()) {
    options.mqtt.client_id = "raroredoziri-" + options.group + "-" + options.node;
  }
  return true;
}

}  // namespace rd::service
