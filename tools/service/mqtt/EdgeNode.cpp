#include "EdgeNode.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "DeviceMessages.h"
#include "MqttClient.h"
#include "Sparkplug.h"

namespace rd::service {

using namespace sparkplug;

namespace {

// DCMDs waiting for one scale; beyond this they are refused at once.
constexpr std::size_t kMaxWaiting = 64;
constexpr std::size_t kMaxReadBytes = 1024 * 1024;

// A host's STATE: {"online": true, ...}, or the older plain ONLINE/OFFLINE.
bool StateOnline(const std::string& payload) {
  if (payload == "ONLINE") return true;
  const auto doc = nlohmann::json::parse(payload, nullptr, false);
  return doc.is_object() && doc.contains("online") && doc["online"].is_boolean() &&
         doc["online"].get<bool>();
}

}  // namespace

struct EdgeNode::Impl {
  struct Device {
    ScaleMonitor* monitor = nullptr;
    std::mutex mutex;
    std::condition_variable wake;
    bool changed = true;
    bool stopping = false;
    std::deque<DeviceCommand> waiting;
    std::thread thread;
    bool born = false;  // guarded by Impl::mutex
  };

  EdgeOptions options;
  LogLine log;
  std::vector<std::unique_ptr<Device>> devices;
  std::map<std::string, Device*> by_name;
  std::unique_ptr<MqttClient> client;
  bool running = false;  // the owner's (Start, Stop)

  std::mutex mutex;  // the session: everything below, and the order of publishing
  bool connected = false;
  bool host_online = false;
  bool node_born = false;
  Sequence seq;
  BirthDeathSequence bd_seq;

  void Log(const std::string& line) const {
    if (log) log("mqtt: " + line);
  }

  std::string TopicOf(const char* type, const std::string& device = {}) const {
    return FormatTopic({options.group, type, options.node, device});
  }

  // With `mutex` held.
  void Send(const char* type, Payload& p, const std::string& device = {}) {
    p.set_seq(seq.Next());
    client->Publish(TopicOf(type, device), p.SerializeAsString(), 0, false);
  }

  Payload NewPayload() const {
    Payload p;
    p.set_timestamp(NowMs());
    return p;
  }

  // With `mutex` held: NBIRTH and a DBIRTH per live scale.
  void Birth() {
    if (!connected || !host_online) return;
    Payload node = NewPayload();
    node.set_seq(seq.Birth());
    AddUInt64(node, kBdSeq, bd_seq.Current());
    AddBool(node, kRebirth, false);
    std::string names;
    for (auto& d : devices) names += (names.empty() ? "" : ",") + d->monitor->Name();
    AddString(node, kScales, names);
    AddString(node, kCommandScale, std::nullopt);
    AddString(node, kCommandName, std::nullopt);
    AddString(node, kCommandCorrelation, std::nullopt);
    AddInt32(node, kCommandResult, std::nullopt);
    AddString(node, kCommandMeaning, std::nullopt);
    AddString(node, kCommandError, std::nullopt);
    client->Publish(TopicOf("NBIRTH"), node.SerializeAsString(), 0, false);
    node_born = true;
    for (auto& d : devices) {
      const Snapshot s = d->monitor->Latest();
      d->born = Alive(s);
      if (!d->born) continue;
      Payload p = NewPayload();
      AddScaleMetrics(p, s, true, d->monitor->Entry());
      Send("DBIRTH", p, d->monitor->Name());
    }
  }

  // With `mutex` held: the node is dead to the hosts until the next birth.
  void Died() {
    node_born = false;
    for (auto& d : devices) d->born = false;
  }

  void ScaleChanged(Device& d) {
    // Read under the session's lock: a birth in between cannot be followed
    // by an older snapshot.
    std::lock_guard<std::mutex> lock(mutex);
    const Snapshot s = d.monitor->Latest();
    if (!node_born) return;
    const bool alive = Alive(s);
    if (!alive && !d.born) return;
    Payload p = NewPayload();
    if (alive) AddScaleMetrics(p, s, !d.born, d.monitor->Entry());
    Send(!alive ? "DDEATH" : d.born ? "DDATA" : "DBIRTH", p, d.monitor->Name());
    d.born = alive;
  }

  void Answer(Device* d, const std::string& scale, const DeviceCommand& c, const CommandAnswer& a) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!node_born) {
      Log("answer to " + c.name + " for " + scale + " not sent: not connected");
      return;
    }
    Payload p = NewPayload();
    const bool live = d != nullptr && d->born;
    AddAnswerMetrics(p, c, a, live ? std::string() : scale);
    if (live) {
      Send("DDATA", p, scale);
    } else {
      Send("NDATA", p);
    }
  }

  void Execute(Device& d, const DeviceCommand& c) {
    CommandAnswer a;
    a.error = c.error;
    if (c.error.empty()) {
      try {
        const CommandOutcome done = d.monitor->Run(*c.member, c.puts);
        if (done.outcome.Ok()) {
          a.result = done.result;
        } else {
          a.error = done.outcome.error;
        }
      } catch (const std::exception& e) {
        a.error = e.what();
      }
    }
    Answer(&d, d.monitor->Name(), c, a);
  }

  void Serve(Device& d) {
    while (true) {
      std::unique_lock<std::mutex> lock(d.mutex);
      d.wake.wait(lock, [&] { return d.stopping || d.changed || !d.waiting.empty(); });
      if (d.stopping) return;
      if (d.changed) {
        d.changed = false;
        lock.unlock();
        ScaleChanged(d);
        continue;
      }
      const DeviceCommand c = std::move(d.waiting.front());
      d.waiting.pop_front();
      lock.unlock();
      Execute(d, c);
    }
  }

  // The network thread's handlers.
  void Connected() {
    client->Subscribe(TopicOf("NCMD"), 1);
    client->Subscribe(TopicOf("DCMD", "+"), 1);
    client->Subscribe(std::string(kNamespace) + "/STATE/+", 1);
    std::lock_guard<std::mutex> lock(mutex);
    connected = true;
    host_online = options.primary_host.empty();
    Log("connected to " + options.mqtt.uri + " (bdSeq " + std::to_string(bd_seq.Current()) + ")");
    Birth();
  }

  void Disconnected(bool asked) {
    std::lock_guard<std::mutex> lock(mutex);
    if (connected && !asked) Log("connection to the broker lost; reconnecting");
    connected = false;
    Died();
    bd_seq.NextSession();
    client->SetWill(TopicOf("NDEATH"), DeathPayload(bd_seq.Current()), 1, false);
  }

  void Message(const std::string& topic, const std::string& payload, bool retained) {
    const auto t = ParseTopic(topic);
    if (!t) return;
    if (t->type == "STATE") return HostState(t->node, StateOnline(payload), retained);
    if (t->group != options.group || t->node != options.node) return;
    if (t->type == "NCMD") {
      Payload p;
      const Metric* m = p.ParseFromString(payload) ? FindMetric(p, kRebirth) : nullptr;
      if (m != nullptr && m->value_case() == Metric::kBooleanValue && m->boolean_value()) {
        std::lock_guard<std::mutex> lock(mutex);
        Log("rebirth asked for");
        Birth();
      }
    } else if (t->type == "DCMD") {
      Command(t->device, payload);
    }
  }

  void HostState(const std::string& host, bool online, bool retained) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!options.primary_host.empty() && host == options.primary_host) {
      host_online = online;
      if (online && !node_born) {
        Log("primary host " + host + " online");
        Birth();
      } else if (!online && node_born) {
        Log("primary host " + host + " offline");
        client->Publish(TopicOf("NDEATH"), DeathPayload(bd_seq.Current()), 1, false);
        Died();
      }
    } else if (online && !retained && node_born) {
      // A host application that has just come online has no births yet.
      Birth();
    }
  }

  void Command(const std::string& scale, const std::string& payload) {
    // Read for its correlation id up to a bound; refused beyond 64 KiB.
    DeviceCommand c;
    if (payload.size() <= kMaxReadBytes) c = DecodeCommand(payload);
    if (payload.size() > kMaxBodyBytes) c.error = "the DCMD is larger than 64 KiB";
    const auto it = by_name.find(scale);
    if (it == by_name.end()) {
      return Answer(nullptr, scale, c, CommandAnswer{std::nullopt, "unknown scale"});
    }
    Device& d = *it->second;
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      if (!d.stopping && d.waiting.size() < kMaxWaiting) {
        d.waiting.push_back(std::move(c));
        d.wake.notify_one();
        return;
      }
    }
    Answer(&d, scale, c, CommandAnswer{std::nullopt, "too many commands waiting for the scale"});
  }
};

EdgeNode::EdgeNode(EdgeOptions options, const std::vector<ScaleMonitor*>& monitors, LogLine log)
    : impl_(std::make_unique<Impl>()) {
  Impl& impl = *impl_;
  impl.options = std::move(options);
  impl.log = std::move(log);
  for (ScaleMonitor* monitor : monitors) {
    auto d = std::make_unique<Impl::Device>();
    d->monitor = monitor;
    Impl::Device* device = d.get();
    monitor->Watch([device] {
      std::lock_guard<std::mutex> lock(device->mutex);
      device->changed = true;
      device->wake.notify_one();
    });
    impl.by_name[monitor->Name()] = device;
    impl.devices.push_back(std::move(d));
  }
  MqttHandlers handlers;
  handlers.connected = [&impl] { impl.Connected(); };
  handlers.disconnected = [&impl](bool asked) { impl.Disconnected(asked); };
  handlers.message = [&impl](const std::string& topic, const std::string& payload, bool retained) {
    impl.Message(topic, payload, retained);
  };
  impl.client = std::make_unique<MqttClient>(impl.options.mqtt, std::move(handlers));
}

EdgeNode::~EdgeNode() { Stop(); }

bool EdgeNode::Start(std::string& error) {
  Impl& impl = *impl_;
  if (impl.running) return true;
  impl.client->SetWill(impl.TopicOf("NDEATH"), DeathPayload(impl.bd_seq.Current()), 1, false);
  for (auto& d : impl.devices) {
    Impl::Device* device = d.get();
    device->thread = std::thread([&impl, device] {
      try {
        impl.Serve(*device);
      } catch (const std::exception& e) {
        impl.Log("scale " + device->monitor->Name() + ": " + e.what());
      }
    });
  }
  impl.running = true;
  if (!impl.client->Start(error)) {
    error = "mqtt: " + error;
    Stop();
    return false;
  }
  return true;
}

void EdgeNode::Stop() {
  Impl& impl = *impl_;
  if (!impl.running) return;
  impl.running = false;
  for (auto& d : impl.devices) {
    std::lock_guard<std::mutex> lock(d->mutex);
    d->stopping = true;
    d->wake.notify_one();
  }
  for (auto& d : impl.devices) {
    if (d->thread.joinable()) d->thread.join();
  }
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    if (impl.connected) {
      impl.client->Publish(impl.TopicOf("NDEATH"), DeathPayload(impl.bd_seq.Current()), 1, false);
    }
    impl.Died();
  }
  impl.client->Stop();
}

}  // namespace rd::service
