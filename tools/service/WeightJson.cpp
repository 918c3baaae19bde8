#include "WeightJson.h"

namespace rd::service {
namespace {

using json = nlohmann::ordered_json;

void PutReading(json& out, const std::optional<Reading>& reading) {
  out["weight"] = reading ? json(reading->weight) : json(nullptr);
  out["tare"] = reading && reading->tare ? json(*reading->tare) : json(nullptr);
  out["division"] = reading ? json(reading->division) : json(nullptr);
  out["stable"] = reading ? json(reading->stable) : json(nullptr);
}

}  // namespace

json WeightJson(const std::string& name, const Snapshot& s) {
  json out = {{"scale", name},
              {"state", StateName(s.state)},
              {"result", s.result},
              {"meaning", ResultMeaning(s.result)}};
  PutReading(out, s.reading);
  out["time"] = FormatTime(s.time);
  if (s.state == LinkState::kError) out["error"] = s.error;
  if (!s.reading && s.last_good) {
    json good;
    PutReading(good, s.last_good);
    good["time"] = FormatTime(s.last_good->time);
    out["last_good"] = std::move(good);
  }
  return out;
}

}  // namespace rd::service
