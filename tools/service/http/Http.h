// The HTTP layer as the routes see it: the facts of one request in, an
// answer out (a whole body, or an event stream written piece by piece).
// Nothing here depends on the HTTP library (HttpServer.h).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rd::service {

struct HttpRequest {
  std::string method;                              // HEAD is answered as GET without the body
  std::string path;                                // decoded, without the query
  std::multimap<std::string, std::string> params;  // decoded query parameters
  std::vector<std::pair<std::string, std::string>> headers;  // as received
  std::string body;

  // The first header of that name (any letter case).
  std::optional<std::string> Header(std::string_view name) const;
  bool HasParam(const std::string& name) const { return params.count(name) != 0; }
  std::string Param(const std::string& name) const;
};

// Where an event stream writes; both calls wait at most the write bound.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // False when the client is gone or does not take the text in time.
  virtual bool Write(std::string_view text) = 0;
  // True once the client closed its end.
  virtual bool PeerGone() const = 0;
};

struct HttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string content_type;
  std::string body;
  // An event stream: called again and again on the request's thread until
  // it returns false (the client left, the stream ended); then `stream_end`.
  std::function<bool(EventSink&)> stream;
  std::function<void()> stream_end;

  void Set(int code, std::string text, std::string type) {
    status = code;
    body = std::move(text);
    content_type = std::move(type);
  }
};

// Answers one request; runs on one of the server's request threads.
using HttpHandler = std::function<void(const HttpRequest&, HttpResponse&)>;

// "%41+b" -> "A b" (with `plus` as space, as in a query).
std::string DecodeUrl(std::string_view text, bool plus);
// Splits "a=1&b=%20" into decoded pairs.
std::multimap<std::string, std::string> ParseQuery(std::string_view query);

}  // namespace rd::service
