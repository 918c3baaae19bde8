#include "Service.h"

#include <algorithm>

#ifdef RD_SERVICE_MQTT
#include "EdgeNode.h"
#endif
#include "HttpServer.h"
#include "Routes.h"

namespace rd::service {

struct Service::Impl {
  ServiceState state;
  std::unique_ptr<HttpServer> server;
#ifdef RD_SERVICE_MQTT
  std::unique_ptr<EdgeNode> edge;  // with an "mqtt" section
#endif
  bool started = false;
};

Service::Service(ServiceOptions options, LogLine log) : impl_(std::make_unique<Impl>()) {
  ServiceState& s = impl_->state;
  s.options = std::move(options);
  s.log = std::move(log);
  MonitorTiming timing;
  timing.period = std::chrono::milliseconds(1000 / std::max(1, s.options.poll_rate));
  timing.reopen_first = s.options.reopen_first;
  timing.reopen_max = s.options.reopen_max;
  timing.lost_after = s.options.lost_after;
  for (const ScaleEntry& entry : s.options.scales) {
    MonitorTiming own = timing;
    if (entry.poll_rate) own.period = std::chrono::milliseconds(1000 / *entry.poll_rate);
    s.monitors.push_back(std::make_unique<ScaleMonitor>(entry, own, s.log));
    s.by_name[entry.name] = s.monitors.back().get();
  }
}

Service::~Service() { Stop(); }

bool Service::Start(std::string& error) {
  Impl& impl = *impl_;
  ServiceState& s = impl.state;
  if (impl.started) return true;
#ifdef RD_SERVICE_MQTT
  if (s.options.mqtt && !impl.edge) {
    std::vector<ScaleMonitor*> monitors;
    for (auto& monitor : s.monitors) monitors.push_back(monitor.get());
    impl.edge = std::make_unique<EdgeNode>(*s.options.mqtt, monitors, s.log);
    if (!impl.edge->Start(error)) return false;
  }
#endif
  HttpServerOptions http;
  http.listen = s.options.listen;
  http.port = s.options.port;
  http.limits = s.options.limits;
  http.threads = kHttpThreads;
  http.body_max = kMaxBodyBytes;
  http.tls_cert = s.options.tls_cert;
  http.tls_key = s.options.tls_key;
  impl.server =
      std::make_unique<HttpServer>(http, [&s](const HttpRequest& request, HttpResponse& response) {
        HandleRequest(s, request, response);
      });
  // The trust settings are in place before the first request can arrive.
  s.trust.listen = s.options.listen;
  s.trust.tls = !s.options.tls_cert.empty();
  s.trust.allowed_hosts = s.options.allowed_hosts;
  s.trust.token = s.options.token;
  s.SetOrigins(s.options.cors_origins);
  {
    // The port is known once bound: requests wait for it on the lock.
    std::lock_guard<std::mutex> lock(s.trust_mutex);
    if (!impl.server->Start(error)) {
      impl.server.reset();
      return false;
    }
    s.trust.port = impl.server->Port();
  }
  impl.started = true;
  for (auto& monitor : s.monitors) monitor->Start();
  if (s.log) {
    const bool v6 = s.options.listen.find(':') != std::string::npos;
    s.log(std::string("listening on ") + (impl.server->Secure() ? "https://" : "http://") +
          (v6 ? "[" + s.options.listen + "]" : s.options.listen) + ":" +
          std::to_string(impl.server->Port()) + "/");
  }
  return true;
}

int Service::Port() const { return impl_->server ? impl_->server->Port() : 0; }

void Service::Stop() {
  Impl& impl = *impl_;
  if (!impl.started) return;
  impl.started = false;
#ifdef RD_SERVICE_MQTT
  if (impl.edge) impl.edge->Stop();
#endif
  // Every monitor is told at once: that ends the event streams and the
  // readings waited for, which hold request threads. The server then closes
  // every connection; the pollers end after the exchange each may be in,
  // side by side.
  for (auto& monitor : impl.state.monitors) monitor->SignalStop();
  impl.server->Stop();
  for (auto& monitor : impl.state.monitors) monitor->Join();
  if (impl.state.log) impl.state.log("stopped");
}

}  // namespace rd::service
