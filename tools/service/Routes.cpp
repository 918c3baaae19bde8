#include "Routes.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "EventStream.h"
#include "PageData.h"
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

// Compares without an early end, so that the time does not tell how much of
// a guess was right.
bool SameSecret(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return diff == 0;
}

bool OriginAllowed(const ServiceOptions& options, const httplib::Request& req,
                   std::string& origin) {
  if (!req.has_header("Origin")) return false;
  origin = req.get_header_value("Origin");
  return std::find(options.cors_origins.begin(), options.cors_origins.end(), origin) !=
         options.cors_origins.end();
}

bool Authorized(const ServiceOptions& options, const httplib::Request& req) {
  if (options.token.empty()) return true;
  if (SameSecret(req.get_header_value("Authorization"), "Bearer " + options.token)) return true;
  // A browser's EventSource cannot send a header: the token may come as
  // the access_token query parameter instead.
  return req.has_param("access_token") &&
         SameSecret(req.get_param_value("access_token"), options.token);
}

}  // namespace

void AddRoutes(httplib::Server& server, ServiceState& s) {
  server.set_pre_routing_handler([&s](const httplib::Request& req, httplib::Response& res) {
    std::string origin;
    if (OriginAllowed(s.options, req, origin)) {
      res.set_header("Access-Control-Allow-Origin", origin);
      res.set_header("Vary", "Origin");
    }
    if (req.method == "OPTIONS") return httplib::Server::HandlerResponse::Unhandled;
    if (!Authorized(s.options, req)) {
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

  server.Options(R"(.*)", [&s](const httplib::Request& req, httplib::Response& res) {
    std::string origin;
    if (!OriginAllowed(s.options, req, origin)) {
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

  server.Get("/scales", [&s](const httplib::Request&, httplib::Response& res) {
    json list = json::array();
    for (const auto& monitor : s.monitors) {
      list.push_back({{"name", monitor->Name()},
                      {"connection", monitor->Connection()},
                      {"state", StateName(monitor->Latest().state)}});
      if (list.back()["state"] == "error") list.back()["error"] = monitor->Latest().error;
    }
    SendJson(res, 200, {{"scales", list}});
  });

  server.Get(R"(/scales/([^/]+)/weight)",
             [&s](const httplib::Request& req, httplib::Response& res) {
               ScaleMonitor* monitor = s.Find(req.matches[1]);
               if (monitor == nullptr) return SendError(res, 404, "unknown scale");
               SendJson(res, 200, WeightJson(monitor->Name(), monitor->ReadNow()));
             });

  server.Get(R"(/scales/([^/]+)/events)",
             [&s](const httplib::Request& req, httplib::Response& res) {
               ScaleMonitor* monitor = s.Find(req.matches[1]);
               if (monitor == nullptr) return SendError(res, 404, "unknown scale");
               if (s.streams.fetch_add(1) >= std::min(kMaxStreams, s.options.max_streams)) {
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
    SendJson(res, 200,
             {{"scale", monitor->Name()},
              {"command", std::string(command->name)},
              {"result", done.result},
              {"meaning", ResultMeaning(done.result)}});
  });
}

}  // namespace rd::service
