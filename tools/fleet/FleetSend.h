// Sending one command to many scales through the broker: a DCMD per scale
// with a correlation id of its own, answers gathered until every scale has
// answered or the deadline passes, scales without an answer sent the same
// command again (commands are idempotent) a given number of times.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "FleetView.h"
#include "MqttClient.h"

namespace rd::fleet {

struct SendPlan {
  std::string command;                                      // "SetGoods"
  std::vector<std::pair<std::string, std::string>> values;  // Name=Value as given
  std::vector<std::string> scales;                          // GROUP/NODE/SCALE
  std::chrono::milliseconds deadline{5000};
  int retries = 2;  // sent again to the silent ones, spread over the deadline
  std::string correlation_prefix;
};

struct SendLine {
  std::string scale;
  std::string outcome;  // done / refused / no connection / error: TEXT / no answer / meaning
  bool done = false;
};

// The DCMD payload; false with the reason for an unknown command or
// property or a value of the wrong kind.
bool BuildCommand(const SendPlan& plan, sparkplug::Payload& out, std::string& error);

// Sends and waits; `progress(answered, total)` runs while waiting.
std::vector<SendLine> SendToAll(sparkplug::MqttClient& client, FleetView& view,
                                const SendPlan& plan, const sparkplug::Payload& command,
                                const std::function<void(std::size_t, std::size_t)>& progress);

}  // namespace rd::fleet
