#include "Broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace rd::test {

using namespace std::chrono_literals;

Child::Child(const std::vector<std::string>& argv, const std::string& log_file) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void Child::Signal(int signal_number) {
  if (pid_ > 0) kill(pid_, signal_number);
}

bool Child::Wait() {
  for (int i = 0; i < 500 && pid_ > 0; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    if (pid_ > 0) std::this_thread::sleep_for(10ms);
  }
  return pid_ <= 0;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/raroredoziri-mqtt-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
  if (getenv("RD_KEEP_TMP")) std::fprintf(stderr, "files in %s\n", path_.c_str());
}

TempDir::~TempDir() {
  if (getenv("RD_KEEP_TMP")) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& text) const {
  const std::string file = path_ + "/" + name;
  std::ofstream(file) << text;
  return file;
}

std::unique_ptr<Child> StartBroker(const TempDir& dir, const std::string& address, int port) {
  const std::string config =
      dir.Write("mosquitto.conf", "listener " + std::to_string(port) + " " + address +
                                      "\nallow_anonymous true\n"
                                      "persistence false\n");
  auto broker = std::make_unique<Child>(
      std::vector<std::string>{"/usr/sbin/mosquitto", "-c", config}, dir.Path() + "/broker.log");
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  for (int i = 0; i < 500; ++i) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    const bool up = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    close(s);
    if (up) return broker;
    std::this_thread::sleep_for(10ms);
  }
  throw std::runtime_error("the broker did not start on " + address);
}

Recorder::Recorder(const std::string& uri) {
  sparkplug::MqttSettings settings;
  settings.uri = uri;
  static std::atomic<int> count{0};
  settings.client_id = "recorder-" + std::to_string(getpid()) + "-" + std::to_string(++count);
  sparkplug::MqttHandlers handlers;
  handlers.connected = [this] {
    client_->Subscribe("#", 1);
    client_->Publish("recorder/ready", "", 1, false);
  };
  handlers.message = [this](const std::string& topic, const std::string& raw, bool) {
    Seen seen{topic, {}, raw};
    seen.payload.ParseFromString(raw);
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(std::move(seen));
    arrived_.notify_all();
  };
  client_ = std::make_unique<sparkplug::MqttClient>(settings, std::move(handlers));
  std::string error;
  if (!client_->Start(error)) throw std::runtime_error(error);
  std::size_t from = 0;
  Seen ready;
  if (!Wait(
          from, [](const Seen& s) { return s.topic == "recorder/ready"; }, ready)) {
    throw std::runtime_error("the recorder did not connect");
  }
}

bool Recorder::Wait(std::size_t& from, const std::function<bool(const Seen&)>& match, Seen& out,
                    std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (true) {
    for (; from < seen_.size(); ++from) {
      if (match(seen_[from])) {
        out = seen_[from++];
        return true;
      }
    }
    if (arrived_.wait_until(lock, until) == std::cv_status::timeout && from == seen_.size()) {
      return false;
    }
  }
}

std::size_t Recorder::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_.size();
}

void Recorder::HostState(const std::string& host, bool online) {
  client_->Publish("spBv1.0/STATE/" + host,
                   std::string("{\"online\":") + (online ? "true" : "false") + "}", 1, true);
}

void Recorder::Publish(const std::string& topic, const sparkplug::Payload& p) {
  client_->Publish(topic, p.SerializeAsString(), 1, false);
}

}  // namespace rd::test
