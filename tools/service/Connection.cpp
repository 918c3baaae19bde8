#include "Connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace rd::service {
namespace {

void Describe(const sockaddr_storage& a, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    port = ntohs(v4.sin_port);
  } else if (a.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
    inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    port = ntohs(v6.sin6_port);
  }
  ip = text;
}

std::string SslReason() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return std::strerror(errno);
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

}  // namespace

SslContext MakeSslContext(const std::string& cert, const std::string& key, std::string& error) {
  SslContext ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) {
    error = "cannot set up TLS: " + SslReason();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert.c_str()) != 1) {
    error = "cannot use the certificate " + cert + ": " + SslReason();
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx.get()) != 1) {
    error = "cannot use the key " + key + " with the certificate: " + SslReason();
    return nullptr;
  }
  return ctx;
}

Connection::Connection(int fd, SSL_CTX* tls, std::chrono::milliseconds write_wait)
    : fd_(fd), write_wait_(write_wait) {
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  const int yes = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  sockaddr_storage peer{};
  sockaddr_storage local{};
  socklen_t size = sizeof peer;
  if (getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &size) == 0) {
    Describe(peer, peer_ip_, peer_port_);
  }
  size = sizeof local;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
    Describe(local, local_ip_, local_port_);
  }
  if (tls != nullptr) {
    ssl_ = SSL_new(tls);
    if (ssl_ != nullptr) SSL_set_fd(ssl_, fd_);
  }
  admitted = Clock::now();
}

Connection::~Connection() {
  if (ssl_ != nullptr) {
    if (handshake_done_) SSL_shutdown(ssl_);
    SSL_free(ssl_);
  }
  shutdown(fd_, SHUT_RDWR);
  close(fd_);
}

Connection::Progress Connection::Receive() {
  char chunk[16 * 1024];
  if (ssl_ == nullptr) {
    for (;;) {
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n > 0) {
        if (!lingering) received_.append(chunk, static_cast<std::size_t>(n));
        if (received_.size() > 1024 * 1024) return Progress::kClosed;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? Progress::kWantRead
                                                                : Progress::kClosed;
    }
  }
  if (!handshake_done_) {
    const int r = SSL_accept(ssl_);
    if (r != 1) {
      const int e = SSL_get_error(ssl_, r);
      ERR_clear_error();
      if (e == SSL_ERROR_WANT_READ) return Progress::kWantRead;
      if (e == SSL_ERROR_WANT_WRITE) return Progress::kWantWrite;
      return Progress::kClosed;
    }
    handshake_done_ = true;
  }
  for (;;) {
    const int n = SSL_read(ssl_, chunk, sizeof chunk);
    if (n > 0) {
      if (!lingering) received_.append(chunk, static_cast<std::size_t>(n));
      if (received_.size() > 1024 * 1024) return Progress::kClosed;
      continue;
    }
    const int e = SSL_get_error(ssl_, n);
    ERR_clear_error();
    if (e == SSL_ERROR_WANT_READ) return Progress::kWantRead;
    if (e == SSL_ERROR_WANT_WRITE) return Progress::kWantWrite;
    return Progress::kClosed;
  }
}

void Connection::AnswerAndShut(const std::string& answer) {
  if (ssl_ == nullptr) {
    // A short answer fits the socket's buffer; one that does not is dropped.
    [[maybe_unused]] const ssize_t n = send(fd_, answer.data(), answer.size(), MSG_NOSIGNAL);
  } else if (handshake_done_) {
    SSL_write(ssl_, answer.data(), static_cast<int>(answer.size()));
    SSL_shutdown(ssl_);
    ERR_clear_error();
  }
  shutdown(fd_, SHUT_WR);
  lingering = true;
  received_.clear();
}

void Connection::BeginRequest(std::size_t length) {
  request_length_ = std::min(length, received_.size());
  taken_ = 0;
}

void Connection::EndRequest() {
  received_.erase(0, request_length_);
  request_length_ = 0;
  taken_ = 0;
}

bool Connection::is_readable() const { return taken_ < request_length_; }

bool Connection::is_writable() const { return WaitFor(POLLOUT, Clock::now() + write_wait_); }

ssize_t Connection::read(char* ptr, size_t size) {
  // The whole request is in: nothing past it is read, and nothing waits.
  const std::size_t n = std::min(size, request_length_ - taken_);
  std::memcpy(ptr, received_.data() + taken_, n);
  taken_ += n;
  return static_cast<ssize_t>(n);
}

ssize_t Connection::write(const char* ptr, size_t size) {
  const auto until = Clock::now() + write_wait_;
  std::size_t done = 0;
  while (done < size) {
    short wait = POLLOUT;
    if (ssl_ == nullptr) {
      const ssize_t n = send(fd_, ptr + done, size - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
    } else {
      const int chunk = static_cast<int>(std::min<std::size_t>(size - done, 1 << 30));
      const int n = SSL_write(ssl_, ptr + done, chunk);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      const int e = SSL_get_error(ssl_, n);
      ERR_clear_error();
      if (e == SSL_ERROR_WANT_READ) {
        wait = POLLIN;
      } else if (e != SSL_ERROR_WANT_WRITE) {
        return -1;
      }
    }
    if (!WaitFor(wait, until)) return -1;
  }
  return static_cast<ssize_t>(size);
}

bool Connection::WaitFor(short events, Clock::time_point until) const {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, events, 0};
    const int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r > 0) return (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0 || (p.revents & events);
    if (r < 0 && errno != EINTR) return false;
  }
}

void Connection::get_remote_ip_and_port(std::string& ip, int& port) const {
  ip = peer_ip_;
  port = peer_port_;
}

void Connection::get_local_ip_and_port(std::string& ip, int& port) const {
  ip = local_ip_;
  port = local_port_;
}

}  // namespace rd::service
