#include "EventStream.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "WeightJson.h"

namespace rd::service {
namespace {

constexpr auto kKeepAliveComment = std::chrono::seconds(15);
constexpr auto kGoneCheck = std::chrono::seconds(1);

// The id is the snapshot's version: a client that reconnects with
// Last-Event-ID gets the current reading at once all the same.
std::string Event(const ScaleEntry& scale, const Snapshot& s) {
  return "event: weight\nid: " + std::to_string(s.version) +
         "\ndata: " + WeightJson(scale, s).dump() + "\n\n";
}

}  // namespace

bool EventStream::Next(EventSink& sink) {
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
      if (sink.PeerGone()) return false;
      if (clock::now() < comment_due_) return true;
      comment_due_ = clock::now() + kKeepAliveComment;
      static constexpr char kComment[] = ": keep-alive\n\n";
      return sink.Write(std::string_view(kComment, sizeof kComment - 1));
    }
  }
  version_ = snapshot.version;
  comment_due_ = clock::now() + kKeepAliveComment;
  text += Event(monitor_.Entry(), snapshot);
  return sink.Write(text);
}

}  // namespace rd::service
