#include "Service.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "PageData.h"

namespace rd::service {
namespace {

using json = nlohmann::ordered_json;

// HTTP threads. An event stream holds one for as long as it is open; the
// streams may take all but kReservedThreads of them.
constexpr std::size_t kHttpThreads = 96;
constexpr std::size_t kReservedThreads = 16;
constexpr std::size_t kMaxStreams = kHttpThreads - kReservedThreads;
constexpr auto kKeepAliveComment = std::chrono::seconds(15);
constexpr auto kGoneCheck = std::chrono::seconds(1);

const char* JsonType = "application/json";

void SendJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(), JsonType);
}

void SendError(httplib::Response& res, int status, const std::string& text,
               const std::string& property = {}) {
  json body = {{"error", text}};
  if (!property.empty()) body["property"] = property;
  SendJson(res, status, body);
}

json WeightJson(const std::string& name, const Snapshot& s) {
  return {{"scale", name},
          {"state", StateName(s.state)},
          {"result", s.result},
          {"meaning", ResultMeaning(s.result)},
          {"weight", s.weight},
          {"tare", s.tare},
          {"division", s.division},
          {"stable", s.stable},
          {"time", FormatTime(s.time)}};
}

std::string Event(const std::string& name, const Snapshot& s) {
  return "event: weight\ndata: " + WeightJson(name, s).dump() + "\n\n";
}

// The descriptor of a request's own connection (the socket whose two ends
// are the request's addresses), or -1. httplib keeps it open while the
// answer runs; an event stream watches it to notice a client that left.
int ConnectionSocket(const httplib::Request& req) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  auto describe = [](const sockaddr_storage& a, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
      const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
      inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
      port = ntohs(v4.sin_port);
    } else if (a.ss_family == AF_INET6) {
      const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
      inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
      port = ntohs(v6.sin6_port);
    }
    return std::string(text);
  };
  int found = -1;
  while (const dirent* entry = readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == dirfd(dir)) continue;
    sockaddr_storage peer{};
    sockaddr_storage local{};
    socklen_t peer_size = sizeof peer;
    socklen_t local_size = sizeof local;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size) != 0) {
      continue;
    }
    int peer_port = -1;
    int local_port = -1;
    if (describe(peer, peer_port) == req.remote_addr && peer_port == req.remote_port &&
        describe(local, local_port) == req.local_addr && local_port == req.local_port) {
      found = fd;
      break;
    }
  }
  closedir(dir);
  return found;
}

// True when the client closed its end of `fd` (or the connection broke).
bool PeerGone(int fd) {
  if (fd < 0) return false;
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// One client's event stream: the latest snapshot at once, then every newer
// one; a comment line when nothing changed for 15 s. It ends when the
// client leaves (noticed within a second) or the monitor stops. Each call
// of Next writes at most one piece and returns false to end the stream.
class EventStream {
 public:
  EventStream(ScaleMonitor& monitor, int socket) : monitor_(monitor), socket_(socket) {}

  bool Next(httplib::DataSink& sink) {
    using clock = std::chrono::steady_clock;
    Snapshot snapshot;
    std::string text;
    if (first_) {
      first_ = false;
      snapshot = monitor_.Latest();
      text = "retry: 2000\n\n";  // a browser's wait before it reconnects
    } else {
      const auto until = std::min(comment_due_, clock::now() + kGoneCheck);
      if (!monitor_.WaitNewer(version_, until, snapshot)) return false;
      if (snapshot.version == version_) {
        if (PeerGone(socket_)) return false;
        if (clock::now() < comment_due_) return true;
        comment_due_ = clock::now() + kKeepAliveComment;
        static constexpr char kComment[] = ": keep-alive\n\n";
        return sink.write(kComment, sizeof kComment - 1);
      }
    }
    version_ = snapshot.version;
    comment_due_ = clock::now() + kKeepAliveComment;
    text += Event(monitor_.Name(), snapshot);
    return sink.write(text.data(), text.size());
  }

 private:
  ScaleMonitor& monitor_;
  const int socket_;
  bool first_ = true;
  std::uint64_t version_ = 0;
  std::chrono::steady_clock::time_point comment_due_{};
};

// Compares without an early end, so that the time does not tell how much of
// a guess was right.
bool SameSecret(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return diff == 0;
}

}  // namespace

struct Service::Impl {
  ServiceOptions options;
  LogLine log;
  std::vector<std::unique_ptr<ScaleMonitor>> monitors;
  std::map<std::string, ScaleMonitor*> by_name;
  httplib::Server server;
  std::thread listener;
  int port = 0;
  std::atomic<std::size_t> streams{0};
  bool started = false;

  ScaleMonitor* Find(const std::string& name) const {
    const auto it = by_name.find(name);
    return it == by_name.end() ? nullptr : it->second;
  }

  bool OriginAllowed(const httplib::Request& req, std::string& origin) const {
    if (!req.has_header("Origin")) return false;
    origin = req.get_header_value("Origin");
    return std::find(options.cors_origins.begin(), options.cors_origins.end(), origin) !=
           options.cors_origins.end();
  }

  bool Authorized(const httplib::Request& req) const {
    if (options.token.empty()) return true;
    if (SameSecret(req.get_header_value("Authorization"), "Bearer " + options.token)) return true;
    // A browser's EventSource cannot send a header: the token may come as
    // the access_token query parameter instead.
    return req.has_param("access_token") &&
           SameSecret(req.get_param_value("access_token"), options.token);
  }

  void Routes();
};

void Service::Impl::Routes() {
  server.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
  server.set_payload_max_length(kMaxBodyBytes);
  server.set_keep_alive_timeout(2);
  server.set_read_timeout(5);
  server.set_write_timeout(5);

  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    std::string origin;
    if (OriginAllowed(req, origin)) {
      res.set_header("Access-Control-Allow-Origin", origin);
      res.set_header("Vary", "Origin");
    }
    if (req.method == "OPTIONS") return httplib::Server::HandlerResponse::Unhandled;
    if (!Authorized(req)) {
      res.set_header("WWW-Authenticate", "Bearer");
      SendError(res, 401, "missing or wrong token");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  // Statuses that httplib sets itself (no route, body too large) get a JSON
  // body too.
  server.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        std::string text = "request failed";
        if (res.status == 404) text = "not found";
        if (res.status == 413) text = "the body is larger than 64 KiB";
        if (res.status == 400) text = "bad request";
        if (res.status == 405) text = "method not allowed";
        SendError(res, res.status, text);
        return httplib::Server::HandlerResponse::Handled;
      }));

  server.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                  std::exception_ptr) { SendError(res, 500, "internal error"); });

  server.Options(R"(.*)", [this](const httplib::Request& req, httplib::Response& res) {
    std::string origin;
    if (!OriginAllowed(req, origin)) {
      SendError(res, 403, "origin not allowed");
      return;
    }
    res.status = 204;
    res.set_header("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
    res.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type");
    res.set_header("Access-Control-Max-Age", "600");
  });

  server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(reinterpret_cast<const char*>(kPageData), kPageSize,
                    "text/html; charset=utf-8");
    res.set_header("Cache-Control", "no-cache");
  });

  server.Get("/scales", [this](const httplib::Request&, httplib::Response& res) {
    json list = json::array();
    for (const auto& monitor : monitors) {
      list.push_back({{"name", monitor->Name()},
                      {"connection", monitor->Connection()},
                      {"state", StateName(monitor->Latest().state)}});
    }
    SendJson(res, 200, {{"scales", list}});
  });

  server.Get(R"(/scales/([^/]+)/weight)",
             [this](const httplib::Request& req, httplib::Response& res) {
               ScaleMonitor* monitor = Find(req.matches[1]);
               if (monitor == nullptr) return SendError(res, 404, "unknown scale");
               SendJson(res, 200, WeightJson(monitor->Name(), monitor->ReadNow()));
             });

  server.Get(R"(/scales/([^/]+)/events)",
             [this](const httplib::Request& req, httplib::Response& res) {
               ScaleMonitor* monitor = Find(req.matches[1]);
               if (monitor == nullptr) return SendError(res, 404, "unknown scale");
               if (streams.fetch_add(1) >= std::min(kMaxStreams, options.max_streams)) {
                 streams.fetch_sub(1);
                 return SendError(res, 503, "too many event streams");
               }
               res.set_header("Cache-Control", "no-cache");
               res.set_header("X-Accel-Buffering", "no");
               auto stream = std::make_shared<EventStream>(*monitor, ConnectionSocket(req));
               res.set_chunked_content_provider(
                   "text/event-stream",
                   [stream](std::size_t, httplib::DataSink& sink) { return stream->Next(sink); },
                   [this](bool) { streams.fetch_sub(1); });
             });

  server.Post(R"(/scales/([^/]+)/commands/([^/]+))", [this](const httplib::Request& req,
                                                            httplib::Response& res) {
    ScaleMonitor* monitor = Find(req.matches[1]);
    if (monitor == nullptr) return SendError(res, 404, "unknown scale");
    const MemberInfo* command = FindCommand(std::string(req.matches[2]));
    if (command == nullptr) return SendError(res, 404, "unknown command");
    PropertyPuts puts;
    const Outcome parsed = ParseCommandBody(req.body, puts);
    if (!parsed.Ok()) return SendError(res, parsed.status, parsed.error, parsed.property);
    const CommandOutcome done = monitor->Run(*command, puts);
    if (!done.outcome.Ok()) {
      return SendError(res, done.outcome.status, done.outcome.error, done.outcome.property);
    }
    SendJson(res, 200,
             {{"scale", monitor->Name()},
              {"command", std::string(command->name)},
              {"result", done.result},
              {"meaning", ResultMeaning(done.result)}});
  });
}

Service::Service(ServiceOptions options, LogLine log) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->log = std::move(log);
  MonitorTiming timing;
  timing.period = std::chrono::milliseconds(1000 / std::max(1, impl_->options.poll_rate));
  timing.reopen_first = impl_->options.reopen_first;
  timing.reopen_max = impl_->options.reopen_max;
  timing.lost_after = impl_->options.lost_after;
  for (const ScaleEntry& entry : impl_->options.scales) {
    impl_->monitors.push_back(std::make_unique<ScaleMonitor>(entry, timing, impl_->log));
    impl_->by_name[entry.name] = impl_->monitors.back().get();
  }
}

Service::~Service() { Stop(); }

bool Service::Start(std::string& error) {
  Impl& s = *impl_;
  if (s.started) return true;
  s.Routes();
  if (s.options.port == 0) {
    s.port = s.server.bind_to_any_port(s.options.listen);
  } else if (s.server.bind_to_port(s.options.listen, s.options.port)) {
    s.port = s.options.port;
  } else {
    s.port = -1;
  }
  if (s.port <= 0) {
    error = "cannot listen on " + s.options.listen + " port " + std::to_string(s.options.port);
    return false;
  }
  s.started = true;
  for (auto& monitor : s.monitors) monitor->Start();
  s.listener = std::thread([&s] { s.server.listen_after_bind(); });
  // stop() only ends a server that runs: wait for it to run (it takes a
  // moment), so that an early Stop cannot be lost.
  for (int i = 0; i < 500 && !s.server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (s.log) {
    const bool v6 = s.options.listen.find(':') != std::string::npos;
    s.log("listening on http://" + (v6 ? "[" + s.options.listen + "]" : s.options.listen) + ":" +
          std::to_string(s.port) + "/");
  }
  return true;
}

int Service::Port() const { return impl_->port; }

void Service::Stop() {
  Impl& s = *impl_;
  if (!s.started) return;
  s.started = false;
  // The monitors first: that ends the event streams, which hold HTTP threads.
  for (auto& monitor : s.monitors) monitor->Stop();
  s.server.stop();
  if (s.listener.joinable()) s.listener.join();
  if (s.log) s.log("stopped");
}

}  // namespace rd::service
