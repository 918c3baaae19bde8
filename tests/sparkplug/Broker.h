// A Mosquitto broker and a raroredoziri-service as child processes of a
// test, each with a configuration the test writes, and an MQTT client that
// records every message it sees.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "MqttClient.h"
#include "Sparkplug.h"

namespace rd::test {

// A child process; killed (SIGKILL) and reaped when destroyed.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& log_file);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  void Signal(int signal_number);
  // Waits (5 s at most) for the end; false if it is still running.
  bool Wait();

 private:
  int pid_ = -1;
};

// A directory of its own under /tmp, removed with its files (kept, and
// named on stderr, when RD_KEEP_TMP is set).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string Write(const std::string& name, const std::string& text) const;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Mosquitto on address:port, anonymous, without persistence; the
// constructor waits until it accepts connections.
std::unique_ptr<Child> StartBroker(const TempDir& dir, const std::string& address, int port);

struct Seen {
  std::string topic;
  sparkplug::Payload payload;
  std::string raw;
};

// Subscribes to everything, and is ready when the constructor returns.
class Recorder {
 public:
  explicit Recorder(const std::string& uri);
  // The first message from index `from` on for which `match` holds, within
  // `timeout`; `from` then points behind it. False on time-out.
  bool Wait(std::size_t& from, const std::function<bool(const Seen&)>& match, Seen& out,
            std::chrono::milliseconds timeout = std::chrono::seconds(15));
  std::size_t Count() const;
  void Publish(const std::string& topic, const sparkplug::Payload& p);
  // A host application's STATE, retained.
  void HostState(const std::string& host, bool online);

 private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Seen> seen_;
  std::unique_ptr<sparkplug::MqttClient> client_;
};

}  // namespace rd::test
