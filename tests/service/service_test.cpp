// The scale service over HTTP against the simulated scale: readings,
// commands and the values they send, the error answers, several scales, a
// scale that goes away and comes back while an event stream is open, one
// that goes silent, and the listening socket. Loopback addresses
// 127.81.0.x; HTTP on a free port.
#include "Service.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "Options.h"
#include "ServiceUnderTest.h"
#include "SimScale.h"
#include "raroredoziri/Transport.h"

namespace rd::service {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kToken = "s3cret";
constexpr const char* kOrigin = "http://till.example";

sim::SimConfig Scale(std::int32_t weight, std::int32_t tare = 0) {
  sim::SimConfig c;
  c.weight = weight;
  c.division = 2;
  c.tare = tare;
  return c;
}

std::unique_ptr<sim::SimScale> ServeTcp(sim::SimConfig config, const std::string& address) {
  auto sim = std::make_unique<sim::SimScale>(std::move(config));
  sim->Start(sim::SimEndpoints::Tcp(address));
  return sim;
}

class ServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }

  void TearDown() override {
    if (!service_) return;
    service_->Stop();
    if (HasFailure()) std::cerr << "the service's log:\n" << service_->Output();
  }

  void StartService(std::vector<ScaleEntry> scales, std::string token = {},
                    std::size_t max_streams = 80) {
    ServiceOptions options;
    options.max_streams = max_streams;
    options.port = 0;
    options.scales = std::move(scales);
    options.token = std::move(token);
    options.cors_origins = {kOrigin};
    options.reopen_first = 100ms;
    options.reopen_max = 400ms;
    options.poll_rate = 20;
    service_ = std::make_unique<ServiceUnderTest>(options);
    std::string error;
    const bool started = service_->Start(error);
    client_ = std::make_unique<httplib::Client>("127.0.0.1", service_->Port());
    client_->set_read_timeout(10, 0);
    if (!options.token.empty()) client_->set_bearer_token_auth(options.token.c_str());
    ASSERT_TRUE(started) << error;
  }

  json Get(const std::string& path, int expected = 200) {
    const auto res = client_->Get(path.c_str());
    if (!res) {
      ADD_FAILURE() << "no answer to " << path;
      return {};
    }
    EXPECT_EQ(res->status, expected) << path << ": " << res->body;
    return json::parse(res->body, nullptr, false);
  }

  json Post(const std::string& path, const std::string& body, int expected = 200) {
    const auto res = client_->Post(path.c_str(), body, "application/json");
    if (!res) {
      ADD_FAILURE() << "no answer to " << path;
      return {};
    }
    EXPECT_EQ(res->status, expected) << path << " " << body << ": " << res->body;
    return json::parse(res->body, nullptr, false);
  }

  // Waits (10 s at most) until /scales shows the scale in `state`.
  bool WaitState(const std::string& name, const std::string& state) {
    for (int i = 0; i < 500; ++i) {
      const auto res = client_->Get("/scales");
      if (res && res->status == 200) {
        const json doc = json::parse(res->body);
        for (const json& s : doc["scales"]) {
          if (s["name"] == name && s["state"] == state) return true;
        }
      }
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  std::unique_ptr<ServiceUnderTest> service_;
  std::unique_ptr<httplib::Client> client_;
};

// Over TCP, and over a pseudo-terminal as serial port 82 (framed protocol:
// the link is open after the legacy probe, 3 to 4 s).
class ServiceLinkTest : public ServiceTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ServiceLinkTest, WeightTareAndCommands) {
  sim::SimConfig config = Scale(1234, 50);
  config.refused = {0xAF};  // SetScreen
  std::unique_ptr<sim::SimScale> sim;
  std::optional<SerialPortLink> link;
  std::string connection = "127.81.0.1";
  if (GetParam()) {
    sim = std::make_unique<sim::SimScale>(config);
    sim->Start(sim::SimEndpoints::Pty());
    link.emplace(82, sim->PtyPath());
    connection = "COM82";
  } else {
    sim = ServeTcp(config, connection);
  }
  StartService({{"front", connection}});
  ASSERT_TRUE(WaitState("front", "connected"));

  const json w = Get("/scales/front/weight");
  EXPECT_EQ(w["scale"], "front");
  EXPECT_EQ(w["state"], "connected");
  EXPECT_EQ(w["result"], 0);
  EXPECT_EQ(w["meaning"], "done");
  EXPECT_EQ(w["weight"], 1234);
  EXPECT_EQ(w["tare"], 50);
  EXPECT_EQ(w["division"], 2);
  EXPECT_EQ(w["stable"], true);
  EXPECT_EQ(w["time"].get<std::string>().size(), 24u) << w["time"];

  const json done = Post("/scales/front/commands/SetGoods", R"({"Goods":"Milk"})");
  EXPECT_EQ(done, json::parse(R"({"scale":"front","command":"SetGoods","result":0,
                                  "meaning":"done","sent":{"Goods":"Milk"}})"));
  // The values a body leaves out are those last sent, for every client: the
  // answer and the settings show them.
  const json mode = Post("/scales/front/commands/SetMode", R"({"Agent":"Ann"})");
  EXPECT_EQ(mode["sent"], json::parse(R"({"Operation":0,"RegistratorStore":"","Agent":"Ann"})"));
  const json settings = Get("/scales/front/settings")["settings"];
  EXPECT_EQ(settings["SetGoods"], json::parse(R"({"Goods":"Milk"})"));
  EXPECT_EQ(settings["SetMode"]["Agent"], "Ann");
  EXPECT_EQ(settings.size(), 14u);
  const auto requests = sim->Requests();
  ASSERT_FALSE(requests.empty());
  bool saw_goods = false;
  for (const auto& r : requests) {
    const Bytes body = r.request.Body();
    if (!body.empty() && body[0] == 0xA2) {
      saw_goods = std::string(body.begin(), body.end()).find("Milk") != std::string::npos;
    }
  }
  EXPECT_TRUE(saw_goods) << "the scale received SetGoods with the goods text";

  const json refused = Post("/scales/front/commands/setscreen", R"({"Screen":1})");
  EXPECT_EQ(refused["command"], "SetScreen");
  EXPECT_EQ(refused["result"], 5);
  EXPECT_EQ(refused["meaning"], "refused by the scale");

  const json tare = Post("/scales/front/commands/SetTare", R"({"Tare":700})");
  EXPECT_EQ(tare["result"], 0);
  EXPECT_EQ(Get("/scales/front/weight")["tare"], 700) << "the scale took the tare";
}

INSTANTIATE_TEST_SUITE_P(Links, ServiceLinkTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pty" : "Tcp"; });

TEST_F(ServiceTest, LegacyScaleOverAPseudoTerminal) {
  sim::SimConfig config = Scale(10000);
  config.variant = sim::SimVariant::kLegacy;
  config.division = 1;
  sim::SimScale sim(config);
  sim.Start(sim::SimEndpoints::Pty());
  const SerialPortLink link(81, sim.PtyPath());
  StartService({{"counter", "COM81"}});
  ASSERT_TRUE(WaitState("counter", "connected"));
  const json w = Get("/scales/counter/weight");
  EXPECT_EQ(w["result"], 0);
  EXPECT_EQ(w["weight"], 10000);
  const json legacy = Post("/scales/counter/commands/SetGoods", R"({"Goods":"Milk"})");
  EXPECT_EQ(legacy["result"], 4);
  EXPECT_EQ(legacy["meaning"], "not available with the legacy protocol");
}

TEST_F(ServiceTest, TwoScalesAtOnce) {
  const auto a = ServeTcp(Scale(111), "127.81.0.2");
  const auto b = ServeTcp(Scale(222), "127.81.0.3");
  // "bad" faults on every open ("Range check error"): that stays its own.
  // The program refuses such a scale before it starts (ServiceOptionsTest).
  const bool program = ServiceUnderTest::External();
  std::vector<ScaleEntry> scales = {
      {"a", "127.81.0.2"}, {"b", "127.81.0.3"}, {"none", "127.81.0.4"}};
  if (!program) scales.emplace_back("bad", "COM70000");
  StartService(scales);
  ASSERT_TRUE(WaitState("a", "connected"));
  ASSERT_TRUE(WaitState("b", "connected"));
  ASSERT_TRUE(WaitState("none", "disconnected"));
  EXPECT_EQ(Get("/scales/a/weight")["weight"], 111);
  EXPECT_EQ(Get("/scales/b/weight")["weight"], 222);
  const json none = Get("/scales/none/weight");
  EXPECT_EQ(none["result"], 1);
  EXPECT_EQ(none["state"], "disconnected");
  EXPECT_TRUE(none["weight"].is_null() && none["stable"].is_null()) << none;
  EXPECT_EQ(Post("/scales/none/commands/SetGoods", "{}")["result"], 1);
  if (program) return;
  ASSERT_TRUE(WaitState("bad", "error"));
  const json bad = Get("/scales/bad/weight");
  EXPECT_EQ(bad["error"], "Range check error") << bad;
  EXPECT_TRUE(bad["weight"].is_null()) << bad;
  const json listed = Get("/scales")["scales"];
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed[3]["error"], "Range check error") << listed;
}

struct ErrorCase {
  const char* method;
  std::string path;
  std::string body;
  bool token;
  int status;
  const char* error;  // a part of the error text; null: no check
};

TEST_F(ServiceTest, ErrorAnswers) {
  const auto sim = ServeTcp(Scale(5), "127.81.0.5");
  StartService({{"front", "127.81.0.5"}}, kToken);
  ASSERT_TRUE(WaitState("front", "connected"));
  const std::string set = "/scales/front/commands/";
  const std::vector<ErrorCase> cases = {
      {"GET", "/scales/back/weight", "", true, 404, "unknown scale"},
      {"GET", "/scales/back/events", "", true, 404, "unknown scale"},
      {"POST", "/scales/back/commands/SetGoods", "{}", true, 404, "unknown scale"},
      {"POST", set + "SetNothing", "{}", true, 404, "unknown command"},
      {"POST", set + "ReadWeight", "{}", true, 404, "unknown command"},
      {"GET", "/nowhere", "", true, 404, "not found"},
      {"POST", set + "SetGoods", "{\"Goods\":", true, 400, "not valid JSON"},
      {"POST", set + "SetGoods", "[1]", true, 400, "JSON object"},
      {"POST", set + "SetGoods", R"({"Nope":1})", true, 400, "unknown property"},
      {"POST", set + "SetGoods", R"({"Weight":1})", true, 400, "cannot be set"},
      {"POST", set + "SetGoods", R"({"Connection":"COM1"})", true, 400, "Connection"},
      {"POST", set + "SetGoods", R"({"Goods":5})", true, 400, "takes a string"},
      {"POST", set + "SetLock", R"({"Lock1":"1"})", true, 400, "takes an integer"},
      {"POST", set + "SetLock", R"({"Lock1":1.5})", true, 400, "takes an integer"},
      {"POST", set + "SetLock", R"({"Lock1":-1})", true, 400, "Range check error"},
      {"POST", set + "SetLock", R"({"Lock1":128})", true, 400, "Range check error"},
      {"POST", set + "SetTare", R"({"Tare":2147483648})", true, 400, "Range check error"},
      {"POST", set + "SetGoods", std::string(70000, ' '), true, 413, "64 KiB"},
      {"GET", "/scales", "", false, 401, "token"},
      {"POST", set + "SetGoods", "{}", false, 401, "token"},
      {"GET", "/scales?access_token=wrong", "", false, 401, "token"},
      {"GET", std::string("/scales?access_token=") + kToken, "", false, 200, nullptr},
      {"POST", set + "SetGoods", "", true, 400, "empty"},
      {"POST", set + "SetGoods", "--b\r\nContent-Disposition: form-data; name=\"Goods\"\r\n\r\nX",
       true, 400, "not valid JSON"},
      {"GET", "/", "", true, 200, nullptr},
      {"GET", "/", "", false, 401, "token"},
  };
  httplib::Client bare("127.0.0.1", service_->Port());
  for (const ErrorCase& c : cases) {
    httplib::Client& client = c.token ? *client_ : bare;
    const auto res = c.method == std::string("GET")
                         ? client.Get(c.path.c_str())
                         : client.Post(c.path.c_str(), c.body, "application/json");
    const std::string what = std::string(c.method) + " " + c.path + " " + c.body.substr(0, 40);
    ASSERT_TRUE(res) << what;
    EXPECT_EQ(res->status, c.status) << what << ": " << res->body;
    if (c.error == nullptr) continue;
    const json body = json::parse(res->body, nullptr, false);
    ASSERT_TRUE(body.is_object() && body["error"].is_string()) << what << ": " << res->body;
    EXPECT_NE(body["error"].get<std::string>().find(c.error), std::string::npos)
        << what << ": " << res->body;
  }
  EXPECT_EQ(Get("/scales/front/weight")["weight"], 5) << "still serving";
}

// Collects the states of an event stream on a thread of its own.
class EventReader {
 public:
  EventReader(int port, const std::string& path) {
    thread_ = std::thread([this, port, path] {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(20, 0);
      client.Get(path.c_str(), [this](const char* data, std::size_t size) {
        if (leave_) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        text_.append(data, size);
        for (auto end = text_.find("\n\n"); end != std::string::npos; end = text_.find("\n\n")) {
          const std::string event = text_.substr(0, end);
          text_.erase(0, end + 2);
          const auto data_at = event.find("data: ");
          if (event.rfind("event: weight\n", 0) == 0 && data_at != std::string::npos) {
            events_.push_back(json::parse(event.substr(data_at + 6)));
          }
        }
        changed_.notify_all();
        return true;
      });
    });
  }
  // Leaves the stream at its next piece (or when the service ends it).
  ~EventReader() {
    leave_ = true;
    thread_.join();
  }

  // Waits (10 s at most) until `state` arrives after the first `from` events;
  // the index after it, or -1.
  int WaitFor(const std::string& state, std::size_t from) {
    std::unique_lock<std::mutex> lock(mutex_);
    int found = -1;
    changed_.wait_for(lock, 10s, [&] {
      for (std::size_t i = from; i < events_.size(); ++i) {
        if (events_[i]["state"] == state) found = static_cast<int>(i + 1);
      }
      return found >= 0;
    });
    return found;
  }

  std::vector<json> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
  std::vector<json> events_;
  std::atomic<bool> leave_{false};
  std::thread thread_;
};

TEST_F(ServiceTest, VanishingScaleIsShownAndReopened) {
  const std::string address = "127.81.0.7";
  auto sim = ServeTcp(Scale(42), address);
  StartService({{"front", address}});
  ASSERT_TRUE(WaitState("front", "connected"));
  {
    EventReader events(service_->Port(), "/scales/front/events");
    const int connected = events.WaitFor("connected", 0);
    ASSERT_GE(connected, 0);
    sim->Stop();
    const int gone = events.WaitFor("disconnected", static_cast<std::size_t>(connected));
    ASSERT_GE(gone, 0) << "the stream shows the scale gone";
    sim = ServeTcp(Scale(43), address);
    EXPECT_GE(events.WaitFor("connected", static_cast<std::size_t>(gone)), 0)
        << "reopened once the scale is back";
    EXPECT_EQ(Get("/scales/front/weight")["weight"], 43);
    // A failure carries no weight, only the last good one apart.
    for (const json& e : events.Events()) {
      EXPECT_EQ(e["weight_state"], e["result"] == 0             ? "stable"
                                   : e["state"] == "connecting" ? "not_ready"
                                                                : "disconnected")
          << e;
      if (e["result"] == 0) continue;
      EXPECT_TRUE(e["weight"].is_null() && e["tare"].is_null() && e["stable"].is_null()) << e;
      if (e["state"] != "connecting") {
        EXPECT_EQ(e["last_good"]["weight"], 42) << e;
      }
    }
    service_->Stop();  // ends the stream
  }
}

// The status of a new event stream; a stream that opens is left once its
// first event is in, when the service has nothing more to write.
int OpenAndLeave(int port, const std::string& scale) {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(3, 0);
  int status = 0;
  std::string text;
  client.Get(("/scales/" + scale + "/events").c_str(),
             [&status](const httplib::Response& res) {
               status = res.status;
               return true;
             },
             [&text](const char* data, std::size_t size) {
               text.append(data, size);
               const auto event = text.find("event: weight");
               return event == std::string::npos || text.find("\n\n", event) == std::string::npos;
             });
  return status;
}

TEST_F(ServiceTest, EventStreamsAreLimitedAndFreedWhenTheClientLeaves) {
  sim::SimConfig config = Scale(9);
  config.weight_step = 1;  // an event at every reading
  const auto sim = ServeTcp(config, "127.81.0.8");
  const auto still = ServeTcp(Scale(10), "127.81.0.9");
  StartService({{"front", "127.81.0.8"}, {"still", "127.81.0.9"}}, {}, /*max_streams=*/1);
  ASSERT_TRUE(WaitState("front", "connected"));
  ASSERT_TRUE(WaitState("still", "connected"));
  {
    EventReader held(service_->Port(), "/scales/front/events");
    ASSERT_GE(held.WaitFor("connected", 0), 0);
    EXPECT_EQ(OpenAndLeave(service_->Port(), "front"), 503);
  }
  // A stream whose client left must be noticed for the next one to open,
  // within a second even when nothing changes (no event to write).
  for (int round = 0; round < 3; ++round) {
    int status = 0;
    for (int i = 0; i < 30 && status != 200; ++i) {
      status = OpenAndLeave(service_->Port(), "still");
      if (status != 200) std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(status, 200) << "round " << round;
  }
}

// A scale that goes silent: relays the service's connection to a simulated
// scale until Mute(), then takes the scale's replies without passing them
// on, the connection staying open.
class Muter {
 public:
  Muter(const std::string& address, const std::string& scale) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(5001);
    inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    EXPECT_EQ(bind(listen_, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << address;
    listen(listen_, 4);
    EXPECT_EQ(pipe(wake_), 0);
    inet_pton(AF_INET, scale.c_str(), &at.sin_addr);
    thread_ = std::thread([this, at] { Run(at); });
  }
  ~Muter() {
    EXPECT_EQ(write(wake_[1], "x", 1), 1);
    thread_.join();
    for (const int fd : {listen_, wake_[0], wake_[1]}) close(fd);
  }
  void Mute() { muted_ = true; }

 private:
  void Run(sockaddr_in scale) {
    int client = -1;
    int upstream = -1;
    auto drop = [&] {
      for (int* fd : {&client, &upstream}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
      }
    };
    char buffer[4096];
    while (true) {
      pollfd fds[4] = {
          {wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}, {client, POLLIN, 0}, {upstream, POLLIN, 0}};
      if (poll(fds, 4, -1) <= 0) continue;
      if (fds[0].revents != 0) break;
      if (fds[1].revents != 0) {
        drop();
        client = accept(listen_, nullptr, nullptr);
        upstream = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(upstream, reinterpret_cast<sockaddr*>(&scale), sizeof scale) != 0) drop();
        continue;
      }
      for (const bool from_client : {true, false}) {
        if (fds[from_client ? 2 : 3].revents == 0 || client < 0) continue;
        const ssize_t n = read(from_client ? client : upstream, buffer, sizeof buffer);
        if (n <= 0) {
          drop();
        } else if (from_client || !muted_) {
          EXPECT_EQ(write(from_client ? upstream : client, buffer, static_cast<std::size_t>(n)), n);
        }
      }
    }
    drop();
  }

  int listen_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> muted_{false};
  std::thread thread_;
};

// 32 readers of a scale gone silent share its exchanges and get its failure
// in bounded time, while another scale is read 20 times a second and
// followed by an event stream (under ThreadSanitizer, the pollers, the HTTP
// threads and a stream at once).
TEST_F(ServiceTest, SilentScaleHoldsNoOneUp) {
  sim::SimConfig moving = Scale(7);
  moving.weight_step = 1;  // events keep coming
  const auto healthy = ServeTcp(moving, "127.81.0.10");
  const auto scale = ServeTcp(Scale(8), "127.81.0.11");
  Muter muter("127.81.0.12", "127.81.0.11");
  StartService({{"healthy", "127.81.0.10"}, {"silent", "127.81.0.12"}});
  ASSERT_TRUE(WaitState("healthy", "connected"));
  ASSERT_TRUE(WaitState("silent", "connected"));
  EXPECT_EQ(Get("/scales/silent/weight")["weight"], 8);
  EventReader events(service_->Port(), "/scales/healthy/events");
  muter.Mute();
  const std::size_t requests_before = scale->RequestCount();
  std::vector<json> answers(32);
  std::vector<std::thread> readers;
  for (json& answer : answers) {
    readers.emplace_back([&answer, port = service_->Port()] {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(20, 0);
      const auto res = client.Get("/scales/silent/weight");
      if (res) answer = json::parse(res->body, nullptr, false);
    });
  }
  for (int i = 0; i < 20; ++i) {
    const json w = Get("/scales/healthy/weight");
    EXPECT_EQ(w["result"], 0) << w;
    EXPECT_GE(w["weight"], 7) << w;
    std::this_thread::sleep_for(50ms);
  }
  for (std::thread& reader : readers) reader.join();
  for (const json& answer : answers) {
    ASSERT_TRUE(answer.is_object()) << "a reader of the silent scale got no answer";
    EXPECT_NE(answer["result"], 0) << answer;
    EXPECT_TRUE(answer["weight"].is_null() && answer["stable"].is_null()) << answer;
    EXPECT_EQ(answer["last_good"]["weight"], 8) << answer;
  }
  EXPECT_LE(scale->RequestCount() - requests_before, 4u) << "each reader read the scale itself";
  EXPECT_GE(events.WaitFor("connected", 0), 0);
}

// GET /scales/NAME/weight?stable=true: a weight that settles while the
// poller reads it, one that never does, zero, negative, over the capacity,
// the timeout's bounds, a scale that goes away mid-wait; the settings and
// the value in the scale's unit.
TEST_F(ServiceTest, StableReadingForASale) {
  sim::SimConfig settles = Scale(1000);
  settles.weight_step = 25;
  settles.settle_after = 30;  // 1.5 s at 20 readings a second
  sim::SimConfig moving = Scale(500);
  moving.stable = false;
  moving.weight_step = 3;
  std::vector<std::unique_ptr<sim::SimScale>> sims;
  std::vector<ScaleEntry> entries;
  const std::pair<const char*, sim::SimConfig> scales[] = {
      {"settles", settles},  {"moving", moving},      {"empty", Scale(0)},
      {"minus", Scale(-40)}, {"heavy", Scale(15001)}, {"gone", moving}};
  for (const auto& [name, config] : scales) {
    const std::string address = "127.81.1." + std::to_string(sims.size() + 1);
    sims.push_back(ServeTcp(config, address));
    entries.emplace_back(name, address);
  }
  entries[0].units[2] = {"kg", 3};
  entries[4].capacity = 15000;
  StartService(entries);
  for (const auto& [name, config] : scales) ASSERT_TRUE(WaitState(name, "connected"));

  struct Case {
    std::string path;
    int status;
    const char* weight_state;
    std::optional<std::int32_t> weight;
  };
  const Case cases[] = {
      {"settles/weight?stable=true", 200, "stable", 1750},
      {"moving/weight?stable=true&timeout=300", 408, "unstable", {}},
      {"empty/weight?stable=true&timeout=300", 408, "zero", 0},
      {"empty/weight?stable=true&allow_zero=true", 200, "zero", 0},
      {"minus/weight?stable=true&timeout=300", 408, "under_zero", -40},
      {"heavy/weight?stable=true&timeout=300", 408, "over_capacity", 15001},
      {"moving/weight?timeout=300", 200, "unstable", {}},
      {"moving/weight?stable=true&timeout=30001", 400, nullptr, {}},
      {"moving/weight?stable=true&timeout=-1", 400, nullptr, {}},
  };
  for (const Case& c : cases) {
    const json w = Get("/scales/" + c.path, c.status);
    if (c.weight_state == nullptr) continue;
    EXPECT_EQ(w["weight_state"], c.weight_state) << c.path << ": " << w;
    if (c.weight) {
      EXPECT_EQ(w["weight"], *c.weight) << c.path;
    }
  }
  const json kg = Get("/scales/settles/weight");
  EXPECT_EQ(kg["value"], 1.75);
  EXPECT_EQ(kg["unit"], "kg");
  EXPECT_FALSE(Get("/scales/minus/weight").contains("value")) << "raw only without units";
  const json listed = Get("/scales")["scales"];
  EXPECT_EQ(
      listed[0]["settings"],
      json::parse(R"({"capacity":null,"poll_rate":20,"units":{"2":{"name":"kg","decimals":3}}})"));
  EXPECT_EQ(listed[4]["settings"]["capacity"], 15000);
  EXPECT_EQ(listed[4]["weight_state"], "over_capacity");

  // Events carry the state and an id; a client that comes back with
  // Last-Event-ID gets the current reading at once (this weight never changes).
  httplib::Client again("127.0.0.1", service_->Port());
  again.set_read_timeout(3, 0);
  std::string text;
  const auto asked = std::chrono::steady_clock::now();
  again.Get(
      "/scales/minus/events", {{"Last-Event-ID", "7"}},
      [](const httplib::Response&) { return true; },
      [&text](const char* data, std::size_t size) {
        text.append(data, size);
        const auto event = text.find("event: weight");
        return event == std::string::npos || text.find("\n\n", event) == std::string::npos;
      });
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
  EXPECT_NE(text.find("\nid: "), std::string::npos) << text;
  EXPECT_NE(text.find(R"("weight_state":"under_zero")"), std::string::npos) << text;

  // The scale goes away 300 ms into a 10 s wait: the answer comes at once.
  json gone;
  const auto began = std::chrono::steady_clock::now();
  std::thread waiter([&gone, port = service_->Port()] {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(20, 0);
    const auto res = client.Get("/scales/gone/weight?stable=true&timeout=10000");
    if (res) gone = json::parse(res->body, nullptr, false);
    if (res) gone["status"] = res->status;
  });
  std::this_thread::sleep_for(300ms);
  sims[5]->Stop();
  waiter.join();
  EXPECT_EQ(gone["status"], 503) << gone;
  EXPECT_EQ(gone["weight_state"], "disconnected") << gone;
  EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
}

// 20 clients waiting for a stable weight share the poller's readings: the
// scale receives no more weight requests than its poll rate gives.
TEST_F(ServiceTest, WaitingClientsCostTheScaleNothing) {
  sim::SimConfig moving = Scale(500);
  moving.stable = false;
  moving.weight_step = 1;
  const auto sim = ServeTcp(moving, "127.81.1.10");
  ScaleEntry entry("front", "127.81.1.10");
  entry.poll_rate = 5;
  StartService({entry});
  ASSERT_TRUE(WaitState("front", "connected"));
  auto weight_requests = [&sim] {
    const auto all = sim->Requests();
    return std::count_if(all.begin(), all.end(), [](const sim::SimRequest& r) {
      return r.description.find("ReadWeight") != std::string::npos;
    });
  };
  const auto before = weight_requests();
  const auto began = std::chrono::steady_clock::now();
  std::vector<int> statuses(20);
  std::vector<std::thread> clients;
  for (int& status : statuses) {
    clients.emplace_back([&status, port = service_->Port()] {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(10, 0);
      const auto res = client.Get("/scales/front/weight?stable=true&timeout=2000");
      status = res ? res->status : 0;
    });
  }
  for (std::thread& client : clients) client.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  for (const int status : statuses) EXPECT_EQ(status, 408);
  EXPECT_LE(weight_requests() - before, static_cast<long>(seconds * 5) + 2)
      << "in " << seconds << " s";
}

// The service's end of the connection whose client end is `client` (a
// descriptor of this process, as the service runs in it), or -1.
int ServedSocket(int client) {
  sockaddr_in mine{};
  sockaddr_in theirs{};
  socklen_t size = sizeof mine;
  getsockname(client, reinterpret_cast<sockaddr*>(&mine), &size);
  size = sizeof theirs;
  getpeername(client, reinterpret_cast<sockaddr*>(&theirs), &size);
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int found = -1;
  while (const dirent* entry = readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    sockaddr_in peer{};
    sockaddr_in local{};
    socklen_t peer_size = sizeof peer;
    socklen_t local_size = sizeof local;
    if (fd <= 2 || fd == client ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size) != 0) {
      continue;
    }
    if (peer.sin_family == AF_INET && peer.sin_port == mine.sin_port &&
        peer.sin_addr.s_addr == mine.sin_addr.s_addr && local.sin_port == theirs.sin_port) {
      found = fd;
      break;
    }
  }
  closedir(dir);
  return found;
}

// The accepted connection answers without waiting for the client's
// acknowledgement (TCP_NODELAY), a second service cannot take the port, and
// Stop does not wait for a request that is never completed.
TEST_F(ServiceTest, ListeningSocket) {
  const auto sim = ServeTcp(Scale(5), "127.81.0.13");
  StartService({{"front", "127.81.0.13"}});
  ServiceOptions options;
  options.port = service_->Port();
  options.scales = {{"other", "127.81.0.14"}};
  Service second(options, {});
  std::string error;
  EXPECT_FALSE(second.Start(error));
  EXPECT_EQ(error, "port " + std::to_string(service_->Port()) + " is in use");

  auto connect_to_service = [this] {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(service_->Port()));
    inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    const timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
  };
  const int whole = connect_to_service();
  const std::string request = "GET /scales HTTP/1.1\r\nHost: t\r\n\r\n";
  ASSERT_EQ(send(whole, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  char answer[64];
  ASSERT_GT(recv(whole, answer, sizeof answer, 0), 0);
  const int served = ServedSocket(whole);
  ASSERT_GE(served, 0);
  int nodelay = 0;
  socklen_t length = sizeof nodelay;
  getsockopt(served, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length);
  EXPECT_NE(nodelay, 0);

  const int half = connect_to_service();
  ASSERT_EQ(send(half, "GET /scales HTTP/1.1\r\nHo", 24, 0), 24);
  std::this_thread::sleep_for(100ms);
  const auto began = std::chrono::steady_clock::now();
  service_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 2500ms) << "Stop waited for the request";
  close(whole);
  close(half);
}

struct OptionCase {
  std::vector<std::string> args;
  const char* config;  // JSON text, or null
  bool ok;
  const char* message;
};

TEST(ServiceOptionsTest, ArgumentsAndConfiguration) {
  const std::vector<OptionCase> cases = {
      {{"--scale", "front=127.0.0.9"}, nullptr, true, ""},
      {{}, nullptr, false, "no scale"},
      {{"--scale", "fr ont=127.0.0.9"}, nullptr, false, "scale name"},
      {{"--scale", "a=1", "--scale", "a=2"}, nullptr, false, "named twice"},
      {{"--scale", "a=COM3", "--scale", "b=com3"}, nullptr, false, "two scales"},
      {{"--scale", "a=1", "--listen", "0.0.0.0"}, nullptr, false, "token"},
      {{"--scale", "a=1", "--poll-rate", "0"}, nullptr, false, "poll rate"},
      {{"--scale", "a=1", "--port", "70000"}, nullptr, false, "port"},
      {{"--scale", "a=1", "--device", "x=/dev/ttyUSB0"}, nullptr, false, "port number"},
      {{"--scale", "a=COM70000"}, nullptr, false, "scale \"a\": connection COM70000: not a serial"},
      {{"--scale", "a=CXY 5", "--scale", "b=COM$A"}, nullptr, true, ""},
      {{"--scale", "a=com3"}, nullptr, false, "neither a serial port"},
      {{"--scale", "a=COM3a"}, nullptr, false, "not a serial port"},
      {{"--scale", "a=10.0.0.7:5001"}, nullptr, false, "the port is always 5001"},
      {{"--bogus"}, nullptr, false, "unknown argument"},
      {{"--scale", "a=1", "--allow-origin", "https://pos.example/"}, nullptr, false, "origin"},
      {{"--scale", "a=1", "--allow-origin", "HTTPS://Pos.Example"}, nullptr, true, ""},
      {{},
       R"({"scales":[{"name":"a","connection":"COM3"}],"devices":{"3":"/dev/x"},
               "listen":"0.0.0.0","token":"t","port":9000,"poll_rate":10,
               "cors_origins":["HTTP://X:80"],"codepage":1251,"allowed_hosts":["till.lan"],
               "tls_cert":"c.pem","tls_key":"k.pem","max_streams":1,"request_timeout_ms":1500})",
       true,
       ""},
      {{"--scale", "a=1", "--listen", "192.0.2.1"}, R"({"token":"t"})", false, "tls_cert"},
      {{"--scale", "a=1"}, R"({"tls_cert":"c.pem"})", false, "go together"},
      {{}, R"({"cors_origins":["http://x/path"]})", false, "origins"},
      {{}, R"({"cors_origins":["null"]})", false, "origins"},
      {{}, R"({"scales":[{"name":"a"}]})", false, "scales"},
      {{},
       R"({"scales":[{"name":"a","connection":"COM3","capacity":15000,"poll_rate":10,
                      "units":{"0":{"name":"g","decimals":0},"2":{"name":"kg","decimals":3}}}]})",
       true,
       ""},
      {{}, R"({"scales":[{"name":"a","connection":"COM3","capacity":0}]})", false, "capacity"},
      {{}, R"({"scales":[{"name":"a","connection":"COM3","poll_rate":51}]})", false, "poll_rate"},
      {{}, R"({"scales":[{"name":"a","connection":"COM3","units":{"x":{}}}]})", false, "units"},
      {{},
       R"({"scales":[{"name":"a","connection":"COM3","units":{"256":{"name":"kg","decimals":3}}}]})",
       false,
       "units"},
      {{},
       R"({"scales":[{"name":"a","connection":"COM3","units":{"2":{"name":"kg","decimals":7}}}]})",
       false,
       "units"},
      {{}, R"({"scales":[{"name":"a","connection":"COM3","tara":1}]})", false, "unknown key"},
      {{}, R"({"port":"80"})", false, "port"},
      {{}, R"({"max_streams":81})", false, "max_streams"},
      {{}, R"({"request_timeout_ms":99})", false, "request_timeout_ms"},
      {{}, R"({"colour":1})", false, "unknown configuration key"},
      {{}, "{", false, "not a JSON object"},
  };
  for (const OptionCase& c : cases) {
    ServiceOptions options;
    std::string message;
    bool ok = true;
    if (c.config != nullptr) ok = ApplyConfigText(c.config, options, message);
    if (ok) ok = ParseArguments(c.args, options, message) == ParseResult::kRun;
    EXPECT_EQ(ok, c.ok) << message;
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace rd::service
