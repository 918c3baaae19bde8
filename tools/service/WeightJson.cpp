#include "WeightJson.h"

#include <cmath>

#include "ScaleSettings.h"
#include "StableReading.h"

namespace rd::service {
namespace {

using json = nlohmann::ordered_json;

void PutReading(json& out, const ScaleEntry& scale, const std::optional<Reading>& reading) {
  out["weight"] = reading ? json(reading->weight) : json(nullptr);
  out["tare"] = reading && reading->tare ? json(*reading->tare) : json(nullptr);
  out["division"] = reading ? json(reading->division) : json(nullptr);
  out["stable"] = reading ? json(reading->stable) : json(nullptr);
  if (scale.units.empty()) return;
  const ScaleUnit* unit = reading ? UnitOf(scale, reading->division) : nullptr;
  out["value"] = unit ? json(reading->weight / std::pow(10.0, unit->decimals)) : json(nullptr);
  out["unit"] = unit ? json(unit->name) : json(nullptr);
}

}  // namespace

json WeightJson(const ScaleEntry& scale, const Snapshot& s) {
  json out = {{"scale", scale.name},
              {"state", StateName(s.state)},
              {"weight_state", WeightStateName(StateOf(s, scale))},
              {"result", s.result},
              {"meaning", ResultMeaning(s.result)}};
  PutReading(out, scale, s.reading);
  out["time"] = FormatTime(s.time);
  if (s.state == LinkState::kError) out["error"] = s.error;
  if (!s.reading && s.last_good) {
    json good;
    PutReading(good, scale, s.last_good);
    good["time"] = FormatTime(s.last_good->time);
    out["last_good"] = std::move(good);
  }
  return out;
}

}  // namespace rd::service
