// One client connection of the service: a non-blocking socket, a TLS
// session on it when the service serves https, and the bytes received but
// not yet taken. The gate (Gate.h) receives into it without waiting; an HTTP
// thread then reads one whole, already received request from it through
// httplib's Stream and writes the answer with a bounded wait per write.
#pragma once

#include <httplib.h>
#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace rd::service {

using Clock = std::chrono::steady_clock;

struct SslContextFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using SslContext = std::unique_ptr<SSL_CTX, SslContextFree>;

// The server's TLS context from PEM files (certificate chain and key);
// null with the reason when they cannot be used.
SslContext MakeSslContext(const std::string& cert, const std::string& key, std::string& error);

class Connection final : public httplib::Stream {
 public:
  // Takes `fd` (an accepted socket); `tls` null for plain HTTP.
  Connection(int fd, SSL_CTX* tls, std::chrono::milliseconds write_wait);
  ~Connection() override;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The gate's side, never waiting.
  enum class Progress { kWantRead, kWantWrite, kClosed };
  // Advances the TLS handshake and appends what arrived to Received().
  Progress Receive();
  std::string& Received() { return received_; }
  // Writes a short answer if it fits at once; then ends the sending side.
  void AnswerAndShut(const std::string& answer);
  bool Secure() const { return ssl_ != nullptr; }

  // The request an HTTP thread handles: the first `length` bytes received.
  void BeginRequest(std::size_t length);
  // Drops the request's bytes, read or not.
  void EndRequest();

  // httplib::Stream (the HTTP thread's side).
  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return fd_; }
  using httplib::Stream::write;

  const std::string& PeerAddress() const { return peer_ip_; }

  // The gate's bookkeeping.
  Clock::time_point admitted;
  Clock::time_point deadline;  // idle wait or the request's time
  bool request_started = false;
  bool continue_sent = false;
  bool lingering = false;  // answered and shut: reading what is left
  std::size_t served = 0;  // requests answered on this connection

 private:
  bool WaitFor(short events, Clock::time_point until) const;

  int fd_;
  SSL* ssl_ = nullptr;
  bool handshake_done_ = false;
  const std::chrono::milliseconds write_wait_;
  std::string received_;
  std::size_t request_length_ = 0;
  std::size_t taken_ = 0;
  std::string peer_ip_;
  int peer_port_ = 0;
  std::string local_ip_;
  int local_port_ = 0;
};

}  // namespace rd::service
