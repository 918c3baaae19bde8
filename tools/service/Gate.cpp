#include "Gate.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "RequestFrame.h"

namespace rd::service {

Gate::Gate(GateLimits limits, Answer answer, SSL_CTX* tls)
    : limits_(limits), answer_(std::move(answer)), tls_(tls) {
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Gate::~Gate() {
  Stop();
  if (wake_ >= 0) close(wake_);
}

void Gate::Start() {
  gate_ = std::thread([this] { Run(); });
  for (std::size_t i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { Work(); });
}

void Gate::Admit(int fd) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_) {
      admitted_.push_back(fd);
      fd = -1;
    }
  }
  if (fd >= 0) close(fd);
  Wake();
}

void Gate::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ && !gate_.joinable()) return;
    stopping_ = true;
  }
  work_ready_.notify_all();
  Wake();
  if (gate_.joinable()) gate_.join();
  for (auto& worker : workers_) worker.join();
  workers_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const int fd : admitted_) close(fd);
  admitted_.clear();
  returned_.clear();
  work_.clear();
}

void Gate::Wake() const {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
}

void Gate::Run() {
  std::vector<pollfd> fds;
  for (;;) {
    std::vector<int> admitted;
    std::vector<std::pair<std::unique_ptr<Connection>, bool>> returned;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      admitted.swap(admitted_);
      returned.swap(returned_);
    }
    for (auto& [connection, keep] : returned) {
      if (!keep) {
        Close(std::move(connection));
        continue;
      }
      connection->request_started = false;
      connection->continue_sent = false;
      connection->deadline = Clock::now() + limits_.idle;
      held_.push_back(std::move(connection));
      Examine(held_.back());  // a request may be in already
    }
    for (const int fd : admitted) {
      Place(std::make_unique<Connection>(fd, tls_, limits_.write_wait));
    }
    held_.erase(std::remove(held_.begin(), held_.end(), nullptr), held_.end());

    fds.assign(1, pollfd{wake_, POLLIN, 0});
    auto next = Clock::now() + std::chrono::seconds(60);
    for (const auto& c : held_) {
      fds.push_back({c->socket(), static_cast<short>(POLLIN), 0});
      next = std::min(next, c->deadline);
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
    const int ready =
        poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait.count()) + 1));
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = read(wake_, &count, sizeof count);
    }
    const auto now = Clock::now();
    for (std::size_t i = 0; i < held_.size(); ++i) {
      auto& c = held_[i];
      if (ready > 0 && fds[i + 1].revents != 0) {
        const Connection::Progress progress = c->Receive();
        if (progress == Connection::Progress::kClosed) {
          Close(std::move(c));
          continue;
        }
        if (!c->lingering) Examine(c);
        if (c == nullptr) continue;
      }
      if (now >= c->deadline) {
        if (!c->lingering && c->request_started) {
          c->AnswerAndShut(ErrorAnswer(408, "the request took too long to arrive"));
        }
        Close(std::move(c));
      }
    }
    held_.erase(std::remove(held_.begin(), held_.end(), nullptr), held_.end());
  }
  // Stopping: the waiting connections close; those being answered close
  // when their HTTP thread hands them back.
  std::lock_guard<std::mutex> lock(mutex_);
  gate_done_ = true;
  held_.clear();
}

void Gate::Place(std::unique_ptr<Connection> connection) {
  const std::string address = connection->PeerAddress();
  if (!MakeRoom(address)) {
    connection->AnswerAndShut(ErrorAnswer(503, "too many connections"));
    return;  // closed here: never counted
  }
  ++per_address_[address];
  ++live_;
  connection->deadline = Clock::now() + limits_.idle;
  held_.push_back(std::move(connection));
}

// Frees a place for a new connection from `address` when a limit is
// reached, by closing the oldest waiting connection: one of `address`'s
// own for its limit, else one of the address that holds the most.
bool Gate::MakeRoom(const std::string& address) {
  auto evict_from = [this](const std::string& from) {
    for (auto& c : held_) {
      if (c != nullptr && c->PeerAddress() == from) {
        Close(std::move(c));
        return true;
      }
    }
    return false;
  };
  const auto it = per_address_.find(address);
  if (it != per_address_.end() && it->second >= limits_.per_address && !evict_from(address)) {
    return false;
  }
  if (live_ < limits_.total) return true;
  std::vector<std::pair<std::size_t, std::string>> biggest;
  for (const auto& [from, count] : per_address_) biggest.emplace_back(count, from);
  std::sort(biggest.rbegin(), biggest.rend());
  for (const auto& entry : biggest) {
    if (evict_from(entry.second)) return true;
  }
  return false;
}

void Gate::Examine(std::unique_ptr<Connection>& c) {
  const std::string& received = c->Received();
  if (!received.empty() && !c->request_started) {
    c->request_started = true;
    c->deadline = Clock::now() + limits_.request;
  }
  const RequestFrame frame = FrameRequest(received, limits_.head_max, limits_.body_max);
  switch (frame.kind) {
    case RequestFrame::Kind::kIncomplete:
      if (frame.expects_continue && frame.head_complete && !c->continue_sent) {
        c->continue_sent = true;
        if (!c->Secure()) {
          static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
          c->write(kContinue, sizeof kContinue - 1);
        }
      }
      return;
    case RequestFrame::Kind::kRefused:
      c->AnswerAndShut(ErrorAnswer(frame.status, frame.error));
      c->deadline = Clock::now() + std::chrono::seconds(2);  // reads what is left, then closes
      return;
    case RequestFrame::Kind::kComplete:
      c->BeginRequest(frame.length);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        work_.push_back(std::move(c));
      }
      work_ready_.notify_one();
      return;
  }
}

void Gate::Close(std::unique_ptr<Connection> connection) {
  const auto it = per_address_.find(connection->PeerAddress());
  if (it != per_address_.end() && --it->second == 0) per_address_.erase(it);
  --live_;
}

void Gate::Back(std::unique_ptr<Connection> connection, bool keep) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (gate_done_) return;  // closed here
    returned_.emplace_back(std::move(connection), keep);
  }
  Wake();
}

void Gate::Work() {
  for (;;) {
    std::unique_ptr<Connection> c;
    bool last = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_ready_.wait(lock, [this] { return stopping_ || !work_.empty(); });
      if (stopping_) return;
      c = std::move(work_.front());
      work_.pop_front();
    }
    last = c->served + 1 >= limits_.keep_alive_max;
    bool closed = false;
    bool ok = false;
    try {
      ok = answer_(*c, last, closed);
    } catch (...) {
      ok = false;
    }
    c->EndRequest();
    ++c->served;
    Back(std::move(c), ok && !closed && !last);
  }
}

}  // namespace rd::service
