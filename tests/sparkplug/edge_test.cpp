// The service as a Sparkplug B edge node. First the encoding rules in one
// table; then, through a real Mosquitto broker on 127.121.0.1, a service
// process with two scales (the simulated one on 127.121.1.1, nothing on
// 127.121.1.2): births, data, commands and their answers, rebirth, a broker
// restart, the primary host's STATE and the service's death.
#include <gtest/gtest.h>
#include <signal.h>

#include "Broker.h"
#include "SimScale.h"
#include "raroredoziri/Frame.h"
#include "raroredoziri/Scale.h"

namespace rd::test {
namespace {

using namespace sparkplug;
using namespace std::chrono_literals;
using nlohmann::json;

TEST(SparkplugRules, SequencesTopicsAndMetricTypes) {
  Sequence seq;
  EXPECT_EQ(seq.Birth(), 0u);
  for (std::uint64_t i = 1; i <= 255; ++i) ASSERT_EQ(seq.Next(), i);
  EXPECT_EQ(seq.Next(), 0u) << "seq wraps from 255 to 0";
  EXPECT_EQ(seq.Birth(), 0u);
  EXPECT_EQ(seq.Next(), 1u) << "a birth starts again at 0";

  BirthDeathSequence bd;
  for (int i = 0; i < 255; ++i) bd.NextSession();
  EXPECT_EQ(bd.Current(), 255u);
  Payload death;
  ASSERT_TRUE(death.ParseFromString(DeathPayload(bd.Current())));
  ASSERT_EQ(death.metrics_size(), 1);
  EXPECT_EQ(death.metrics(0).name(), kBdSeq);
  EXPECT_EQ(death.metrics(0).datatype(), static_cast<std::uint32_t>(DataType::kUInt64));
  EXPECT_EQ(death.metrics(0).long_value(), 255u);
  EXPECT_FALSE(death.has_seq()) << "NDEATH carries no seq";
  bd.NextSession();
  EXPECT_EQ(bd.Current(), 0u);

  // Metric values as the senders encode them and as a DCMD is read.
  auto int_metric = [](DataType type, std::uint32_t raw) {
    Metric m;
    m.set_datatype(static_cast<std::uint32_t>(type));
    m.set_int_value(raw);
    return m;
  };
  Payload p;
  AddInt32(p, "a", -5);
  AddInt32(p, "b", std::nullopt);
  AddString(p, "c", "Milk");
  AddBool(p, "d", true);
  Metric long_signed;
  long_signed.set_datatype(static_cast<std::uint32_t>(DataType::kInt64));
  long_signed.set_long_value(static_cast<std::uint64_t>(-2));
  struct Case {
    Metric metric;
    std::uint32_t type;
    json value;
  } cases[] = {
      {p.metrics(0), 3, -5},
      {p.metrics(1), 3, nullptr},
      {p.metrics(2), 12, "Milk"},
      {p.metrics(3), 11, true},
      {int_metric(DataType::kInt8, 0xFFFFFFFF), 1, -1},
      {int_metric(DataType::kInt16, 0xFFFF8000), 2, -32768},
      {int_metric(DataType::kUInt32, 0xFFFFFFFF), 7, 4294967295u},
      {long_signed, 4, -2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.metric.datatype(), c.type) << c.metric.name();
    EXPECT_EQ(MetricValue(c.metric), c.value) << c.metric.name() << " " << c.value;
  }
  EXPECT_EQ(p.metrics(0).int_value(), 0xFFFFFFFBu) << "Int32 in two's complement";

  EXPECT_EQ(FormatTopic({"store-1", "DDATA", "counter", "front"}),
            "spBv1.0/store-1/DDATA/counter/front");
  const auto t = ParseTopic("spBv1.0/store-1/DCMD/counter/front");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->device, "front");
  EXPECT_TRUE(ParseTopic("spBv1.0/STATE/head-office"));
  for (const char* bad :
       {"spBv1.0/g/DDATA/n", "spBv1.0/g/NDATA/n/d", "other/g/NDATA/n", "spBv1.0"}) {
    EXPECT_FALSE(ParseTopic(bad)) << bad;
  }
}

constexpr const char* kBrokerAddress = "127.121.0.1";
// Not 1883: a system broker may listen on every address there.
constexpr int kBrokerPort = 21883;

std::string ServicePath() { return RD_SERVICE_PATH; }

bool Is(const Seen& s, const std::string& type, const std::string& device = {}) {
  const auto t = ParseTopic(s.topic);
  return t && t->group == "store-7" && t->node == "counter" && t->type == type &&
         t->device == device;
}

json Value(const Seen& s, const char* name) {
  const Metric* m = FindMetric(s.payload, name);
  return m == nullptr ? json("absent") : MetricValue(*m);
}

Payload Command(const std::string& name, const std::string& correlation) {
  Payload p;
  p.set_timestamp(NowMs());
  AddString(p, kCommandName, name);
  AddString(p, kCommandCorrelation, correlation);
  return p;
}

TEST(EdgeNode, ThroughTheBroker) {
  TempDir dir;
  auto broker = StartBroker(dir, kBrokerAddress, kBrokerPort);
  Recorder recorder(std::string("tcp://") + kBrokerAddress + ":" + std::to_string(kBrokerPort));

  sim::SimConfig config;
  config.weight = 1234;
  config.division = 2;
  sim::SimScale scale(config);
  scale.Start(sim::SimEndpoints::Tcp("127.121.1.1"));
  sim::SimScale back_scale(config);  // goes away once it has been born
  back_scale.Start(sim::SimEndpoints::Tcp("127.121.1.2"));

  const json service_config = {
      {"listen", "127.121.0.1"},
      {"port", 0},
      {"scales",
       {{{"name", "front"}, {"connection", "127.121.1.1"}},
        {{"name", "back"}, {"connection", "127.121.1.2"}}}},
      {"mqtt",
       {{"broker", std::string("tcp://") + kBrokerAddress + ":" + std::to_string(kBrokerPort)},
        {"group", "store-7"},
        {"node", "counter"},
        {"primary_host", "office"}}}};
  recorder.HostState("office", true);
  const std::string file = dir.Write("service.json", service_config.dump());
  auto service = std::make_unique<Child>(std::vector<std::string>{ServicePath(), "--config", file},
                                         dir.Path() + "/service.log");

  std::size_t at = 0;
  Seen s;
  ASSERT_TRUE(recorder.Wait(
      at, [](const Seen& m) { return Is(m, "NBIRTH"); }, s));
  EXPECT_EQ(s.payload.seq(), 0u);
  EXPECT_EQ(Value(s, kBdSeq), 0);
  EXPECT_EQ(Value(s, kRebirth), false);
  EXPECT_EQ(Value(s, kScales), "front,back");
  // Every later message of the node carries the next seq.
  std::uint64_t expected_seq = 1;
  auto next = [&](const std::function<bool(const Seen&)>& match) {
    const bool found = recorder.Wait(
        at, [&](const Seen& m) { return Is(m, "NBIRTH") || match(m); }, s);
    if (found) {
      EXPECT_FALSE(Is(s, "NBIRTH"));
      EXPECT_EQ(s.payload.seq(), expected_seq % 256) << s.topic;
      expected_seq = s.payload.seq() + 1;
    }
    return found;
  };
  auto any_node_message = [](const Seen& m) {
    const auto t = ParseTopic(m.topic);
    return t && t->node == "counter" && t->type != "DCMD" && t->type != "NCMD";
  };
  // The front scale: born, then its weight; the back scale: born with its
  // weight, then lost when it goes away (a scale that was never born has no
  // death to report, so it must live first).
  bool weight_seen = false, back_born = false, back_lost = false;
  while (!(weight_seen && back_lost) && next(any_node_message)) {
    if (!back_born && (Is(s, "DBIRTH", "back") || Is(s, "DDATA", "back")) &&
        Value(s, "Weight") == 1234) {
      back_born = true;
      back_scale.Stop();
    }
    if ((Is(s, "DBIRTH", "front") || Is(s, "DDATA", "front")) && Value(s, "Weight") == 1234) {
      weight_seen = true;
      EXPECT_EQ(Value(s, "Division"), 2);
      EXPECT_EQ(Value(s, "Stable"), true);
      EXPECT_EQ(Value(s, "State"), "connected");
      EXPECT_EQ(Value(s, "WeightState"), "stable");
    }
    back_lost = back_lost || (back_born && Is(s, "DDEATH", "back"));
  }
  ASSERT_TRUE(weight_seen);
  ASSERT_TRUE(back_lost);

  // Commands: the exact frame reaches the scale; every DCMD gets one answer.
  const std::size_t before = scale.RequestCount();
  Payload goods = Command("SetGoods", "c-1");
  AddString(goods, "Goods", "Milk");
  recorder.Publish("spBv1.0/store-7/DCMD/counter/front", goods);
  auto answer = [&](const char* correlation) {
    return [correlation](const Seen& m) {
      return (Is(m, "DDATA", "front") || Is(m, "NDATA")) &&
             Value(m, kCommandCorrelation) == correlation;
    };
  };
  ASSERT_TRUE(next(answer("c-1")));
  EXPECT_EQ(Value(s, kCommandResult), kResultDone);
  EXPECT_EQ(Value(s, kCommandMeaning), "done");
  EXPECT_EQ(Value(s, kCommandName), "SetGoods");
  Bytes body{0xA2, 'M', 'i', 'l', 'k'};
  body.insert(body.end(), 11, ' ');
  bool frame_seen = false;
  for (const auto& r : scale.RequestsSince(before)) frame_seen |= r.request.raw == BuildFrame(body);
  EXPECT_TRUE(frame_seen) << "SetGoods Milk as the scale's frame";

  struct Refused {
    const char* correlation;
    std::function<void(Payload&)> fill;
    const char* scale;
    json result;
    const char* error;
  } refused[] = {
      {"c-2", [](Payload& p) { AddInt32(p, "Goods", 5); }, "front", nullptr, "takes a string"},
      {"c-3", [](Payload& p) { AddInt32(p, "Lock1", 300); }, "front", nullptr, "Range check"},
      {"c-4", [](Payload&) {}, "back", kResultNoConnection, ""},
      {"c-5", [](Payload&) {}, "nowhere", nullptr, "unknown scale"},
      {"c-6", [](Payload& p) { p.mutable_metrics(0)->set_string_value("Dance"); }, "front", nullptr,
       "unknown command"},
      {"c-7", [](Payload& p) { AddString(p, "Goods", std::string(70000, 'x')); }, "front", nullptr,
       "larger than 64 KiB"},
  };
  for (const Refused& r : refused) {
    Payload p = Command(r.correlation[3] == '3' ? "SetLock" : "SetGoods", r.correlation);
    r.fill(p);
    recorder.Publish(std::string("spBv1.0/store-7/DCMD/counter/") + r.scale, p);
    ASSERT_TRUE(next([&](const Seen& m) {
      return (Is(m, "DDATA", r.scale) || Is(m, "NDATA")) &&
             Value(m, kCommandCorrelation) == r.correlation;
    })) << r.correlation;
    EXPECT_EQ(Value(s, kCommandResult), r.result) << r.correlation;
    EXPECT_NE(Value(s, kCommandError).get<std::string>().find(r.error), std::string::npos)
        << r.correlation << ": " << Value(s, kCommandError);
    if (Is(s, "NDATA")) {
      EXPECT_EQ(Value(s, kCommandScale), r.scale);
    }
  }
  EXPECT_TRUE(Is(s, "DDATA", "front")) << "a live scale answers on its own DDATA";

  // Rebirth: the same session's bdSeq, seq from 0, the live scale born again.
  Payload rebirth;
  AddBool(rebirth, kRebirth, true);
  recorder.Publish("spBv1.0/store-7/NCMD/counter", rebirth);
  ASSERT_TRUE(recorder.Wait(
      at, [](const Seen& m) { return Is(m, "NBIRTH"); }, s));
  EXPECT_EQ(s.payload.seq(), 0u);
  EXPECT_EQ(Value(s, kBdSeq), 0);
  expected_seq = 1;
  ASSERT_TRUE(next([](const Seen& m) { return Is(m, "DBIRTH", "front"); }));

  // The broker restarts: the node reconnects and, once its primary host is
  // online, is born with the next bdSeq.
  broker.reset();
  broker = StartBroker(dir, kBrokerAddress, kBrokerPort);
  Recorder second(std::string("tcp://") + kBrokerAddress + ":" + std::to_string(kBrokerPort));
  second.HostState("office", true);
  at = 0;
  ASSERT_TRUE(second.Wait(
      at, [](const Seen& m) { return Is(m, "NBIRTH"); }, s));
  EXPECT_EQ(Value(s, kBdSeq), 1);
  ASSERT_TRUE(second.Wait(
      at, [](const Seen& m) { return Is(m, "DBIRTH", "front"); }, s));

  // The primary host goes offline: the node dies; back online: born again.
  second.HostState("office", false);
  ASSERT_TRUE(second.Wait(
      at, [](const Seen& m) { return Is(m, "NDEATH"); }, s));
  EXPECT_EQ(Value(s, kBdSeq), 1);
  second.HostState("office", true);
  ASSERT_TRUE(second.Wait(
      at, [](const Seen& m) { return Is(m, "NBIRTH"); }, s));

  // Killed: the broker delivers the will, NDEATH with the same bdSeq.
  service->Signal(SIGKILL);
  ASSERT_TRUE(second.Wait(
      at, [](const Seen& m) { return Is(m, "NDEATH"); }, s));
  EXPECT_EQ(Value(s, kBdSeq), 1);
}

}  // namespace
}  // namespace rd::test
