#include "Service.h"

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "Connection.h"
#include "EdgeNode.h"
#include "Gate.h"
#include "Routes.h"

namespace rd::service {
namespace {

// The gate takes every accepted connection (see Gate.h); httplib answers
// the requests the gate hands over, one at a time, on the gate's threads.
class GatedServer final : public httplib::Server {
 public:
  Gate* gate = nullptr;
  bool Answer(Connection& connection, bool last, bool& closed) {
    return process_request(connection, last, closed, [](httplib::Request&) {});
  }
  // httplib listens with a backlog of 5: a burst of new connections (a
  // page's requests, a crowd of clients) would see SYNs dropped and wait a
  // second each for the retry. Listening again sets a longer queue.
  void WidenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

 private:
  bool process_and_close_socket(socket_t sock) override {
    gate->Admit(sock);
    return true;
  }
};

// Runs the listener's hand-over at once: Admit does not wait.
class InlineQueue final : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

// SO_REUSEADDR only: a restarted service binds over the old connections'
// TIME_WAIT, but never beside a socket that listens (SO_REUSEPORT would let
// a second service share the port).
void ListeningSocketOptions(socket_t sock) {
  const int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace

struct Service::Impl {
  ServiceState state;
  GatedServer server;
  SslContext tls;
  std::unique_ptr<Gate> gate;
  std::thread listener;
  std::unique_ptr<EdgeNode> edge;  // with an "mqtt" section
  int port = 0;
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
  GatedServer& server = impl.server;
  if (s.options.mqtt && !impl.edge) {
    std::vector<ScaleMonitor*> monitors;
    for (auto& monitor : s.monitors) monitors.push_back(monitor.get());
    impl.edge = std::make_unique<EdgeNode>(*s.options.mqtt, monitors, s.log);
    if (!impl.edge->Start(error)) return false;
  }
  if (!s.options.tls_cert.empty()) {
    impl.tls = MakeSslContext(s.options.tls_cert, s.options.tls_key, error);
    if (!impl.tls) return false;
  }
  GateLimits limits;
  static_cast<ConnectionLimits&>(limits) = s.options.limits;
  limits.workers = kHttpThreads;
  limits.body_max = kMaxBodyBytes;
  impl.gate = std::make_unique<Gate>(
      limits,
      [&server](Connection& c, bool last, bool& closed) { return server.Answer(c, last, closed); },
      impl.tls.get());
  server.gate = impl.gate.get();
  server.new_task_queue = [] { return new InlineQueue; };
  server.set_payload_max_length(kMaxBodyBytes);
  // An answer leaves as headers and body: without TCP_NODELAY the body
  // waits for the client's delayed acknowledgement (40 ms on Linux).
  server.set_tcp_nodelay(true);
  server.set_socket_options(ListeningSocketOptions);
  AddRoutes(server, s);

  errno = 0;
  if (s.options.port == 0) {
    impl.port = server.bind_to_any_port(s.options.listen);
  } else if (server.bind_to_port(s.options.listen, s.options.port)) {
    impl.port = s.options.port;
  } else {
    impl.port = -1;
  }
  if (impl.port <= 0) {
    error = errno == EADDRINUSE ? "port " + std::to_string(s.options.port) + " is in use"
                                : "cannot listen on " + s.options.listen + " port " +
                                      std::to_string(s.options.port);
    return false;
  }
  s.trust.listen = s.options.listen;
  s.trust.port = impl.port;
  s.trust.tls = !s.options.tls_cert.empty();
  s.trust.allowed_hosts = s.options.allowed_hosts;
  s.trust.token = s.options.token;
  s.SetOrigins(s.options.cors_origins);
  server.WidenBacklog();
  impl.started = true;
  impl.gate->Start();
  for (auto& monitor : s.monitors) monitor->Start();
  impl.listener = std::thread([&server] { server.listen_after_bind(); });
  // stop() only ends a server that runs: wait for it to run (it takes a
  // moment), so that an early Stop cannot be lost.
  for (int i = 0; i < 500 && !server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (s.log) {
    const bool v6 = s.options.listen.find(':') != std::string::npos;
    s.log(std::string("listening on ") + (impl.tls ? "https://" : "http://") +
          (v6 ? "[" + s.options.listen + "]" : s.options.listen) + ":" + std::to_string(impl.port) +
          "/");
  }
  return true;
}

int Service::Port() const { return impl_->port; }

void Service::Stop() {
  Impl& impl = *impl_;
  if (!impl.started) return;
  impl.started = false;
  if (impl.edge) impl.edge->Stop();
  // Every monitor is told at once: that ends the event streams and the
  // readings waited for, which hold HTTP threads. The HTTP threads then end
  // within their idle, read and write timeouts; the pollers after the
  // exchange each may be in, side by side.
  for (auto& monitor : impl.state.monitors) monitor->SignalStop();
  impl.server.stop();
  if (impl.listener.joinable()) impl.listener.join();
  impl.gate->Stop();
  for (auto& monitor : impl.state.monitors) monitor->Join();
  if (impl.state.log) impl.state.log("stopped");
}

}  // namespace rd::service
