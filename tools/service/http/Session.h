// One client connection of the HTTP server (HttpServer.h), over plain TCP or
// TLS. Its reading, writing and deadlines run on its strand (on the server's
// I/O threads, one step at a time); the answer is made on a request thread,
// which hands it back for writing (an event stream writes piece by piece and
// waits for each piece).
#pragma once

#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#ifdef RD_HTTP_TLS
#include <boost/asio/ssl.hpp>
#endif

#include "ConnectionTable.h"
#include "Http.h"
#include "HttpServer.h"
#include "WorkQueue.h"

namespace rd::service {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

// What the sessions share with their server.
struct ServerCore {
  HttpServerOptions options;
  HttpHandler handler;
  ConnectionTable table;
  WorkQueue work;
  net::io_context& io;
};

// The parts of a session that do not depend on the stream type.
class SessionBase {
 public:
  virtual ~SessionBase() = default;

 protected:
  // The request's facts from Beast's message; `keep` and `head` set too.
  static std::shared_ptr<HttpRequest> Facts(http::request<http::string_body>& message);
  // The answer as Beast's message.
  static std::shared_ptr<http::response<http::string_body>> Message(HttpResponse& answer, bool keep,
                                                                    bool head);
  static std::shared_ptr<http::response<http::string_body>> ErrorMessage(int status,
                                                                         const std::string& text);
  // What a failed read is answered with: 0 to close without an answer.
  static int FailureStatus(const ErrorCode& ec, std::string& text, std::size_t head_max);
};

template <class Stream>
class Session final : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
 public:
  static constexpr bool kTls = !std::is_same_v<Stream, tcp::socket>;

  template <class... Args>
  Session(ServerCore& core, tcp::socket socket, Args&&... args)
      : core_(core),
        strand_(socket.get_executor()),
        stream_(std::move(socket), std::forward<Args>(args)...),
        timer_(strand_) {}
  ~Session() override {
    if (id_ != 0) core_.table.Remove(id_);
  }

  void Start();  // on the session's strand

 private:
  class Sink;
  using Self = std::shared_ptr<Session>;
  using Ms = std::chrono::milliseconds;

  tcp::socket& Socket() { return beast::get_lowest_layer(stream_); }
  const net::any_io_executor& Strand() const { return strand_; }
  void Begin();
  void Deadline(Ms wait);
  void NoDeadline();
  void PieceBegins();  // an event stream's piece
  void WatchPieces(Ms wait);
  void WaitRequest();
  void ReadHead(Ms wait);
  void OnHead(const ErrorCode& ec);
  void ReadBody();
  void Failed(const ErrorCode& ec);
  void Dispatch();
  void Answer(const HttpRequest& request, bool keep, bool head);  // a request thread
  void Write(std::shared_ptr<http::response<http::string_body>> message, bool keep);
  void StreamEvents(HttpResponse& answer);  // a request thread
  void WatchGone();
  void Refuse(int status, const std::string& text);
  void Linger();
  void Drain(std::shared_ptr<std::array<char, 4096>> scratch);
  void Close();

  ServerCore& core_;
  // The socket's strand: the session's handlers run one at a time, on any
  // of the I/O threads.
  const net::any_io_executor strand_;
  Stream stream_;
  net::steady_timer timer_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::uint64_t id_ = 0;
  std::uint64_t generation_ = 0;  // of the deadline
  bool timed_out_ = false;
  bool writing_ = false;   // an event stream's piece
  bool watching_ = false;  // the timer watches the pieces
  std::chrono::steady_clock::time_point write_began_{};
  bool closed_ = false;
  bool tls_ready_ = false;
  std::size_t served_ = 0;
  std::atomic<bool> gone_{false};
};

// A new connection's session, started on its strand. Each kind of session is
// made in a file of its own (Session.cpp, SessionTls.cpp): the two template
// instances are the layer's costliest code to compile, and so they compile
// side by side.
void StartPlainSession(ServerCore& core, tcp::socket socket);
#ifdef RD_HTTP_TLS
void StartTlsSession(ServerCore& core, tcp::socket socket, net::ssl::context& tls);
#endif

}  // namespace rd::service
