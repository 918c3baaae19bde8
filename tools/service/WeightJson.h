// The JSON of a weight reading, as GET /scales/NAME/weight answers it and
// every weight event carries it. A failed reading has null weight, tare,
// division and stable (result and meaning say why) and the time of the
// failure; the last good reading, when there was one, comes as last_good.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "ScaleMonitor.h"

namespace rd::service {

nlohmann::ordered_json WeightJson(const std::string& name, const Snapshot& snapshot);

}  // namespace rd::service
