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

void SendJson(HttpResponse& res, int status, const json& body) {
  res.Set(status, body.dump(), JsonType);
}

void SendError(HttpResponse& res, int status, const std::string& text,
               const std::string& property = {}) {
  json body = {{"error", text}};
  if (!property.empty()) body["property"] = property;
  SendJson(res, status, body);
}

TrustRequest ToTrustRequest(const HttpRequest& req) {
  TrustRequest t;
  t.method = req.method == "HEAD" ? "GET" : req.method;
  t.path = req.path;
  t.host = req.Header("Host");
  t.origin = req.Header("Origin");
  t.sec_fetch_site = req.Header("Sec-Fetch-Site");
  t.content_type = req.Header("Content-Type");
  t.authorization = req.Header("Authorization");
  if (req.HasParam("access_token")) t.access_token = req.Param("access_token");
  t.private_network_preflight = req.Header("Access-Control-Request-Private-Network") == "true";
  return t;
}

// Adds or removes one origin of the allowed sites, saved to the
// configuration file when there is one; a failed save changes nothing.
void ChangeSites(ServiceState& s, const HttpRequest& req, HttpResponse& res, bool add) {
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
void ReadStable(ServiceState& s, const ScaleMonitor& monitor, const HttpRequest& req,
                HttpResponse& res) {
  long long timeout_ms = kStableTimeoutDefault.count();
  if (req.HasParam("timeout")) {
    const std::string text = req.Param("timeout");
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), timeout_ms);
    if (ec != std::errc() || end != text.data() + text.size() || timeout_ms < 0 ||
        timeout_ms > kStableTimeoutMax.count()) {
      return SendError(res, 400, "timeout is 0 to 30000 milliseconds");
    }
  }
  const bool allow_zero = req.Param("allow_zero") == "true";
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

// The path split at '/': "/scales/a/weight" -> {"scales", "a", "weight"}.
std::vector<std::string> Segments(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t at = 1;
  while (at <= path.size()) {
    const auto slash = path.find('/', at);
    parts.push_back(path.substr(at, slash == std::string::npos ? std::string::npos : slash - at));
    if (slash == std::string::npos) break;
    at = slash + 1;
  }
  return parts;
}

void ListScales(ServiceState& s, HttpResponse& res) {
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
}

void OpenEvents(ServiceState& s, ScaleMonitor& monitor, HttpResponse& res) {
  if (s.streams.fetch_add(1) >= std::min(kMaxStreams, s.options.max_streams) ||
      s.streams + s.waits > kMaxStreams) {
    s.streams.fetch_sub(1);
    return SendError(res, 503, "too many event streams");
  }
  res.headers.emplace_back("Cache-Control", "no-cache");
  res.headers.emplace_back("X-Accel-Buffering", "no");
  res.content_type = "text/event-stream";
  auto stream = std::make_shared<EventStream>(monitor);
  res.stream = [stream](EventSink& sink) { return stream->Next(sink); };
  res.stream_end = [&s] { s.streams.fetch_sub(1); };
}

void RunCommand(ScaleMonitor& monitor, const std::string& name, const HttpRequest& req,
                HttpResponse& res) {
  const MemberInfo* command = FindCommand(name);
  if (command == nullptr) return SendError(res, 404, "unknown command");
  PropertyPuts puts;
  const Outcome parsed = ParseCommandBody(req.body, puts);
  if (!parsed.Ok()) return SendError(res, parsed.status, parsed.error, parsed.property);
  const CommandOutcome done = monitor.Run(*command, puts);
  if (!done.outcome.Ok()) {
    return SendError(res, done.outcome.status, done.outcome.error, done.outcome.property);
  }
  json answer = {{"scale", monitor.Name()},
                 {"command", std::string(command->name)},
                 {"result", done.result},
                 {"meaning", ResultMeaning(done.result)}};
  if (!done.sent.is_null()) answer["sent"] = done.sent;
  SendJson(res, 200, answer);
}

// The routes after the trust decision; false when none takes the request.
bool Route(ServiceState& s, const HttpRequest& req, HttpResponse& res) {
  const bool get = req.method == "GET" || req.method == "HEAD";
  const bool post = req.method == "POST";
  const std::string& path = req.path;
  if (get && path == "/") {
    res.Set(200, std::string(reinterpret_cast<const char*>(kPageData), kPageSize),
            "text/html; charset=utf-8");
    res.headers.emplace_back("Cache-Control", "no-cache");
    return true;
  }
  if (get && path == kClientScriptPath) {
    res.Set(200, std::string(reinterpret_cast<const char*>(kScriptData), kScriptSize),
            "text/javascript; charset=utf-8");
    res.headers.emplace_back("Cache-Control", "no-cache");
    return true;
  }
  if (get && path == kAllowedSitesPath) {
    json answer = {{"origins", s.Trust().cors_origins}};
    answer["file"] = s.options.config_path.empty() ? json(nullptr) : json(s.options.config_path);
    SendJson(res, 200, answer);
    return true;
  }
  if (post && (path == std::string(kAllowedSitesPath) + "/add" ||
               path == std::string(kAllowedSitesPath) + "/remove")) {
    ChangeSites(s, req, res, path.back() == 'd');
    return true;
  }
  if (get && path == "/scales") {
    ListScales(s, res);
    return true;
  }
  const std::vector<std::string> parts = Segments(path);
  if (parts.size() < 3 || parts[0] != "scales" || parts[1].empty()) return false;
  const bool one = parts.size() == 3;
  const bool command = post && parts.size() == 4 && parts[2] == "commands" && !parts[3].empty();
  if (!(get && one && (parts[2] == "settings" || parts[2] == "weight" || parts[2] == "events")) &&
      !command) {
    return false;
  }
  ScaleMonitor* monitor = s.Find(parts[1]);
  if (monitor == nullptr) {
    SendError(res, 404, "unknown scale");
  } else if (command) {
    RunCommand(*monitor, parts[3], req, res);
  } else if (parts[2] == "settings") {
    SendJson(res, 200, {{"scale", monitor->Name()}, {"settings", monitor->Settings()}});
  } else if (parts[2] == "events") {
    OpenEvents(s, *monitor, res);
  } else if (req.Param("stable") == "true") {
    ReadStable(s, *monitor, req, res);
  } else {
    SendJson(res, 200, WeightJson(monitor->Entry(), monitor->ReadNow()));
  }
  return true;
}

}  // namespace

void HandleRequest(ServiceState& s, const HttpRequest& req, HttpResponse& res) {
  const TrustDecision decision = DecideTrust(ToTrustRequest(req), s.Trust());
  res.headers = decision.headers;
  if (!decision.Proceed()) {
    res.status = decision.status;
    if (!decision.body.empty()) res.Set(decision.status, decision.body, JsonType);
    return;
  }
  try {
    if (!Route(s, req, res)) SendError(res, 404, "not found");
  } catch (const std::exception&) {
    res.stream = nullptr;
    res.stream_end = nullptr;
    SendError(res, 500, "internal error");
  }
}

}  // namespace rd::service
