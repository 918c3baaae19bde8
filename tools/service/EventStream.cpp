#include "EventStream.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "WeightJson.h"

namespace rd::service {
namespace {

constexpr auto kKeepAliveComment = std::chrono::seconds(15);
constexpr auto kGoneCheck = std::chrono::seconds(1);

// True when the client closed its end of `fd` (or the connection broke).
bool PeerGone(int fd) {
  if (fd < 0) return false;
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// The id is the snapshot's version: a client that reconnects with
// Last-Event-ID gets the current reading at once all the same.
std::string Event(const ScaleEntry& scale, const Snapshot& s) {
  return "event: weight\nid: " + std::to_string(s.version) +
         "\ndata: " + WeightJson(scale, s).dump() + "\n\n";
}

}  // namespace

int ConnectionSocket(const httplib::Request& req) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  auto describe = [](const sockaddr_storage& a, int& port) {
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
    return std::string(text);
  };
  int found = -1;
  while (const dirent* entry = readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == dirfd(dir)) continue;
    sockaddr_storage peer{};
    sockaddr_storage local{};
    socklen_t peer_size = sizeof peer;
    socklen_t local_size = sizeof local;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size) != 0) {
      continue;
    }
    int peer_port = -1;
    int local_port = -1;
    if (describe(peer, peer_port) == req.remote_addr && peer_port == req.remote_port &&
        describe(local, local_port) == req.local_addr && local_port == req.local_port) {
      found = fd;
      break;
    }
  }
  closedir(dir);
  return found;
}

bool EventStream::Next(httplib::DataSink& sink) {
  using clock = std::chrono::steady_clock;
  Snapshot snapshot;
  std::string text;
  if (first_) {
    first_ = false;
    snapshot = monitor_.Latest();
    text = "retry: 2000\n\n";  // a browser's wait before it reconnects
  } else {
    const auto until = std::min(comment_due_, clock::now() + kGoneCheck);
    if (!monitor_.WaitNewer(version_, until, snapshot)) return false;
    if (snapshot.version == version_) {
      if (PeerGone(socket_)) return false;
      if (clock::now() < comment_due_) return true;
      comment_due_ = clock::now() + kKeepAliveComment;
      static constexpr char kComment[] = ": keep-alive\n\n";
      return sink.write(kComment, sizeof kComment - 1);
    }
  }
  version_ = snapshot.version;
  comment_due_ = clock::now() + kKeepAliveComment;
  text += Event(monitor_.Entry(), snapshot);
  return sink.write(text.data(), text.size());
}

}  // namespace rd::service
