#include "ScaleSettings.h"

#include <string>

namespace rd::service {
namespace {

constexpr int kMaxDecimals = 6;
constexpr std::size_t kMaxUnitName = 16;

bool ReadUnits(const nlohmann::json& units, ScaleEntry& entry) {
  if (!units.is_object()) return false;
  for (const auto& [code, unit] : units.items()) {
    std::size_t used = 0;
    int division = -1;
    try {
      division = std::stoi(code, &used);
    } catch (const std::exception&) {
      return false;
    }
    if (used != code.size() || division < 0 || division > 255 || !unit.is_object()) return false;
    const auto name = unit.find("name");
    const auto decimals = unit.find("decimals");
    if (name == unit.end() || !name->is_string() || decimals == unit.end() ||
        !decimals->is_number_integer() || unit.size() != 2) {
      return false;
    }
    const std::string text = name->get<std::string>();
    const long long places = decimals->get<long long>();
    if (text.empty() || text.size() > kMaxUnitName || places < 0 || places > kMaxDecimals) {
      return false;
    }
    entry.units[division] = ScaleUnit{text, static_cast<int>(places)};
  }
  return true;
}

}  // namespace

bool ReadScaleSettings(const nlohmann::json& scale, ScaleEntry& entry, std::string& message) {
  auto wrong = [&](const char* key, const char* what) {
    message = "scale \"" + entry.name + "\": \"" + key + "\" " + what;
    return false;
  };
  for (const auto& [key, value] : scale.items()) {
    if (key == "name" || key == "connection") continue;
    if (key == "capacity") {
      if (!value.is_number_integer() || value.get<long long>() <= 0 ||
          value.get<long long>() > 2147483647LL) {
        return wrong("capacity", "is a whole number of weight units above 0");
      }
      entry.capacity = value.get<long long>();
    } else if (key == "poll_rate") {
      if (!value.is_number_integer() || value.get<long long>() < 1 || value.get<long long>() > 50) {
        return wrong("poll_rate", "is 1 to 50 readings per second");
      }
      entry.poll_rate = static_cast<int>(value.get<long long>());
    } else if (key == "units") {
      if (!ReadUnits(value, entry)) {
        return wrong("units",
                     "maps division codes 0..255 to {\"name\": \"kg\", \"decimals\": 0..6}");
      }
    } else {
      message = "scale \"" + entry.name + "\": unknown key \"" + key + "\"";
      return false;
    }
  }
  return true;
}

nlohmann::ordered_json ScaleSettingsJson(const ScaleEntry& entry, int service_poll_rate) {
  using json = nlohmann::ordered_json;
  json units = json::object();
  for (const auto& [division, unit] : entry.units) {
    units[std::to_string(division)] = {{"name", unit.name}, {"decimals", unit.decimals}};
  }
  return {{"capacity", entry.capacity ? json(*entry.capacity) : json(nullptr)},
          {"poll_rate", entry.poll_rate.value_or(service_poll_rate)},
          {"units", std::move(units)}};
}

const ScaleUnit* UnitOf(const ScaleEntry& entry, std::int32_t division) {
  const auto it = entry.units.find(division);
  return it == entry.units.end() ? nullptr : &it->second;
}

}  // namespace rd::service
