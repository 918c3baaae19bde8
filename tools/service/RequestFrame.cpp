#include "RequestFrame.h"

#include <charconv>
#include <nlohmann/json.hpp>
#include <optional>

namespace rd::service {
namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

RequestFrame Refuse(int status, std::string error) {
  RequestFrame frame;
  frame.kind = RequestFrame::Kind::kRefused;
  frame.status = status;
  frame.error = std::move(error);
  return frame;
}

}  // namespace

RequestFrame FrameRequest(std::string_view received, std::size_t head_max, std::size_t body_max) {
  RequestFrame frame;
  std::size_t head_length = 0;
  const auto crlf = received.find("\r\n\r\n");
  const auto lf = received.find("\n\n");
  if (crlf != std::string_view::npos && (lf == std::string_view::npos || crlf + 2 <= lf)) {
    head_length = crlf + 4;
  } else if (lf != std::string_view::npos) {
    head_length = lf + 2;
  }
  const std::string too_long =
      "the request head is larger than " + std::to_string(head_max / 1024) + " KiB";
  if (head_length == 0) {
    return received.size() > head_max ? Refuse(431, too_long) : frame;
  }
  if (head_length > head_max) return Refuse(431, too_long);
  frame.head_complete = true;

  std::optional<std::size_t> content_length;
  std::string_view head = received.substr(0, head_length);
  head.remove_prefix(std::min(head.size(), head.find('\n') + 1));  // the request line
  while (!head.empty()) {
    const auto end = head.find('\n');
    const std::string_view line = head.substr(0, end);
    head.remove_prefix(end == std::string_view::npos ? head.size() : end + 1);
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string name = Lower(Trim(line.substr(0, colon)));
    const std::string_view value = Trim(line.substr(colon + 1));
    if (name == "transfer-encoding") {
      return Refuse(411, "send the body with a Content-Length");
    }
    if (name == "expect") frame.expects_continue = Lower(value) == "100-continue";
    if (name != "content-length") continue;
    std::size_t length = 0;
    const auto [at, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
    if (ec == std::errc::result_out_of_range) return Refuse(413, "the body is larger than 64 KiB");
    if (ec != std::errc() || at != value.data() + value.size() || value.empty() ||
        (content_length && *content_length != length)) {
      return Refuse(400, "the Content-Length is not one number");
    }
    content_length = length;
  }
  const std::size_t body = content_length.value_or(0);
  if (body > body_max) return Refuse(413, "the body is larger than 64 KiB");
  if (received.size() >= head_length + body) {
    frame.kind = RequestFrame::Kind::kComplete;
    frame.length = head_length + body;
  }
  return frame;
}

std::string ErrorAnswer(int status, const std::string& error) {
  const char* reason = "Error";
  switch (status) {
    case 400:
      reason = "Bad Request";
      break;
    case 408:
      reason = "Request Timeout";
      break;
    case 411:
      reason = "Length Required";
      break;
    case 413:
      reason = "Payload Too Large";
      break;
    case 431:
      reason = "Request Header Fields Too Large";
      break;
    case 503:
      reason = "Service Unavailable";
      break;
    default:
      break;
  }
  const std::string body = nlohmann::json{{"error", error}}.dump();
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace rd::service
