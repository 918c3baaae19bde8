// MqttClient: one MQTT session over the Mosquitto client library, on the
// library's own network thread, which also reconnects after a loss (waiting
// 1 s, doubling up to 8 s). The will is sent with every (re)connection as
// it stands at that moment: change it in the Disconnected handler for the
// next session. Handlers run on the network thread, one at a time; Publish
// and Subscribe may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace rd::sparkplug {

struct MqttSettings {
  // tcp://host[:1883] or ssl://host[:8883] (mqtt:// and mqtts:// too).
  std::string uri = "tcp://127.0.0.1:1883";
  std::string ca_file;    // with ssl://: the broker's CA (else the system's)
  std::string cert_file;  // client certificate and key, when the broker asks
  std::string key_file;
  std::string user;
  std::string password;
  std::string client_id;
  int keepalive_s = 30;
};

struct MqttHandlers {
  std::function<void()> connected;
  std::function<void(bool asked)> disconnected;  // asked: by Stop
  std::function<void(const std::string& topic, const std::string& payload, bool retained)> message;
};

class MqttClient {
 public:
  MqttClient(MqttSettings settings, MqttHandlers handlers);
  ~MqttClient();
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Before Start, or in the Disconnected handler.
  void SetWill(const std::string& topic, const std::string& payload, int qos, bool retain);
  // Starts connecting (a broker that is not there yet is tried again);
  // false with the reason for settings that can never work.
  bool Start(std::string& error);
  // False when the message could not be queued (not connected).
  bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain);
  bool Subscribe(const std::string& pattern, int qos);
  // Disconnects cleanly (no will) and ends the network thread.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rd::sparkplug
