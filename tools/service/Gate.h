// The gate in front of the HTTP threads. One thread waits on every client
// connection at once and receives each request whole (head and body)
// before an HTTP thread sees it, so that clients that send slowly or not at
// all hold no thread:
//
//   - a connection has `idle` to begin a request and `request` to finish it
//     (head and body); after that it gets 408 and is closed;
//   - at most `per_address` connections from one client address and `total`
//     in all; a new connection over a limit takes the place of the oldest
//     one still waiting for its request (from the same address first), and
//     is refused (503) only when every one is being answered;
//   - answers are written with at most `write_wait` per write.
//
// The HTTP threads (`workers`) answer one request each and hand the
// connection back for the next one (keep-alive, at most `keep_alive_max`
// requests).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Connection.h"
#include "Options.h"

namespace rd::service {

struct GateLimits : ConnectionLimits {
  std::size_t head_max = 16 * 1024;
  std::size_t body_max = 64 * 1024;
  std::size_t workers = 96;
  std::size_t keep_alive_max = 1000;
};

class Gate {
 public:
  // Answers one request; `last` asks it to close the connection after the
  // answer; `closed` tells that the client asked for that. False on a
  // failure that ends the connection.
  using Answer = std::function<bool(Connection& connection, bool last, bool& closed)>;

  Gate(GateLimits limits, Answer answer, SSL_CTX* tls);
  ~Gate();
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  void Start();
  // Takes an accepted socket (any thread).
  void Admit(int fd);
  // Closes every waiting connection; the requests being answered end
  // within their write waits.
  void Stop();

 private:
  void Run();
  void Work();
  void Place(std::unique_ptr<Connection> connection);
  bool MakeRoom(const std::string& address);
  void Examine(std::unique_ptr<Connection>& connection);
  void Close(std::unique_ptr<Connection> connection);
  void Back(std::unique_ptr<Connection> connection, bool keep);
  void Wake() const;

  const GateLimits limits_;
  const Answer answer_;
  SSL_CTX* const tls_;
  int wake_ = -1;  // eventfd

  std::mutex mutex_;
  std::condition_variable work_ready_;
  bool stopping_ = false;
  bool gate_done_ = false;
  std::vector<int> admitted_;
  std::vector<std::pair<std::unique_ptr<Connection>, bool>> returned_;
  std::deque<std::unique_ptr<Connection>> work_;

  // The gate thread's own: the connections it waits on (oldest first) and
  // the count of live connections per address.
  std::vector<std::unique_ptr<Connection>> held_;
  std::map<std::string, std::size_t> per_address_;
  std::size_t live_ = 0;

  std::thread gate_;
  std::vector<std::thread> workers_;
};

}  // namespace rd::service
