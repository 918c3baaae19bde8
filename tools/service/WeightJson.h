// The JSON of a weight reading, as GET /scales/NAME/weight answers it and
// every weight event carries it. A failed reading has null weight, tare,
// division and stable (result and meaning say why) and the time of the
// failure; the last good reading, when there was one, comes as last_good.
// weight_state is the reading's state in the words of WeightState.h; with a
// unit configured for the division code, a reading also carries value and
// unit.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "ScaleMonitor.h"

namespace rd::service {

nlohmann::ordered_json WeightJson(const ScaleEntry& scale, const Snapshot& snapshot);

}  // namespace rd::service
