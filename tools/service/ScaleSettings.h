// A scale's own settings in the service's configuration, beside its name and
// connection:
//
//   {"name": "front", "connection": "127.0.0.9",
//    "capacity": 15000,                 // in the scale's raw weight units
//    "poll_rate": 10,                   // readings per second (1..50)
//    "units": {"2": {"name": "kg", "decimals": 3}}}   // per division code
//
// The scale defines its scaling: the protocol carries only the raw weight and
// a division code. With a unit for a reading's division code, the reading
// also carries `value` (raw / 10^decimals) and `unit`.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>

#include "Options.h"

namespace rd::service {

// Reads the settings of one entry of "scales" (name and connection are read
// by the caller); false with the reason.
bool ReadScaleSettings(const nlohmann::json& scale, ScaleEntry& entry, std::string& message);

// The settings as GET /scales shows them (null where none is set).
nlohmann::ordered_json ScaleSettingsJson(const ScaleEntry& entry, int service_poll_rate);

// The unit of a division code, when one is configured.
const ScaleUnit* UnitOf(const ScaleEntry& entry, std::int32_t division);

}  // namespace rd::service
