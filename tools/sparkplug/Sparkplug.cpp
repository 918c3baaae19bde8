#include "Sparkplug.h"

#include <chrono>
#include <stdexcept>
#include <vector>

namespace rd::sparkplug {

std::string FormatTopic(const Topic& t) {
  std::string topic(kNamespace);
  topic += "/" + t.group + "/" + t.type + "/" + t.node;
  if (!t.device.empty()) topic += "/" + t.device;
  return topic;
}

std::optional<Topic> ParseTopic(std::string_view topic) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = topic.find('/', start);
    parts.emplace_back(topic.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  if (parts.empty() || parts[0] != kNamespace) return std::nullopt;
  if (parts.size() == 3 && parts[1] == "STATE") return Topic{"", "STATE", parts[2], ""};
  if (parts.size() != 4 && parts.size() != 5) return std::nullopt;
  Topic t{parts[1], parts[2], parts[3], parts.size() == 5 ? parts[4] : ""};
  const bool device = t.type.size() > 0 && t.type[0] == 'D';
  if (device != (parts.size() == 5)) return std::nullopt;
  return t;
}

bool ValidId(std::string_view id) {
  return !id.empty() && id.find_first_of("/+#") == std::string_view::npos;
}

std::uint64_t NowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

namespace {

Metric* Add(Payload& p, const std::string& name, DataType type) {
  Metric* m = p.add_metrics();
  m->set_name(name);
  m->set_datatype(static_cast<std::uint32_t>(type));
  m->set_timestamp(p.timestamp());
  return m;
}

}  // namespace

Metric* AddInt32(Payload& p, const std::string& name, std::optional<std::int32_t> value) {
  Metric* m = Add(p, name, DataType::kInt32);
  if (value) {
    m->set_int_value(static_cast<std::uint32_t>(*value));
  } else {
    m->set_is_null(true);
  }
  return m;
}

Metric* AddUInt64(Payload& p, const std::string& name, std::uint64_t value) {
  Metric* m = Add(p, name, DataType::kUInt64);
  m->set_long_value(value);
  return m;
}

Metric* AddBool(Payload& p, const std::string& name, bool value) {
  Metric* m = Add(p, name, DataType::kBoolean);
  m->set_boolean_value(value);
  return m;
}

Metric* AddString(Payload& p, const std::string& name, std::optional<std::string> value) {
  Metric* m = Add(p, name, DataType::kString);
  if (value) {
    m->set_string_value(std::move(*value));
  } else {
    m->set_is_null(true);
  }
  return m;
}

nlohmann::json MetricValue(const Metric& m) {
  if (m.is_null() || m.value_case() == Metric::VALUE_NOT_SET) return nullptr;
  const auto type = static_cast<DataType>(m.datatype());
  switch (m.value_case()) {
    case Metric::kIntValue: {
      const std::uint32_t v = m.int_value();
      // Signed types are carried as their two's complement in 32 bits.
      if (type == DataType::kInt8) return static_cast<std::int8_t>(v);
      if (type == DataType::kInt16) return static_cast<std::int16_t>(v);
      if (type == DataType::kInt32) return static_cast<std::int32_t>(v);
      return v;
    }
    case Metric::kLongValue:
      if (type == DataType::kInt64) return static_cast<std::int64_t>(m.long_value());
      return m.long_value();
    case Metric::kBooleanValue:
      return m.boolean_value();
    case Metric::kStringValue:
      return m.string_value();
    case Metric::kFloatValue:
      return m.float_value();
    case Metric::kDoubleValue:
      return m.double_value();
    default:
      throw std::invalid_argument("metric \"" + m.name() +
                                  "\" has a value of a type not used here");
  }
}

const Metric* FindMetric(const Payload& p, std::string_view name) {
  for (const Metric& m : p.metrics()) {
    if (m.name() == name) return &m;
  }
  return nullptr;
}

std::string DeathPayload(std::uint64_t bd_seq) {
  Payload p;
  p.set_timestamp(NowMs());
  AddUInt64(p, kBdSeq, bd_seq);
  return p.SerializeAsString();
}

}  // namespace rd::sparkplug
