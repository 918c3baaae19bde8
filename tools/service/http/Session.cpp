// What every session shares, and the sessions over plain TCP (those over
// TLS: SessionTls.cpp).
#include "Session.h"

#include <nlohmann/json.hpp>

#include "SessionImpl.h"

namespace rd::service {

std::shared_ptr<HttpRequest> SessionBase::Facts(http::request<http::string_body>& message) {
  auto request = std::make_shared<HttpRequest>();
  request->method = std::string(message.method_string());
  const std::string_view target = message.target();
  const auto query = target.find('?');
  request->path = DecodeUrl(target.substr(0, query), false);
  if (request->path.empty()) request->path = "/";
  if (query != std::string_view::npos) request->params = ParseQuery(target.substr(query + 1));
  for (const auto& field : message) {
    request->headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  request->body = std::move(message.body());
  return request;
}

std::shared_ptr<http::response<http::string_body>> SessionBase::Message(HttpResponse& answer,
                                                                        bool keep, bool head) {
  auto message = std::make_shared<http::response<http::string_body>>(
      static_cast<http::status>(answer.status), 11);
  for (const auto& [name, value] : answer.headers) message->insert(name, value);
  if (!answer.content_type.empty()) {
    message->set(http::field::content_type, answer.content_type);
  }
  message->body() = std::move(answer.body);
  message->keep_alive(keep);
  message->prepare_payload();
  if (head) message->body().clear();  // the Content-Length stays
  return message;
}

std::shared_ptr<http::response<http::string_body>> SessionBase::ErrorMessage(
    int status, const std::string& text) {
  HttpResponse answer;
  answer.Set(status, nlohmann::json{{"error", text}}.dump(), "application/json");
  return Message(answer, false, false);
}

int SessionBase::FailureStatus(const ErrorCode& ec, std::string& text, std::size_t head_max) {
  if (ec == http::error::header_limit) {
    text = "the request head is larger than " + std::to_string(head_max / 1024) + " KiB";
    return 431;
  }
  // An overlong Content-Length is refused as a body over the bound.
  if (ec == http::error::body_limit || ec == http::error::bad_content_length) {
    text = "the body is larger than 64 KiB";
    return 413;
  }
  if (ec == http::error::multiple_content_length) {
    text = "the Content-Length is not one number";
    return 400;
  }
  if (ec.category() == http::make_error_code(http::error::bad_method).category() &&
      ec != http::error::end_of_stream && ec != http::error::partial_message) {
    text = "bad request";
    return 400;
  }
  return 0;
}

template class Session<tcp::socket>;

void StartPlainSession(ServerCore& core, tcp::socket socket) {
  std::make_shared<Session<tcp::socket>>(core, std::move(socket))->Start();
}

}  // namespace rd::service
