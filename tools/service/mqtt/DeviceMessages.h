// The Sparkplug payloads of one scale: its birth and data metrics from a
// snapshot, a command taken from a DCMD, and the answer to it.
//
// Scale metrics: Weight, Tare, Division (Int32, null without a reading),
// Stable (Boolean), State (String), Result (Int32, of the last reading),
// Error (String), Connection (String, births only) and the answer to the
// last command: Command/Name, Command/Correlation, Command/Result (Int32,
// null for a command refused before it ran), Command/Meaning and
// Command/Error (String).
//
// A DCMD carries Command/Name ("SetGoods"), Command/Correlation (any text,
// given back in the answer) and the command's properties by their names
// (Goods: String; Tare, Lock1 ...: an integer type).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "CommandBody.h"
#include "ScaleMonitor.h"
#include "Sparkplug.h"

namespace rd::service {

// A scale the node shows as a device (births it): connecting or connected.
bool Alive(const Snapshot& snapshot);

// The reading metrics (DDATA), WeightState among them; with `birth` every
// metric (DBIRTH).
void AddScaleMetrics(sparkplug::Payload& p, const Snapshot& s, bool birth, const ScaleEntry& scale);

struct DeviceCommand {
  std::string name;
  std::string correlation;
  const MemberInfo* member = nullptr;
  PropertyPuts puts;
  std::string error;  // set: the command is refused with this text
};

// Takes a DCMD payload apart and checks it as the HTTP API checks a body.
DeviceCommand DecodeCommand(const std::string& payload);

struct CommandAnswer {
  std::optional<std::int32_t> result;  // empty when the command did not run
  std::string error;
};

// The answer metrics; `scale` set adds Command/Scale (an answer on NDATA).
void AddAnswerMetrics(sparkplug::Payload& p, const DeviceCommand& command,
                      const CommandAnswer& answer, const std::string& scale = {});

}  // namespace rd::service
