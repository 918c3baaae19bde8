#include "Routes.h"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

#include "ConfigFile.h"
#include "EventStream.h"
#include "PageData.h"
#include "ScaleSettings.h"
#include "ScriptData.h"
#include "StableReading.h"
#include "WeightJson.h"

namespace rd::service {
namespace {

using json = nlohmann::ordered_json;

constexpr std::size_t kMaxStreams = kHttpThreads - kReservedThreads;

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

TrustRequest ToTrustRequest(const httplib::Request& req) {
  TrustRequest t;
  t.method = req.method;
  t.path = req.path;
  auto header = [&req](const char* name) -> std::optional<std::string> {
    if (!req.has_header(name)) return std::nullopt;
    return req.get_header_value(name);
  };
  t.host = header("Host");
  t.origin = header("Origin");
  t.sec_fetch_site = header("Sec-Fetch-Site");
  t.content_type = header("Content-Type");
  t.authorization = header("Authorization");
  if (req.has_param("access_token")) t.access_token = req.get_param_value("access_token");
  t.private_network_preflight =
      req.get_header_value("Access-Control-Request-Private-Network") == "true";
  return t;
}

// Adds or removes one origin of the allowed sites, saved to the
// configuration file when there is one; a failed save changes nothing.
void ChangeSites(ServiceState& s, const httplib::Request& req, httplib::Response& res, bool add) {
  const json body = json::parse(req.body, nullptr, false);
  const auto origin = body.is_object() && body.contains("origin") && body["origin"].is_string()
                          ? NormaliseOrigin(body["origin"].get<std::string>())
                          : std::nullopt;
  if (!origin) {
    return SendError(res, 400,
                     "the body is {\"origin\": \"https://pos.example\"}: scheme, host, port");
  }
  std::lock_guard<std::mutex> lock(s.sites_mutex);
  std::vector<std::string> origins = s.Trust().cors_origins;
  const auto at = std::find(origins.begin(), origins.end(), *origin);
  if (add && at == origins.end()) origins.push_back(*origin);
  if (!add && at != origins.end()) origins.erase(at);
  json answer = {{"origins", origins}};
  if (s.options.config_path.empty()) {
    answer["saved"] = false;
    answer["note"] = "the service runs without a configuration file: this lasts until it stops";
  } else {
    std::string error;
    if (!SaveConfigValue(s.options.config_path, "cors_origins", json(origins), error)) {
      if (s.log) s.log("allowed sites: " + error);
      return SendError(res, 500, error + " (nothing changed)");
    }
    answer["saved"] = true;
  }
  if (s.log) s.log(std::string(add ? "allowed site added: " : "allowed site removed: ") + *origin);
  s.SetOrigins(std::move(origins));
  SendJson(res, 200, answer);
}

// GET /scales/NAME/weight?stable=true[&timeout=MS][&allow_zero=true]: the
// first reading good for a sale (200); at the deadline the last reading and
// its state (408); a scale that is or goes disconnected ends the wait (503).
void ReadStable(ServiceState& s, const ScaleMonitor& monitor, const httplib::Request& req,
                httplib::Response& res) {
  long long timeout_ms = kStableTimeoutDefault.count();
  if (req.has_param("timeout")) {
    const std::string text = req.get_param_value("timeout");
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), timeout_ms);
    if (ec != std::errc() || end != text.data() + text.size() || timeout_ms < 0 ||
        timeout_ms > kStableTimeoutMax.count()) {
      return SendError(res, 400, "timeout is 0 to 30000 milliseconds");
    }
  }
  const bool allow_zero = req.get_param_value("allow_zero") == "true";
  // A waiting client holds an HTTP thread, as an event stream does.
  if (s.waits.fetch_add(1) + s.streams >= kMaxStreams) {
    s.waits.fetch_sub(1);
    return SendError(res, 503, "too many clients waiting");
  }
  const StableAnswer answer =
      WaitStable(monitor, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms),
                 allow_zero);
  s.waits.fetch_sub(1);
  const int status = answer.end == StableEnd::kGood       ? 200
                     : answer.end == StableEnd::kDeadline ? 408
                                                          : 503;
  SendJson(res, status, WeightJson(monitor.Entry(), answer.snapshot));
}

}  // namespace

void AddRoutes(httplib::Server& server, ServiceState& s) {
  server.set_pre_routing_handler([&s](const httplib::Request& req, httplib::Response& res) {
    const TrustDecision decision = DecideTrust(ToTrustRequest(req), s.Trust());
    for (const auto& [name, value] : decision.headers) res.set_header(name, value);
    if (decision.Proceed()) return httplib::Server::HandlerResponse::Unhandled;
    res.status = decision.status;
    if (!decision.body.empty()) res.set_content(decision.body, JsonType);
    return httplib::Server::HandlerResponse::Handled;
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

  server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(reinterpret_cast<const char*>(kPageData), kPageSize,
                    "text/html; charset=utf-8");
    res.set_header("Cache-Control", "no-cache");
  });

  server.Get(std::string(kClientScriptPath), [](const httplib::Request&, httplib::Response& res) {
    res.set_content(reinterpret_cast<const char*>(kScriptData), kScriptSize,
                    "text/javascript; charset=utf-8");
    res.set_header("Cache-Control", "no-cache");
  });

  server.Get(std::string(kAllowedSitesPath), [&s](const httplib::Request&, httplib::Response& res) {
    json answer = {{"origins", s.Trust().cors_origins}};
    answer["file"] = s.options.config_path.empty() ? json(nullptr) : json(s.options.config_path);
    SendJson(res, 200, answer);
  });
  server.Post(std::string(kAllowedSitesPath) + "/add",
              [&s](const httplib::Request& req, httplib::Response& res) {
                ChangeSites(s, req, res, true);
              });
  server.Post(std::string(kAllowedSitesPath) + "/remove",
              [&s](const httplib::Request& req, httplib::Response& res) {
                ChangeSites(s, req, res, false);
              });

  server.Get(R"(/scales/([^/]+)/settings)",
             [&s](const httplib::Request& req, httplib::Response& res) {
               ScaleMonitor* monitor = s.Find(req.matches[1]);
               if (monitor == nullptr) return SendError(res, 404, "unknown scale");
               SendJson(res, 200, {{"scale", monitor->Name()}, {"settings", monitor->Settings()}});
             });

  server.Get("/scales", [&s](const httplib::Request&, httplib::Response& res) {
    json list = json::array();
    for (const auto& monitor : s.monitors) {
      const Snapshot latest = monitor->Latest();
      list.push_back({{"name", monitor->Name()},
                      {"connection", monitor->Connection()},
                      {"state", StateName(latest.state)},
                      {"weight_state", WeightStateName(StateOf(latest, monitor->Entry()))},
                      {"settings", ScaleSettingsJson(monitor->Entry(), s.options.poll_rate)}});
      if (latest.state == LinkState::kError) list.back()["error"] = latest.error;
    }
    SendJson(res, 200, {{"scales", list}});
  });

  server.Get(R"(/scales/([^/]+)/weight)",
             [&s](const httplib::Request& req, httplib::Response& res) {
               ScaleMonitor* monitor = s.Find(req.matches[1]);
               if (monitor == nullptr) return SendError(res, 404, "unknown scale");
               if (req.get_param_value("stable") == "true")
                 return ReadStable(s, *monitor, req, res);
               SendJson(res, 200, WeightJson(monitor->Entry(), monitor->ReadNow()));
             });

  server.Get(R"(/scales/([^/]+)/events)",
             [&s](const httplib::Request& req, httplib::Response& res) {
               ScaleMonitor* monitor = s.Find(req.matches[1]);
               if (monitor == nullptr) return SendError(res, 404, "unknown scale");
               if (s.streams.fetch_add(1) >= std::min(kMaxStreams, s.options.max_streams) ||
                   s.streams + s.waits > kMaxStreams) {
                 s.streams.fetch_sub(1);
                 return SendError(res, 503, "too many event streams");
               }
               res.set_header("Cache-Control", "no-cache");
               res.set_header("X-Accel-Buffering", "no");
               auto stream = std::make_shared<EventStream>(*monitor, ConnectionSocket(req));
               res.set_chunked_content_provider(
                   "text/event-stream",
                   [stream](std::size_t, httplib::DataSink& sink) { return stream->Next(sink); },
                   [&s](bool) { s.streams.fetch_sub(1); });
             });

  server.Post(R"(/scales/([^/]+)/commands/([^/]+))", [&s](const httplib::Request& req,
                                                          httplib::Response& res) {
    ScaleMonitor* monitor = s.Find(req.matches[1]);
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
    json answer = {{"scale", monitor->Name()},
                   {"command", std::string(command->name)},
                   {"result", done.result},
                   {"meaning", ResultMeaning(done.result)}};
    if (!done.sent.is_null()) answer["sent"] = done.sent;
    SendJson(res, 200, answer);
  });
}

}  // namespace rd::service
