#include "HttpServer.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "ListenSocket.h"
#include "Session.h"

#ifdef RD_HTTP_TLS
#include <openssl/ssl.h>
#endif

namespace rd::service {

struct HttpServer::Impl {
  HttpServerOptions options;
  HttpHandler handler;
  // Destroyed after the I/O context, whose pending work holds sessions
  // that use them.
  std::unique_ptr<ServerCore> core;
#ifdef RD_HTTP_TLS
  std::unique_ptr<net::ssl::context> tls;
#endif
  net::io_context io;
  // The acceptor and its retry timer run on a strand of their own; each
  // connection on another.
  net::strand<net::io_context::executor_type> accepting{io.get_executor()};
  std::unique_ptr<tcp::acceptor> acceptor;
  std::unique_ptr<net::steady_timer> retry;
  std::vector<std::thread> threads;
  int port = 0;
  bool started = false;

  bool MakeTls(std::string& error);
  void Accept();
};

#ifdef RD_HTTP_TLS
bool HttpServer::Impl::MakeTls(std::string& error) {
  tls = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
  SSL_CTX_set_min_proto_version(tls->native_handle(), TLS1_2_VERSION);
  ErrorCode ec;
  tls->use_certificate_chain_file(options.tls_cert, ec);
  if (ec) {
    error = "cannot use the certificate " + options.tls_cert + ": " + ec.message();
    return false;
  }
  tls->use_private_key_file(options.tls_key, net::ssl::context::pem, ec);
  if (ec || SSL_CTX_check_private_key(tls->native_handle()) != 1) {
    error = "cannot use the key " + options.tls_key +
            " with the certificate: " + (ec ? ec.message() : "they do not match");
    return false;
  }
  return true;
}
#else
bool HttpServer::Impl::MakeTls(std::string& error) {
  error = "https is not available in this build: the service serves plain HTTP on loopback only";
  return false;
}
#endif

void HttpServer::Impl::Accept() {
  acceptor->async_accept(net::make_strand(io), [this](const ErrorCode& ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor->is_open()) return;
    if (ec) {
      // Out of descriptors, say: try again in a moment, not at once.
      retry->expires_after(std::chrono::milliseconds(100));
      retry->async_wait([this](const ErrorCode& e) {
        if (!e) Accept();
      });
      return;
    }
#ifdef RD_HTTP_TLS
    if (tls) {
      StartTlsSession(*core, std::move(socket), *tls);
      return Accept();
    }
#endif
    StartPlainSession(*core, std::move(socket));
    Accept();
  });
}

HttpServer::HttpServer(HttpServerOptions options, HttpHandler handler)
    : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->handler = std::move(handler);
}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(std::string& error) {
  Impl& impl = *impl_;
  if (impl.started) return true;
  const HttpServerOptions& o = impl.options;
  if (!o.tls_cert.empty() && !impl.MakeTls(error)) return false;
  ErrorCode ec;
  const auto address = net::ip::make_address(o.listen, ec);
  const std::string where = "cannot listen on " + o.listen + " port " + std::to_string(o.port);
  if (ec) {
    error = where;
    return false;
  }
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(o.port));
  impl.acceptor = std::make_unique<tcp::acceptor>(impl.accepting);
  impl.acceptor->open(endpoint.protocol(), ec);
  if (!ec) PrepareListening(*impl.acceptor);
  if (!ec) impl.acceptor->bind(endpoint, ec);
  if (ec) {
    error =
        ec == net::error::address_in_use ? "port " + std::to_string(o.port) + " is in use" : where;
    impl.acceptor.reset();
    return false;
  }
  impl.acceptor->listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    error = where;
    impl.acceptor.reset();
    return false;
  }
  impl.port = impl.acceptor->local_endpoint(ec).port();
  impl.retry = std::make_unique<net::steady_timer>(impl.accepting);
  impl.core.reset(new ServerCore{o, impl.handler,
                                 ConnectionTable(o.limits.per_address, o.limits.total),
                                 WorkQueue(o.threads), impl.io});
  impl.Accept();
  impl.started = true;
  for (std::size_t i = 0; i < std::max<std::size_t>(o.io_threads, 1); ++i) {
    impl.threads.emplace_back([&impl] {
      auto guard = net::make_work_guard(impl.io);
      for (;;) {
        try {
          impl.io.run();
          return;
        } catch (const std::exception&) {
          // A handler's failure ends that connection only.
        }
      }
    });
  }
  return true;
}

int HttpServer::Port() const { return impl_->port; }

bool HttpServer::Secure() const { return !impl_->options.tls_cert.empty(); }

void HttpServer::Stop() {
  Impl& impl = *impl_;
  if (!impl.started) return;
  impl.started = false;
  net::post(impl.accepting, [&impl] {
    ErrorCode ignored;
    impl.acceptor->close(ignored);
    impl.retry->cancel();
  });
  // The waiting connections close; the request threads' answers fail to
  // write at once, and the threads end.
  impl.core->table.CloseAll();
  impl.core->work.Stop();
  impl.io.stop();
  for (std::thread& thread : impl.threads) {
    if (thread.joinable()) thread.join();
  }
  impl.threads.clear();
  impl.acceptor.reset();
  impl.retry.reset();
}

}  // namespace rd::service
