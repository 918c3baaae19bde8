// The HTTP server of the scale service (Boost.Beast on Boost.Asio, for
// Linux and Windows alike). A few I/O threads wait on every connection at
// once (each connection's steps one at a time, on a strand of its own) and
// read each request whole (head and body) before a request thread sees it,
// so that clients that send slowly or not at all hold no thread:
//
//   - a connection has `idle` to begin a request and `request` to finish it
//     (head and body); after that it gets 408 and is closed (over TLS both
//     together: the larger of the two);
//   - heads over 16 KiB get 431, bodies over 64 KiB 413, bodies without a
//     Content-Length 411, a Content-Length that is not one number 400;
//   - connections are bounded per client address and in all
//     (ConnectionTable.h); answers are written with at most `write_wait`.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "ConnectionLimits.h"
#include "Http.h"

namespace rd::service {

struct HttpServerOptions {
  std::string listen = "127.0.0.1";
  int port = 0;  // 0: any free port
  ConnectionLimits limits;
  std::size_t threads = 96;    // request threads
  std::size_t io_threads = 4;  // I/O threads (under wine each I/O step waits on
                               // a round trip to the wine server: they overlap)
  std::size_t head_max = 16 * 1024;
  std::size_t body_max = 64 * 1024;
  std::size_t keep_alive_max = 1000;  // requests on one connection
  std::string tls_cert;               // PEM files: serve https
  std::string tls_key;
};

class HttpServer {
 public:
  HttpServer(HttpServerOptions options, HttpHandler handler);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and serves on threads of its own; false with the reason ("port P
  // is in use" when another socket listens there).
  bool Start(std::string& error);
  int Port() const;
  bool Secure() const;
  // Closes every connection; the answers being made end within their
  // write bound.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rd::service
