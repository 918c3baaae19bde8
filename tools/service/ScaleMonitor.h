// ScaleMonitor: one scale of the service. It owns the scale's ScaleLink and
// one poller thread that opens the link, reads weight and tare at the poll
// rate, publishes each change as a snapshot, and after a loss reopens the
// link with exponential back-off. Readers (HTTP requests, event streams)
// take the latest snapshot or wait for a newer one; they never poll the
// scale themselves, except a direct reading (ReadNow) and commands, which
// take the link for one exchange.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "CommandBody.h"
#include "Options.h"
#include "raroredoziri/ScaleLink.h"

namespace rd::service {

enum class LinkState { kConnecting, kConnected, kDisconnected };
const char* StateName(LinkState state);

struct Snapshot {
  LinkState state = LinkState::kConnecting;
  std::int32_t result = kResultNoConnection;  // of the last weight reading
  std::int32_t weight = 0;
  std::int32_t tare = 0;
  std::int32_t division = 0;
  bool stable = false;
  std::chrono::system_clock::time_point time{};
  std::uint64_t version = 0;  // grows with every published change
};

struct CommandOutcome {
  Outcome outcome;  // 400 for a refused put or body
  std::int32_t result = kResultNoConnection;
  // Every value the command sent (its properties as the scale's object held
  // them); null when nothing was sent.
  nlohmann::ordered_json sent;
};

using LogLine = std::function<void(const std::string& line)>;

struct MonitorTiming {
  std::chrono::milliseconds period{200};
  std::chrono::milliseconds reopen_first{500};
  std::chrono::milliseconds reopen_max{10000};
  int lost_after = 2;
};

class ScaleMonitor {
 public:
  ScaleMonitor(ScaleEntry entry, MonitorTiming timing, LogLine log);
  ~ScaleMonitor();
  ScaleMonitor(const ScaleMonitor&) = delete;
  ScaleMonitor& operator=(const ScaleMonitor&) = delete;

  void Start();
  // Wakes every waiter (WaitNewer returns false from now on); then ends the
  // poller once its current exchange is over.
  void Stop();

  const std::string& Name() const { return entry_.name; }
  const std::string& Connection() const { return entry_.connection; }

  Snapshot Latest() const;
  // Waits until a snapshot newer than `version` is published or `until`
  // passes; false when the monitor stops. `out` is the latest snapshot.
  bool WaitNewer(std::uint64_t version, std::chrono::steady_clock::time_point until,
                 Snapshot& out) const;

  // Reads weight and tare now (when connected; else the latest snapshot
  // with result 1).
  Snapshot ReadNow();
  // Checks the puts, then (when connected) makes them and runs the command.
  CommandOutcome Run(const MemberInfo& command, const PropertyPuts& puts);
  // What the next command of each kind would send: the properties not named
  // in a body keep what this service last sent to the scale, for every
  // client. An object of command names and CommandValues.
  nlohmann::ordered_json Settings();

 private:
  void Poll();
  bool Connected() const;
  // Publishes `next` when it differs from the latest in what a reader sees.
  void Publish(Snapshot next);
  // Waits until `until` or Stop; false on Stop.
  bool Sleep(std::chrono::steady_clock::time_point until);
  void SetState(Snapshot& next, LinkState state, const std::string& why);

  const ScaleEntry entry_;
  const std::u16string connection_;
  const MonitorTiming timing_;
  LogLine log_;
  ScaleLink link_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  Snapshot latest_;
  std::thread poller_;
};

// "2026-12-09T17:20:00.123Z"
std::string FormatTime(std::chrono::system_clock::time_point time);

}  // namespace rd::service
