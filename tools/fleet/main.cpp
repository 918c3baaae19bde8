// raroredoziri-fleet: head office's view of the chain's scales through the
// MQTT broker (Sparkplug B). It shows itself as a host application coming
// online, which makes every edge node publish its births; then
//   list    prints every node and scale with state and last weight,
//   watch   keeps that table up to date,
//   send    runs a command on one or many scales and prints a line per scale.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "FleetSend.h"
#include "FleetView.h"
#include "MqttClient.h"

namespace {

using namespace rd;
using namespace std::chrono_literals;

const char* kUsage = R"(usage: raroredoziri-fleet [OPTIONS] list
       raroredoziri-fleet [OPTIONS] watch [--for SECONDS]
       raroredoziri-fleet [OPTIONS] send [--scale S | --all] [--deadline MS] [--retry N]
                          COMMAND Name=Value...
Options:
  --broker URI          tcp://HOST[:1883] or ssl://HOST[:8883] (default tcp://127.0.0.1:1883)
  --ca FILE, --cert FILE, --key FILE   TLS: the broker's CA, a client certificate and key
  --user NAME, --password TEXT         the broker's credentials (--password-file FILE:
                                       the password is the file's first line, unseen by ps)
  --host-id ID          this tool's Sparkplug host id (default raroredoziri-fleet)
  --group G, --node N   only the scales of this group (store) and edge node
  --wait MS             how long births are waited for (default 3000; less once they stop)
send: COMMAND is one of the fourteen Set... commands, Name=Value its properties
  (SetGoods Goods=Milk, SetLock Lock1=1). Each scale gets one line: done, refused,
  no connection, error: TEXT, no answer. Exit status 0 when every scale is done,
  1 when any is not (or none matched), 2 for a usage or broker error.
)";

struct Args {
  sparkplug::MqttSettings mqtt;
  std::string host_id = "raroredoziri-fleet";
  std::string group, node, scale;
  bool all = false;
  std::string action;
  std::chrono::milliseconds wait{3000};
  std::chrono::milliseconds deadline{5000};
  int retries = 2;
  int watch_for = 0;  // seconds, 0: until SIGINT
  fleet::SendPlan plan;
};

bool ParseArgs(const std::vector<std::string>& argv, Args& a, std::string& error) {
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argv.size()) {
        error = arg + " takes a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto number = [&](long long low, long long high, long long& out) {
      std::string text;
      if (!value(text)) return false;
      try {
        std::size_t used = 0;
        out = std::stoll(text, &used);
        if (used == text.size() && out >= low && out <= high) return true;
      } catch (...) {
      }
      error = arg + " takes a number from " + std::to_string(low) + " to " + std::to_string(high);
      return false;
    };
    long long n = 0;
    bool ok = true;
    if (arg == "--broker") {
      ok = value(a.mqtt.uri);
    } else if (arg == "--ca") {
      ok = value(a.mqtt.ca_file);
    } else if (arg == "--cert") {
      ok = value(a.mqtt.cert_file);
    } else if (arg == "--key") {
      ok = value(a.mqtt.key_file);
    } else if (arg == "--user") {
      ok = value(a.mqtt.user);
    } else if (arg == "--password") {
      ok = value(a.mqtt.password);
    } else if (arg == "--password-file") {
      std::string file;
      ok = value(file);
      std::ifstream in(file);
      if (ok && !std::getline(in, a.mqtt.password)) {
        error = "cannot read a password from " + file;
        return false;
      }
    } else if (arg == "--host-id") {
      ok = value(a.host_id) && sparkplug::ValidId(a.host_id);
    } else if (arg == "--group") {
      ok = value(a.group);
    } else if (arg == "--node") {
      ok = value(a.node);
    } else if (arg == "--scale") {
      ok = value(a.scale);
    } else if (arg == "--all") {
      a.all = true;
    } else if (arg == "--wait") {
      ok = number(0, 60000, n);
      a.wait = std::chrono::milliseconds(n);
    } else if (arg == "--deadline") {
      ok = number(100, 600000, n);
      a.deadline = std::chrono::milliseconds(n);
    } else if (arg == "--retry") {
      ok = number(0, 10, n);
      a.retries = static_cast<int>(n);
    } else if (arg == "--for") {
      ok = number(1, 86400, n);
      a.watch_for = static_cast<int>(n);
    } else if (arg == "--help" || arg == "-h") {
      a.action = "help";
      return true;
    } else if (!arg.empty() && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    } else if (a.action.empty()) {
      a.action = arg;
    } else if (a.action == "send" && a.plan.command.empty()) {
      a.plan.command = arg;
    } else if (a.action == "send" && arg.find('=') != std::string::npos) {
      a.plan.values.emplace_back(arg.substr(0, arg.find('=')), arg.substr(arg.find('=') + 1));
    } else {
      error = "unexpected \"" + arg + "\"";
      return false;
    }
    if (!ok) {
      if (error.empty()) error = arg + ": not a valid id";
      return false;
    }
  }
  if (a.action != "list" && a.action != "watch" && a.action != "send") {
    error = a.action.empty() ? "say list, watch or send" : "unknown action " + a.action;
    return false;
  }
  if (a.action == "send" && (a.plan.command.empty() || a.all == !a.scale.empty())) {
    error = "send takes a COMMAND and either --scale S or --all";
    return false;
  }
  return true;
}

// {"online": ..., "timestamp": ...}
std::string StatePayload(bool online) {
  return std::string("{\"online\":") + (online ? "true" : "false") +
         ",\"timestamp\":" + std::to_string(sparkplug::NowMs()) + "}";
}

// Waits for births: until they stop arriving for a moment, or `most`.
void WaitForBirths(const fleet::FleetView& view, std::chrono::milliseconds most) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + most;
  std::uint64_t births = view.Births();
  auto quiet_since = Clock::now();
  while (Clock::now() < until) {
    const auto wake = births > 0 ? std::min(until, quiet_since + 300ms) : until;
    view.WaitBirths(
        births, std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()) + 1ms);
    const std::uint64_t now = view.Births();
    if (now != births) {
      births = now;
      quiet_since = Clock::now();
    } else if (births > 0 && Clock::now() - quiet_since >= 300ms) {
      return;
    }
  }
}

int Run(Args& a) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  if (a.mqtt.client_id.empty()) {
    a.mqtt.client_id = a.host_id + "-" + std::to_string(getpid());
  }
  a.plan.correlation_prefix = a.mqtt.client_id + "-" + std::to_string(sparkplug::NowMs()) + "-";
  fleet::FleetView view(a.action == "send" ? a.plan.correlation_prefix : std::string());
  const std::string state_topic = std::string(sparkplug::kNamespace) + "/STATE/" + a.host_id;
  const std::string filter =
      std::string(sparkplug::kNamespace) + "/" + (a.group.empty() ? "+" : a.group) + "/#";
  std::unique_ptr<sparkplug::MqttClient> client;
  std::mutex connected_mutex;
  std::condition_variable connected_cv;
  bool connected = false;
  sparkplug::MqttHandlers handlers;
  handlers.connected = [&] {
    client->Subscribe(filter, 1);
    // After the subscription: the births this brings are seen.
    client->Publish(state_topic, StatePayload(true), 1, false);
    std::lock_guard<std::mutex> lock(connected_mutex);
    connected = true;
    connected_cv.notify_all();
  };
  handlers.message = [&view](const std::string& topic, const std::string& payload, bool) {
    view.Take(topic, payload);
  };
  client = std::make_unique<sparkplug::MqttClient>(a.mqtt, std::move(handlers));
  std::string error;
  if (!client->Start(error)) {
    std::cerr << "raroredoziri-fleet: " << error << "\n";
    return 2;
  }
  {
    std::unique_lock<std::mutex> lock(connected_mutex);
    if (!connected_cv.wait_for(lock, 10s, [&] { return connected; })) {
      std::cerr << "raroredoziri-fleet: no connection to " << a.mqtt.uri << "\n";
      return 2;
    }
  }
  int status = 0;
  if (a.action == "list") {
    WaitForBirths(view, a.wait);
    std::cout << view.Table();
    if (view.Nodes().empty()) {
      std::cerr << "raroredoziri-fleet: no edge node was seen\n";
      status = 1;
    }
  } else if (a.action == "watch") {
    const bool tty = isatty(1) != 0;
    std::string shown;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(a.watch_for);
    const timespec period{0, 250'000'000};
    while (a.watch_for == 0 || std::chrono::steady_clock::now() < until) {
      const std::string table = view.Table();
      if (table != shown) {
        std::cout << (tty ? "\x1b[H\x1b[2J" : "") << table << (tty ? "" : "\n") << std::flush;
        shown = table;
      }
      if (sigtimedwait(&stop, nullptr, &period) > 0) break;
    }
  } else {
    a.plan.deadline = a.deadline;
    a.plan.retries = a.retries;
    sparkplug::Payload command;
    if (!fleet::BuildCommand(a.plan, command, error)) {
      std::cerr << "raroredoziri-fleet: " << error << "\n";
      return 2;
    }
    WaitForBirths(view, a.wait);
    a.plan.scales = view.Scales(a.group, a.node, a.scale);
    if (a.plan.scales.empty()) {
      std::cerr << "raroredoziri-fleet: no scale matched\n";
      status = 1;
    } else {
      const bool progress = isatty(2) != 0 && a.plan.scales.size() > 1;
      const auto start = std::chrono::steady_clock::now();
      const auto lines = fleet::SendToAll(
          *client, view, a.plan, command, [progress](std::size_t done, std::size_t total) {
            if (progress) std::fprintf(stderr, "\ranswered %zu of %zu", done, total);
          });
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start);
      if (progress) std::fputs("\n", stderr);
      std::size_t done = 0;
      for (const auto& line : lines) {
        std::cout << line.scale << ": " << line.outcome << "\n";
        done += line.done ? 1 : 0;
      }
      std::cerr << done << " of " << lines.size() << " done in " << took.count() << " ms\n";
      status = done == lines.size() ? 0 : 1;
    }
  }
  client->Publish(state_topic, StatePayload(false), 1, false);
  client->Stop();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  std::string error;
  if (!ParseArgs(std::vector<std::string>(argv + 1, argv + argc), args, error)) {
    std::cerr << "raroredoziri-fleet: " << error << "\n" << kUsage;
    return 2;
  }
  if (args.action == "help") {
    std::cout << kUsage;
    return 0;
  }
  return Run(args);
}
