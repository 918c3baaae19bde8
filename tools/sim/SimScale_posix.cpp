// The simulated scale's server on Linux: a poll loop over a stop eventfd,
// the TCP listener, the current TCP client and the pseudo-terminal master.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "SimScale.h"
#include "raroredoziri/Fault.h"
#include "raroredoziri/Transport.h"

namespace rd::sim {
namespace {

using Clock = std::chrono::steady_clock;

// A pause on the line after which an unfinished frame is given up.
constexpr auto kResyncPause = std::chrono::milliseconds(500);
constexpr std::size_t kReadSize = 4096;
// How long the server waits, once it is to end, for the driver to read the
// last reply from the pty, and how often it looks.
constexpr auto kDrainLimit = std::chrono::milliseconds(1000);
constexpr auto kDrainPoll = std::chrono::milliseconds(10);
constexpr auto kDrainSettle = std::chrono::milliseconds(50);

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

[[noreturn]] void RaiseErrno(const std::string& what) {
  throw Fault(what + ": " + std::strerror(errno));
}

void SignalEvent(int fd) {
  const std::uint64_t one = 1;
  ssize_t written;
  do {
    written = ::write(fd, &one, sizeof one);
  } while (written < 0 && errno == EINTR);
}

std::uint32_t BaudOf(speed_t speed) {
  static constexpr std::array<std::pair<speed_t, std::uint32_t>, 15> kSpeeds{{
      {B300, 300},
      {B600, 600},
      {B1200, 1200},
      {B2400, 2400},
      {B4800, 4800},
      {B9600, 9600},
      {B19200, 19200},
      {B38400, 38400},
      {B57600, 57600},
      {B115200, 115200},
      {B230400, 230400},
      {B460800, 460800},
      {B500000, 500000},
      {B921600, 921600},
      {B1000000, 1000000},
  }};
  for (const auto& [code, baud] : kSpeeds) {
    if (code == speed) return baud;
  }
  return 0;
}

struct Pending {
  Clock::time_point at;
  Bytes data;
  bool close = false;       // close the link when this entry is reached
  std::size_t request = 0;  // index of the recorded request this output answers
};

// One conversation: the TCP client or the pseudo-terminal.
struct Link {
  const char* kind = "";
  UniqueFd fd;  // the client socket or the pty master
  SimParser parser;
  std::deque<Pending> queue;  // sorted by time
  std::vector<SimChunk> held;
  bool has_held = false;
  std::size_t held_request = 0;
  std::uint32_t requests = 0;
  Clock::time_point last_input{};
  Clock::time_point line_free{};    // pacing: when the next byte may go
  Clock::time_point last_output{};  // when a byte last went out
  bool blocked = false;             // the last write met a full buffer
  // The request whose reply is partly out: the line is its until its last
  // piece went, so that two replies never mix byte by byte (a scale sends
  // one frame at a time; a later reply may still overtake a delayed one).
  std::optional<std::size_t> owner;

  bool Open() const { return fd.Valid(); }
  void Forget() {
    parser.Reset();
    queue.clear();
    held.clear();
    has_held = false;
    requests = 0;
    blocked = false;
    owner.reset();
  }
  // The entry to write next: the next piece of the reply that holds the
  // line, else the earliest.
  std::deque<Pending>::iterator Next() { return NextIn(queue, owner); }
  std::deque<Pending>::const_iterator Next() const { return NextIn(queue, owner); }
  template <class Queue>
  static auto NextIn(Queue& queue, const std::optional<std::size_t>& owner)
      -> decltype(queue.begin()) {
    if (owner) {
      for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (!it->close && it->request == *owner) return it;
      }
    }
    return queue.begin();
  }
  // After an entry of `request` went out in full: the line stays its while
  // more of its reply waits.
  void Release(std::size_t request) {
    owner.reset();
    for (const Pending& p : queue) {
      if (!p.close && p.request == request) owner = request;
    }
  }
  void Enqueue(Pending entry) {
    auto pos = std::upper_bound(queue.begin(), queue.end(), entry.at,
                                [](Clock::time_point at, const Pending& p) { return at < p.at; });
    queue.insert(pos, std::move(entry));
  }
};

}  // namespace

std::string FormatRequestLine(const SimRequest& request) {
  std::string line = "request " + HexBytes(request.request.raw) + " | " + request.description;
  if (!request.note.empty()) line += " [" + request.note + "]";
  if (!request.cut.empty()) line += " [" + request.cut + "]";
  return line;
}

struct SimScale::Impl {
  Impl(SimConfig config, SimLog log_sink) : device(std::move(config)), log(std::move(log_sink)) {}

  // ---- set by Start, read-only while the thread runs ----
  SimDevice device;  // used by the server thread only while it runs
  SimLog log;
  UniqueFd stop_fd;
  UniqueFd done_fd;
  UniqueFd listen_fd;
  UniqueFd pty_slave;
  std::string tcp_endpoint;
  std::string pty_path;
  std::string pty_link;
  std::thread thread;

  // ---- server thread only ----
  Link client;
  Link pty;
  std::uint64_t total_requests = 0;
  std::optional<Clock::time_point> drain_deadline;

  // ---- shared ----
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  // The latest requests; requests[0] has the index first_request.
  std::deque<SimRequest> requests;
  std::size_t first_request = 0;
  // When output went out (at the latest), and for which request; in time
  // order. writes[0] is entry number first_write.
  std::deque<std::pair<Clock::time_point, std::size_t>> writes;
  std::size_t first_write = 0;
  bool done = false;

  void Log(const std::string& line) const {
    if (log) log(line);
  }

  void OpenTcp(const std::string& address) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kTcpPort);
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
      throw Fault("Not an IPv4 address: " + address);
    }
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) RaiseErrno("socket");
    const int on = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      RaiseErrno("bind " + address + ":" + std::to_string(kTcpPort));
    }
    if (::listen(fd.Get(), 4) != 0) RaiseErrno("listen");
    listen_fd = std::move(fd);
    tcp_endpoint = address + ":" + std::to_string(kTcpPort);
  }

  void OpenPty(const std::string& link_path) {
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) RaiseErrno("openpty");
    UniqueFd master_fd(master);
    UniqueFd slave_fd(slave);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    // Raw from the start: no echo of the scale's own replies back to it.
    termios tio{};
    if (::tcgetattr(slave, &tio) != 0) RaiseErrno("tcgetattr");
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B57600);
    ::cfsetospeed(&tio, B57600);
    if (::tcsetattr(slave, TCSANOW, &tio) != 0) RaiseErrno("tcsetattr");
    const int flags = ::fcntl(master, F_GETFL);
    if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) RaiseErrno("fcntl");
    const char* name = ::ttyname(slave);
    if (name == nullptr) RaiseErrno("ttyname");
    std::string path = name;

    if (!link_path.empty()) {
      struct stat st {};
      if (::lstat(link_path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) throw Fault("Not a symbolic link, left alone: " + link_path);
        ::unlink(link_path.c_str());
      }
      if (::symlink(path.c_str(), link_path.c_str()) != 0) RaiseErrno("symlink " + link_path);
      pty_link = link_path;
    }
    pty.kind = "pty";
    pty.fd = std::move(master_fd);
    pty_slave = std::move(slave_fd);
    pty_path = std::move(path);
  }

  void RemoveLink() {
    if (pty_link.empty()) return;
    std::array<char, 4096> target{};
    const ssize_t n = ::readlink(pty_link.c_str(), target.data(), target.size() - 1);
    if (n >= 0 && std::string(target.data(), static_cast<std::size_t>(n)) == pty_path) {
      ::unlink(pty_link.c_str());
    }
    pty_link.clear();
  }

  std::uint32_t LineBaud(const Link& link) const {
    if (&link != &pty) return 0;
    termios tio{};
    if (::tcgetattr(pty.fd.Get(), &tio) != 0) return 0;
    return BaudOf(::cfgetospeed(&tio));
  }

  Clock::duration ByteTime(const Link& link) const {
    const std::uint32_t baud = LineBaud(link);
    if (!device.Config().pace || baud == 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL) /
                                                       baud);
  }

  void CloseLink(Link& link, const char* why) {
    link.Forget();
    if (&link == &client) {
      link.fd.Reset();
      Log(std::string("client gone (") + why + ")");
    } else {
      Log(std::string("pty line dropped (") + why + ")");
    }
  }

  // Returns the request's index.
  std::size_t Record(SimRequest request) {
    const std::string line = FormatRequestLine(request);
    std::size_t index;
    {
      std::lock_guard lock(mutex);
      index = first_request + requests.size();
      requests.push_back(std::move(request));
      const std::size_t keep = std::max<std::size_t>(1, device.Config().history);
      while (requests.size() > keep) {
        requests.pop_front();
        ++first_request;
      }
    }
    changed.notify_all();
    Log(line);
    return index;
  }

  void HandleRequests(Link& link, const std::vector<ParsedRequest>& parsed, Clock::time_point now) {
    for (const ParsedRequest& request : parsed) {
      ++total_requests;
      ++link.requests;
      const SimAction action = device.Handle(request, link.requests, LineBaud(link));
      SimRequest record;
      record.link = link.kind;
      record.request = request;
      record.description = DescribeRequest(request);
      record.note = action.note;
      record.cut = action.cut;
      for (const SimChunk& chunk : action.output) {
        record.answer.insert(record.answer.end(), chunk.data.begin(), chunk.data.end());
      }
      const std::size_t index = Record(std::move(record));

      if (link.has_held) {
        for (const SimChunk& chunk : link.held) {
          link.Enqueue(Pending{now, chunk.data, false, link.held_request});
        }
        link.held.clear();
        link.has_held = false;
      }
      if (action.hold) {
        link.held = action.output;
        link.has_held = true;
        link.held_request = index;
      } else {
        for (const SimChunk& chunk : action.output) {
          link.Enqueue(
              Pending{now + std::chrono::milliseconds(chunk.at_ms), chunk.data, false, index});
        }
      }
      if (action.close) {
        const std::uint32_t last =
            action.output.empty() || action.hold ? 0 : action.output.back().at_ms;
        link.Enqueue(Pending{now + std::chrono::milliseconds(last), {}, true});
      }
    }
  }

  // Returns the entry's number, for WroteAt.
  std::size_t LogWrite(std::size_t request) {
    std::lock_guard lock(mutex);
    // Entries of forgotten requests go, and at most 32 per kept request stay
    // (a paced line writes byte by byte). Only the newest entry can still
    // wait for its time.
    const std::size_t keep = 32 * std::max<std::size_t>(1, device.Config().history);
    while (!writes.empty() && (writes.front().second < first_request || writes.size() >= keep)) {
      writes.pop_front();
      ++first_write;
    }
    writes.emplace_back(Clock::time_point::max(), request);
    return first_write + writes.size() - 1;
  }

  // Writes what is due; returns false when the link has been closed.
  bool Flush(Link& link, Clock::time_point now) {
    const Clock::duration byte_time = ByteTime(link);
    link.blocked = false;
    while (!link.queue.empty()) {
      const auto next = link.Next();
      Pending& front = *next;
      if (front.at > now) break;
      if (front.close) {
        CloseLink(link, "closed by the scale");
        return false;
      }
      if (front.data.empty()) {
        link.queue.erase(next);
        continue;
      }
      if (byte_time != Clock::duration::zero() && link.line_free > now) break;
      const std::size_t count = byte_time != Clock::duration::zero() ? 1 : front.data.size();
      // The write is logged before it happens, as "now or later", so that a
      // reader never sees the bytes before the log entry; its time is
      // filled in right after.
      const std::size_t entry = LogWrite(front.request);
      ssize_t written;
      if (&link == &client) {
        written = ::send(link.fd.Get(), front.data.data(), count, MSG_NOSIGNAL);
      } else {
        written = ::write(link.fd.Get(), front.data.data(), count);
      }
      {
        std::lock_guard lock(mutex);
        writes[entry - first_write].first = Clock::now();
      }
      changed.notify_all();
      if (written < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          link.blocked = true;
          break;
        }
        CloseLink(link, std::strerror(errno));
        if (&link == &pty) pty.fd.Reset();
        return false;
      }
      front.data.erase(front.data.begin(), front.data.begin() + written);
      link.last_output = now;
      if (byte_time != Clock::duration::zero()) link.line_free = now + byte_time * written;
      link.owner = front.request;
      if (front.data.empty()) {
        const std::size_t request = front.request;
        link.queue.erase(next);
        link.Release(request);
      }
    }
    return true;
  }

  // Reads what arrived; returns false when the link has been closed.
  bool Read(Link& link, Clock::time_point now) {
    std::array<std::uint8_t, kReadSize> buffer{};
    const ssize_t got = ::read(link.fd.Get(), buffer.data(), buffer.size());
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (got <= 0) {
      CloseLink(link, got == 0 ? "end of stream" : std::strerror(errno));
      if (&link == &pty) pty.fd.Reset();
      return false;
    }
    link.last_input = now;
    std::vector<ParsedRequest> parsed;
    link.parser.Feed(buffer.data(), static_cast<std::size_t>(got), parsed);
    HandleRequests(link, parsed, now);
    return true;
  }

  void Accept() {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    UniqueFd fd(::accept4(listen_fd.Get(), reinterpret_cast<sockaddr*>(&peer), &size,
                          SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.Valid()) return;  // the client gave up already, or a transient error
    const int on = 1;
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::array<char, INET_ADDRSTRLEN> text{};
    ::inet_ntop(AF_INET, &peer.sin_addr, text.data(), text.size());
    client.Forget();
    client.kind = "tcp";
    client.fd = std::move(fd);
    Log("client " + std::string(text.data()) + ":" + std::to_string(ntohs(peer.sin_port)) +
        " connected");
  }

  // The earliest moment at which the loop has something to do for a link.
  std::optional<Clock::time_point> NextWake(const Link& link) const {
    std::optional<Clock::time_point> wake;
    auto consider = [&wake](Clock::time_point t) {
      if (!wake || t < *wake) wake = t;
    };
    if (!link.Open()) return wake;
    if (!link.queue.empty() && !link.blocked) {
      consider(std::max(link.Next()->at, link.line_free));
    }
    if (link.parser.Pending() > 0) consider(link.last_input + kResyncPause);
    return wake;
  }

  // The slave's input queue is empty. Bytes written to the master reach that
  // queue a moment later, so a check right after a write proves nothing.
  bool PtyDrained(Clock::time_point now) const {
    int waiting = 0;
    if (!pty.Open() || ::ioctl(pty_slave.Get(), FIONREAD, &waiting) != 0) return true;
    return waiting == 0 && now - pty.last_output >= kDrainSettle;
  }

  bool AllSent() const {
    return (!client.Open() || client.queue.empty()) && (!pty.Open() || pty.queue.empty());
  }

  void Serve() {
    for (;;) {
      Clock::time_point now = Clock::now();
      for (Link* link : {&client, &pty}) {
        if (!link->Open()) continue;
        if (link->parser.Pending() > 0 && now - link->last_input >= kResyncPause) {
          std::vector<ParsedRequest> parsed;
          link->parser.Resync(parsed);
          link->last_input = now;
          HandleRequests(*link, parsed, now);
        }
        Flush(*link, now);
      }
      // With max_requests reached, end once the replies are out; on the pty
      // also once the driver has read them, since closing the master would
      // discard what still waits in the slave's input queue.
      std::optional<Clock::time_point> drain_wake;
      const std::uint32_t max = device.Config().max_requests;
      if (max > 0 && total_requests >= max && AllSent()) {
        if (PtyDrained(now)) return;
        if (!drain_deadline) drain_deadline = now + kDrainLimit;
        if (now >= *drain_deadline) return;
        drain_wake = std::min(now + kDrainPoll, *drain_deadline);
      }

      std::array<pollfd, 4> fds{};
      std::size_t count = 0;
      fds[count++] = pollfd{stop_fd.Get(), POLLIN, 0};
      const std::size_t listen_index = count;
      if (listen_fd.Valid() && !client.Open()) fds[count++] = pollfd{listen_fd.Get(), POLLIN, 0};
      const std::size_t client_index = count;
      if (client.Open()) {
        fds[count++] =
            pollfd{client.fd.Get(), static_cast<short>(POLLIN | (client.blocked ? POLLOUT : 0)), 0};
      }
      const std::size_t pty_index = count;
      if (pty.Open()) {
        fds[count++] =
            pollfd{pty.fd.Get(), static_cast<short>(POLLIN | (pty.blocked ? POLLOUT : 0)), 0};
      }

      std::optional<Clock::time_point> wake = drain_wake;
      for (const Link* link : {&client, &pty}) {
        const auto t = NextWake(*link);
        if (t && (!wake || *t < *wake)) wake = t;
      }
      timespec timeout{};
      timespec* timeout_ptr = nullptr;
      if (wake) {
        const auto left = std::max(Clock::duration::zero(), *wake - now);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        timeout_ptr = &timeout;
      }
      const int ready = ::ppoll(fds.data(), count, timeout_ptr, nullptr);
      if (ready < 0) {
        if (errno == EINTR) continue;
        RaiseErrno("ppoll");
      }
      if (fds[0].revents != 0) return;  // Stop()
      now = Clock::now();
      if (listen_index < count && fds[listen_index].fd == listen_fd.Get() &&
          fds[listen_index].revents != 0) {
        Accept();
      }
      if (client_index < count && fds[client_index].fd == client.fd.Get() &&
          (fds[client_index].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        Read(client, now);
      }
      if (pty_index < count && pty.Open() && fds[pty_index].fd == pty.fd.Get() &&
          (fds[pty_index].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        Read(pty, now);
      }
    }
  }

  void Run() {
    try {
      Serve();
    } catch (const std::exception& e) {
      Log(std::string("error: ") + e.what());
    }
    {
      std::lock_guard lock(mutex);
      done = true;
    }
    changed.notify_all();
    SignalEvent(done_fd.Get());
  }
};

SimScale::SimScale(SimConfig config, SimLog log)
    : impl_(std::make_unique<Impl>(std::move(config), std::move(log))) {}

SimScale::~SimScale() { Stop(); }

void SimScale::Start(const SimEndpoints& endpoints) {
  Impl& s = *impl_;
  if (s.thread.joinable() || s.stop_fd.Valid()) throw Fault("The simulated scale runs already");
  if (endpoints.tcp_address.empty() && !endpoints.pty) throw Fault("Nothing to serve");
  try {
    s.stop_fd = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    s.done_fd = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!s.stop_fd.Valid() || !s.done_fd.Valid()) RaiseErrno("eventfd");
    if (!endpoints.tcp_address.empty()) s.OpenTcp(endpoints.tcp_address);
    if (endpoints.pty) s.OpenPty(endpoints.pty_link);
    s.thread = std::thread([&s] { s.Run(); });
  } catch (...) {
    s.RemoveLink();
    s.listen_fd.Reset();
    s.pty.fd.Reset();
    s.pty_slave.Reset();
    s.stop_fd.Reset();
    s.done_fd.Reset();
    throw;
  }
}

void SimScale::Stop() {
  Impl& s = *impl_;
  if (s.thread.joinable()) {
    SignalEvent(s.stop_fd.Get());
    s.thread.join();
  }
  s.RemoveLink();
  s.client.fd.Reset();
  s.client.Forget();
  s.pty.fd.Reset();
  s.pty.Forget();
  s.pty_slave.Reset();
  s.listen_fd.Reset();
}

std::string SimScale::TcpEndpoint() const { return impl_->tcp_endpoint; }

std::string SimScale::PtyPath() const { return impl_->pty_path; }

std::vector<SimRequest> SimScale::Requests() const {
  std::lock_guard lock(impl_->mutex);
  return std::vector<SimRequest>(impl_->requests.begin(), impl_->requests.end());
}

std::vector<SimRequest> SimScale::RequestsSince(std::size_t first) const {
  std::lock_guard lock(impl_->mutex);
  const auto& kept = impl_->requests;
  const std::size_t from = first > impl_->first_request ? first - impl_->first_request : 0;
  if (from >= kept.size()) return {};
  return std::vector<SimRequest>(kept.begin() + static_cast<std::ptrdiff_t>(from), kept.end());
}

std::vector<std::size_t> SimScale::AnsweredSince(
    std::chrono::steady_clock::time_point since) const {
  std::lock_guard lock(impl_->mutex);
  const auto& writes = impl_->writes;
  auto it =
      std::lower_bound(writes.begin(), writes.end(), since,
                       [](const auto& write, Clock::time_point t) { return write.first < t; });
  std::vector<std::size_t> indices;
  for (; it != writes.end(); ++it) {
    if (it->second < impl_->first_request) continue;  // forgotten
    if (std::find(indices.begin(), indices.end(), it->second) == indices.end()) {
      indices.push_back(it->second);
    }
  }
  return indices;
}

bool SimScale::WaitWhileWriting(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] {
    return impl_->writes.empty() || impl_->writes.back().first != Clock::time_point::max();
  });
}

std::size_t SimScale::RequestCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->first_request + impl_->requests.size();
}

bool SimScale::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(
      lock, timeout, [&] { return impl_->first_request + impl_->requests.size() >= count; });
}

bool SimScale::Done() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->done;
}

int SimScale::DoneFd() const { return impl_->done_fd.Get(); }

}  // namespace rd::sim
