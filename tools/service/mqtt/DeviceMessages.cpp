#include "DeviceMessages.h"

#include <stdexcept>

#include "StableReading.h"

namespace rd::service {

using namespace sparkplug;

bool Alive(const Snapshot& s) {
  return s.state == LinkState::kConnecting || s.state == LinkState::kConnected;
}

void AddScaleMetrics(Payload& p, const Snapshot& s, bool birth, const ScaleEntry& scale) {
  const std::optional<Reading>& r = s.reading;
  AddInt32(p, "Weight", r ? std::optional(r->weight) : std::nullopt);
  AddInt32(p, "Tare", r ? r->tare : std::nullopt);
  AddInt32(p, "Division", r ? std::optional(r->division) : std::nullopt);
  AddBool(p, "Stable", r && r->stable);
  AddString(p, "State", StateName(s.state));
  AddString(p, "WeightState", WeightStateName(StateOf(s, scale)));
  AddInt32(p, "Result", s.result);
  AddString(p, "Error", s.error);
  if (!birth) return;
  AddString(p, "Connection", scale.connection);
  AddString(p, kCommandName, std::nullopt);
  AddString(p, kCommandCorrelation, std::nullopt);
  AddInt32(p, kCommandResult, std::nullopt);
  AddString(p, kCommandMeaning, std::nullopt);
  AddString(p, kCommandError, std::nullopt);
}

DeviceCommand DecodeCommand(const std::string& payload) {
  DeviceCommand c;
  Payload p;
  if (!p.ParseFromString(payload)) {
    c.error = "the DCMD is not a Sparkplug B payload";
    return c;
  }
  nlohmann::json body = nlohmann::json::object();
  try {
    for (const Metric& m : p.metrics()) {
      const nlohmann::json value = MetricValue(m);
      if (m.name() == kCommandName || m.name() == kCommandCorrelation) {
        if (!value.is_string()) throw std::invalid_argument(m.name() + " takes a string");
        (m.name() == kCommandName ? c.name : c.correlation) = value.get<std::string>();
      } else {
        body[m.name()] = value;
      }
    }
  } catch (const std::exception& e) {
    c.error = e.what();
    return c;
  }
  if (c.name.empty()) {
    c.error = std::string("the DCMD has no ") + kCommandName + " metric";
    return c;
  }
  c.member = FindCommand(c.name);
  if (c.member == nullptr) {
    c.error = "unknown command \"" + c.name + "\"";
    return c;
  }
  const Outcome parsed = ParseCommandBody(body.dump(), c.puts);
  if (!parsed.Ok()) c.error = parsed.error;
  return c;
}

void AddAnswerMetrics(Payload& p, const DeviceCommand& c, const CommandAnswer& a,
                      const std::string& scale) {
  if (!scale.empty()) AddString(p, kCommandScale, scale);
  AddString(p, kCommandName, c.member ? std::string(c.member->name) : c.name);
  AddString(p, kCommandCorrelation, c.correlation);
  AddInt32(p, kCommandResult, a.result);
  AddString(p, kCommandMeaning, a.result ? ResultMeaning(*a.result) : "error");
  AddString(p, kCommandError, a.error);
}

}  // namespace rd::service
