// The Sparkplug B rules this system follows, apart from MQTT: topics, the
// message sequence (seq) and the birth/death sequence (bdSeq), and metrics
// of the types the scales use.
//
//   spBv1.0/GROUP/NBIRTH|NDEATH|NDATA|NCMD/NODE
//   spBv1.0/GROUP/DBIRTH|DDEATH|DDATA|DCMD/NODE/DEVICE
//   spBv1.0/STATE/HOST
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "sparkplug_b.pb.h"

namespace rd::sparkplug {

using Payload = raroredoziri::sparkplug::Payload;
using Metric = raroredoziri::sparkplug::Payload::Metric;

inline constexpr std::string_view kNamespace = "spBv1.0";

enum class DataType : std::uint32_t {
  kUnknown = 0,
  kInt8 = 1,
  kInt16 = 2,
  kInt32 = 3,
  kInt64 = 4,
  kUInt8 = 5,
  kUInt16 = 6,
  kUInt32 = 7,
  kUInt64 = 8,
  kFloat = 9,
  kDouble = 10,
  kBoolean = 11,
  kString = 12,
  kDateTime = 13,
  kText = 14,
};

// Metric names beside a scale's readings.
inline constexpr const char* kBdSeq = "bdSeq";
inline constexpr const char* kRebirth = "Node Control/Rebirth";
inline constexpr const char* kScales = "Scales";  // NBIRTH: every scale's name, comma-separated
inline constexpr const char* kCommandName = "Command/Name";
inline constexpr const char* kCommandCorrelation = "Command/Correlation";
inline constexpr const char* kCommandScale = "Command/Scale";
inline constexpr const char* kCommandResult = "Command/Result";
inline constexpr const char* kCommandMeaning = "Command/Meaning";
inline constexpr const char* kCommandError = "Command/Error";

struct Topic {
  std::string group;
  std::string type;  // NBIRTH ... DCMD, or STATE (then `node` is the host)
  std::string node;
  std::string device;  // empty for node messages
};

std::string FormatTopic(const Topic& topic);
// Nullopt for a topic outside the namespace or of the wrong shape.
std::optional<Topic> ParseTopic(std::string_view topic);
// Group, node, device and host ids: not empty, none of / + #.
bool ValidId(std::string_view id);

// seq: 0 on the NBIRTH, then one more with every message of the node
// (DBIRTH, DDATA, DDEATH, NDATA), 255 followed by 0. NDEATH has none.
class Sequence {
 public:
  std::uint64_t Birth() {
    next_ = 1;
    return 0;
  }
  std::uint64_t Next() { return next_++; }

 private:
  std::uint8_t next_ = 0;
};

// bdSeq: the NDEATH registered as the will of an MQTT session and the NBIRTH
// of that session carry the same value; the next session gets the next one,
// 255 followed by 0.
class BirthDeathSequence {
 public:
  std::uint64_t Current() const { return value_; }
  void NextSession() { ++value_; }

 private:
  std::uint8_t value_ = 0;
};

std::uint64_t NowMs();

// Metrics; an empty optional gives a null metric of the type.
Metric* AddInt32(Payload& p, const std::string& name, std::optional<std::int32_t> value);
Metric* AddUInt64(Payload& p, const std::string& name, std::uint64_t value);
Metric* AddBool(Payload& p, const std::string& name, bool value);
Metric* AddString(Payload& p, const std::string& name, std::optional<std::string> value);

// The metric's value as JSON: a string, an integer (signed or unsigned as
// its type says), a boolean, a floating number, or null (a null metric or
// one without a value). Throws std::invalid_argument for a type it cannot
// read.
nlohmann::json MetricValue(const Metric& m);
const Metric* FindMetric(const Payload& p, std::string_view name);

// An NDEATH payload for bdSeq `bd_seq`.
std::string DeathPayload(std::uint64_t bd_seq);

}  // namespace rd::sparkplug
