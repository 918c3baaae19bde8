#include "MqttClient.h"

#include <mosquitto.h>

#include <mutex>
#include <stdexcept>

namespace rd::sparkplug {
namespace {

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

struct Address {
  std::string host;
  int port = 0;
  bool tls = false;
};

bool ParseUri(const std::string& uri, Address& out, std::string& error) {
  const auto scheme_end = uri.find("://");
  const std::string scheme = scheme_end == std::string::npos ? "" : uri.substr(0, scheme_end);
  if (scheme == "tcp" || scheme == "mqtt") {
    out.tls = false;
  } else if (scheme == "ssl" || scheme == "mqtts") {
    out.tls = true;
  } else {
    error = "broker \"" + uri + "\": tcp://HOST:PORT or ssl://HOST:PORT";
    return false;
  }
  std::string rest = uri.substr(scheme_end + 3);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  out.port = out.tls ? 8883 : 1883;
  const auto colon = rest.rfind(':');
  const bool bracketed = !rest.empty() && rest.front() == '[';
  if (colon != std::string::npos && (!bracketed || rest[colon - 1] == ']')) {
    const std::string port = rest.substr(colon + 1);
    rest.resize(colon);
    try {
      std::size_t used = 0;
      out.port = std::stoi(port, &used);
      if (used != port.size() || out.port < 1 || out.port > 65535) throw std::out_of_range(port);
    } catch (const std::exception&) {
      error = "broker \"" + uri + "\": bad port";
      return false;
    }
  }
  if (bracketed && rest.size() > 2 && rest.back() == ']') rest = rest.substr(1, rest.size() - 2);
  if (rest.empty()) {
    error = "broker \"" + uri + "\": no host";
    return false;
  }
  out.host = rest;
  return true;
}

}  // namespace

struct MqttClient::Impl {
  MqttSettings settings;
  MqttHandlers handlers;
  mosquitto* mosq = nullptr;
  bool running = false;

  static void OnConnect(mosquitto*, void* self, int rc) {
    auto* impl = static_cast<Impl*>(self);
    if (rc == 0 && impl->handlers.connected) impl->handlers.connected();
  }
  static void OnDisconnect(mosquitto*, void* self, int rc) {
    auto* impl = static_cast<Impl*>(self);
    if (impl->handlers.disconnected) impl->handlers.disconnected(rc == 0);
  }
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    auto* impl = static_cast<Impl*>(self);
    if (!impl->handlers.message) return;
    const std::string payload(static_cast<const char*>(m->payload),
                              static_cast<std::size_t>(m->payloadlen));
    impl->handlers.message(m->topic, payload, m->retain);
  }
};

MqttClient::MqttClient(MqttSettings settings, MqttHandlers handlers)
    : impl_(std::make_unique<Impl>()) {
  InitLibrary();
  impl_->settings = std::move(settings);
  impl_->handlers = std::move(handlers);
  const char* id = impl_->settings.client_id.empty() ? nullptr : impl_->settings.client_id.c_str();
  impl_->mosq = mosquitto_new(id, true, impl_.get());
  if (impl_->mosq == nullptr) throw std::runtime_error("cannot create an MQTT client");
  mosquitto_int_option(impl_->mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_connect_callback_set(impl_->mosq, &Impl::OnConnect);
  mosquitto_disconnect_callback_set(impl_->mosq, &Impl::OnDisconnect);
  mosquitto_message_callback_set(impl_->mosq, &Impl::OnMessage);
  mosquitto_reconnect_delay_set(impl_->mosq, 1, 8, true);
}

MqttClient::~MqttClient() {
  Stop();
  mosquitto_destroy(impl_->mosq);
}

void MqttClient::SetWill(const std::string& topic, const std::string& payload, int qos,
                         bool retain) {
  mosquitto_will_set(impl_->mosq, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                     qos, retain);
}

bool MqttClient::Start(std::string& error) {
  Impl& impl = *impl_;
  if (impl.running) return true;
  Address address;
  if (!ParseUri(impl.settings.uri, address, error)) return false;
  const MqttSettings& s = impl.settings;
  if (!s.user.empty() &&
      mosquitto_username_pw_set(impl.mosq, s.user.c_str(),
                                s.password.empty() ? nullptr : s.password.c_str()) !=
          MOSQ_ERR_SUCCESS) {
    error = "the MQTT user name is not valid";
    return false;
  }
  if (address.tls) {
    const int rc = mosquitto_tls_set(impl.mosq, s.ca_file.empty() ? nullptr : s.ca_file.c_str(),
                                     s.ca_file.empty() ? "/etc/ssl/certs" : nullptr,
                                     s.cert_file.empty() ? nullptr : s.cert_file.c_str(),
                                     s.key_file.empty() ? nullptr : s.key_file.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      error = std::string("TLS settings: ") + mosquitto_strerror(rc);
      return false;
    }
  } else if (!s.cert_file.empty() || !s.ca_file.empty()) {
    error = "certificates need an ssl:// broker";
    return false;
  }
  // A broker that is not reachable yet is tried again by the network thread.
  mosquitto_connect_async(impl.mosq, address.host.c_str(), address.port, s.keepalive_s);
  const int rc = mosquitto_loop_start(impl.mosq);
  if (rc != MOSQ_ERR_SUCCESS) {
    error = std::string("MQTT network thread: ") + mosquitto_strerror(rc);
    return false;
  }
  impl.running = true;
  return true;
}

bool MqttClient::Publish(const std::string& topic, const std::string& payload, int qos,
                         bool retain) {
  return mosquitto_publish(impl_->mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                           payload.data(), qos, retain) == MOSQ_ERR_SUCCESS;
}

bool MqttClient::Subscribe(const std::string& pattern, int qos) {
  return mosquitto_subscribe(impl_->mosq, nullptr, pattern.c_str(), qos) == MOSQ_ERR_SUCCESS;
}

void MqttClient::Stop() {
  Impl& impl = *impl_;
  if (!impl.running) return;
  impl.running = false;
  mosquitto_disconnect(impl.mosq);
  mosquitto_loop_stop(impl.mosq, false);
}

}  // namespace rd::sparkplug
