// The template part of Session.h.
#pragma once

#include <type_traits>

#include "IoTurns.h"

namespace rd::service {

template <class Stream>
class Session<Stream>::Sink final : public EventSink {
 public:
  Sink(Session& session, IoTurns& turns) : session_(session), turns_(turns) {}
  bool Write(std::string_view text) override {
    auto self = session_.shared_from_this();
    return turns_.Take(self->Strand(), [self, text](IoTurns::Done done) {
      self->PieceBegins();
      net::async_write(self->stream_, http::make_chunk(net::const_buffer(text.data(), text.size())),
                       [self, done](const ErrorCode& ec, std::size_t) {
                         self->writing_ = false;
                         done(!ec);
                       });
    });
  }
  bool PeerGone() const override { return session_.gone_; }

 private:
  Session& session_;
  IoTurns& turns_;
};

template <class Stream>
void Session<Stream>::Start() {
  net::dispatch(strand_, [self = this->shared_from_this()] { self->Begin(); });
}

template <class Stream>
void Session<Stream>::Begin() {
  ErrorCode ec;
  Socket().set_option(tcp::no_delay(true), ec);
  const auto peer = Socket().remote_endpoint(ec);
  const std::string address = ec ? std::string() : peer.address().to_string();
  std::weak_ptr<Session> weak = this->shared_from_this();
  id_ = core_.table.Admit(address, [weak, strand = Strand()] {
    net::post(strand, [weak] {
      if (auto self = weak.lock()) self->Close();
    });
  });
  if (id_ == 0) {
    if constexpr (kTls) return Close();
    return Refuse(503, "too many connections");
  }
  if constexpr (kTls) {
    Deadline(Ms(core_.options.limits.idle));
    stream_.async_handshake(Stream::server, [self = this->shared_from_this()](const ErrorCode& e) {
      if (e) return self->Close();
      self->tls_ready_ = true;
      self->WaitRequest();
    });
  } else {
    WaitRequest();
  }
}

template <class Stream>
void Session<Stream>::Deadline(Ms wait) {
  const std::uint64_t generation = ++generation_;
  watching_ = false;
  timed_out_ = false;
  timer_.expires_after(wait);
  timer_.async_wait([self = this->shared_from_this(), generation](const ErrorCode& ec) {
    if (ec || generation != self->generation_) return;
    self->timed_out_ = true;
    ErrorCode ignored;
    self->Socket().cancel(ignored);
  });
}

template <class Stream>
void Session<Stream>::NoDeadline() {
  ++generation_;
  watching_ = false;
  timer_.cancel();
}

// An event stream's pieces share one deadline: each piece notes when its
// write began, and the timer, set once and again only while pieces go on,
// ends a write that took longer than write_wait. (A timer set and cancelled
// per piece cost the I/O thread two more completions per event.)
template <class Stream>
void Session<Stream>::PieceBegins() {
  write_began_ = std::chrono::steady_clock::now();
  writing_ = true;
  if (!watching_) WatchPieces(Ms(core_.options.limits.write_wait));
}

template <class Stream>
void Session<Stream>::WatchPieces(Ms wait) {
  const std::uint64_t generation = ++generation_;
  watching_ = true;
  timed_out_ = false;
  timer_.expires_after(wait);
  timer_.async_wait([self = this->shared_from_this(), generation](const ErrorCode& ec) {
    if (generation != self->generation_) return;  // the timer serves a deadline of its own now
    self->watching_ = false;
    if (ec || !self->writing_) return;
    const auto due = self->write_began_ + self->core_.options.limits.write_wait;
    const auto now = std::chrono::steady_clock::now();
    if (now < due) return self->WatchPieces(std::chrono::ceil<Ms>(due - now));
    self->timed_out_ = true;
    ErrorCode ignored;
    self->Socket().cancel(ignored);
  });
}

template <class Stream>
void Session<Stream>::WaitRequest() {
  if (closed_) return;
  core_.table.SetWaiting(id_, true);
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(core_.options.head_max));
  parser_->body_limit(core_.options.body_max);
  const auto& limits = core_.options.limits;
  if (buffer_.size() > 0) return ReadHead(limits.request);
  if constexpr (kTls) {
    // Bytes may wait inside the TLS layer, where the socket cannot show them.
    ReadHead(std::max(limits.idle, limits.request));
  } else {
    Deadline(limits.idle);
    Socket().async_wait(tcp::socket::wait_read,
                        [self = this->shared_from_this()](const ErrorCode& ec) {
                          if (ec) return self->Close();
                          self->ReadHead(self->core_.options.limits.request);
                        });
  }
}

template <class Stream>
void Session<Stream>::ReadHead(Ms wait) {
  Deadline(wait);
  http::async_read_header(
      stream_, buffer_, *parser_,
      [self = this->shared_from_this()](const ErrorCode& ec, std::size_t) { self->OnHead(ec); });
}

template <class Stream>
void Session<Stream>::OnHead(const ErrorCode& ec) {
  if (ec) return Failed(ec);
  if (parser_->chunked()) return Refuse(411, "send the body with a Content-Length");
  const auto expect = parser_->get()[http::field::expect];
  if (beast::iequals(expect, "100-continue") && !parser_->is_done()) {
    static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    net::async_write(stream_, net::buffer(kContinue),
                     [self = this->shared_from_this()](const ErrorCode& e, std::size_t) {
                       if (e) return self->Failed(e);
                       self->ReadBody();
                     });
    return;
  }
  ReadBody();
}

template <class Stream>
void Session<Stream>::ReadBody() {
  http::async_read(stream_, buffer_, *parser_,
                   [self = this->shared_from_this()](const ErrorCode& ec, std::size_t) {
                     if (ec) return self->Failed(ec);
                     self->Dispatch();
                   });
}

template <class Stream>
void Session<Stream>::Failed(const ErrorCode& ec) {
  if (closed_) return;
  if (timed_out_) {
    const bool started = buffer_.size() > 0 || (parser_ && parser_->got_some());
    if (!started) return Close();
    return Refuse(408, "the request took too long to arrive");
  }
  std::string text;
  const int status = FailureStatus(ec, text, core_.options.head_max);
  if (status == 0) return Close();
  Refuse(status, text);
}

template <class Stream>
void Session<Stream>::Dispatch() {
  NoDeadline();
  core_.table.SetWaiting(id_, false);
  auto& message = parser_->get();
  const bool keep = message.keep_alive() && served_ + 1 < core_.options.keep_alive_max;
  const bool head = message.method() == http::verb::head;
  auto request = Facts(message);
  ++served_;
  auto self = this->shared_from_this();
  if (!core_.work.Push([self, request, keep, head] { self->Answer(*request, keep, head); })) {
    Close();
  }
}

template <class Stream>
void Session<Stream>::Answer(const HttpRequest& request, bool keep, bool head) {
  HttpResponse answer;
  try {
    core_.handler(request, answer);
  } catch (const std::exception&) {
    answer = HttpResponse{};
    answer.Set(500, R"({"error":"internal error"})", "application/json");
  }
  if (answer.stream) return StreamEvents(answer);
  auto message = Message(answer, keep, head);
  net::post(Strand(),
            [self = this->shared_from_this(), message, keep] { self->Write(message, keep); });
}

template <class Stream>
void Session<Stream>::Write(std::shared_ptr<http::response<http::string_body>> message, bool keep) {
  if (closed_) return;
  Deadline(Ms(core_.options.limits.write_wait));
  http::async_write(
      stream_, *message,
      [self = this->shared_from_this(), message, keep](const ErrorCode& ec, std::size_t) {
        if (ec || !keep) return self->Close();
        self->WaitRequest();
      });
}

template <class Stream>
void Session<Stream>::StreamEvents(HttpResponse& answer) {
  auto head = std::make_shared<http::response<http::empty_body>>(
      static_cast<http::status>(answer.status), 11);
  for (const auto& [name, value] : answer.headers) head->insert(name, value);
  head->set(http::field::content_type, answer.content_type);
  head->chunked(true);
  head->keep_alive(false);
  auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*head);
  auto self = this->shared_from_this();
  IoTurns turns;
  bool ok = turns.Take(Strand(), [self, head, serializer](IoTurns::Done done) {
    if (self->closed_) return done(false);
    self->Deadline(Ms(self->core_.options.limits.write_wait));
    http::async_write_header(self->stream_, *serializer,
                             [self, head, serializer, done](const ErrorCode& ec, std::size_t) {
                               self->NoDeadline();
                               if (!ec) self->WatchGone();
                               done(!ec);
                             });
  });
  Sink sink(*this, turns);
  while (ok && answer.stream(sink)) {
  }
  if (answer.stream_end) answer.stream_end();
  if (ok && !gone_) {
    turns.Take(Strand(), [self](IoTurns::Done done) {
      self->Deadline(Ms(self->core_.options.limits.write_wait));
      net::async_write(self->stream_, http::make_chunk_last(),
                       [self, done](const ErrorCode& ec, std::size_t) { done(!ec); });
    });
  }
  net::post(Strand(), [self] { self->Close(); });
}

// Reads (and drops) what the client sends while its event stream runs, to
// notice when it leaves.
template <class Stream>
void Session<Stream>::WatchGone() {
  auto scratch = std::make_shared<std::array<char, 4096>>();
  stream_.async_read_some(net::buffer(*scratch), [self = this->shared_from_this(), scratch](
                                                     const ErrorCode& ec, std::size_t) {
    if (ec) {
      self->gone_ = true;
      return;
    }
    self->WatchGone();
  });
}

template <class Stream>
void Session<Stream>::Refuse(int status, const std::string& text) {
  if (closed_) return;
  if constexpr (kTls) {
    if (!tls_ready_) return Close();
  }
  core_.table.SetWaiting(id_, false);
  auto message = ErrorMessage(status, text);
  Deadline(Ms(2000));
  http::async_write(stream_, *message,
                    [self = this->shared_from_this(), message](const ErrorCode&, std::size_t) {
                      self->Linger();
                    });
}

// After a refusal: the sending side ends and what the client still sends is
// read for up to 2 s, so that the answer is not lost to a reset.
template <class Stream>
void Session<Stream>::Linger() {
  if (closed_) return;
  ErrorCode ignored;
  Socket().shutdown(tcp::socket::shutdown_send, ignored);
  Deadline(Ms(2000));
  Drain(std::make_shared<std::array<char, 4096>>());
}

template <class Stream>
void Session<Stream>::Drain(std::shared_ptr<std::array<char, 4096>> scratch) {
  Socket().async_read_some(net::buffer(*scratch), [self = this->shared_from_this(), scratch](
                                                      const ErrorCode& ec, std::size_t) {
    if (ec) return self->Close();
    self->Drain(scratch);
  });
}

template <class Stream>
void Session<Stream>::Close() {
  if (closed_) return;
  closed_ = true;
  gone_ = true;
  NoDeadline();
  ErrorCode ignored;
  Socket().shutdown(tcp::socket::shutdown_both, ignored);
  Socket().close(ignored);
  core_.table.Remove(id_);
  id_ = 0;
}

}  // namespace rd::service
