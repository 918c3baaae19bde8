// ScaleMonitor: one scale of the service. It owns the scale's ScaleLink and
// one poller thread, the only thread that reads the scale: it opens the link,
// reads weight and tare at the poll rate (and at once when a reader asks),
// publishes each change as a snapshot, and after a loss or an unexpected
// fault reopens the link with exponential back-off. Readers (HTTP requests,
// event streams) take the latest snapshot, wait for a newer one, or ask for a
// fresh reading that every reader waiting at that moment shares; commands
// take the link for their own exchange.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "CommandBody.h"
#include "Options.h"
#include "Sync.h"
#include "raroredoziri/ScaleLink.h"

namespace rd::service {

// kError: something unexpected happened on the scale's thread (a fault such
// as "Range check error" or a socket error); the message says what.
enum class LinkState { kConnecting, kConnected, kDisconnected, kError };
const char* StateName(LinkState state);

// What one complete weight reading gave.
struct Reading {
  std::int32_t weight = 0;
  std::optional<std::int32_t> tare;  // empty when the tare could not be read
  std::int32_t division = 0;
  bool stable = false;
  std::chrono::system_clock::time_point time{};
};

struct Snapshot {
  LinkState state = LinkState::kConnecting;
  std::int32_t result = kResultNoConnection;     // of the last weight reading (or open)
  std::optional<Reading> reading;                // empty unless result is 0
  std::optional<Reading> last_good;              // the last reading with result 0
  std::string error;                             // with kError: what happened
  std::chrono::system_clock::time_point time{};  // of the reading or failure
  std::uint64_t version = 0;                     // grows with every published change
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
  // The longest a fresh reading is waited for: one exchange budget and a
  // margin (a TCP reply is waited for 4 s at most).
  std::chrono::milliseconds reading_wait{5000};
};

class ScaleMonitor {
 public:
  ScaleMonitor(ScaleEntry entry, MonitorTiming timing, LogLine log);
  ~ScaleMonitor();
  ScaleMonitor(const ScaleMonitor&) = delete;
  ScaleMonitor& operator=(const ScaleMonitor&) = delete;

  void Start();
  // Wakes every waiter (WaitNewer returns false from now on) and tells the
  // poller to end once its current exchange is over; Join waits for that.
  // Stopping several monitors: signal them all, then join them all.
  void SignalStop();
  void Join();
  void Stop() {
    SignalStop();
    Join();
  }

  const std::string& Name() const { return entry_.name; }
  const ScaleEntry& Entry() const { return entry_; }
  const std::string& Connection() const { return entry_.connection; }

  Snapshot Latest() const;
  // Waits until a snapshot newer than `version` is published or `until`
  // passes; false when the monitor stops. `out` is the latest snapshot.
  bool WaitNewer(std::uint64_t version, std::chrono::steady_clock::time_point until,
                 Snapshot& out) const;

  // A reading taken after the call began, shared with every reader waiting
  // at the same time. A scale that is not connected answers at once with
  // its latest failure; a reading in progress that fails answers every
  // waiter with that failure; after reading_wait the answer is result 2.
  Snapshot ReadNow();
  // Checks the puts, then (when connected) makes them and runs the command.
  CommandOutcome Run(const MemberInfo& command, const PropertyPuts& puts);
  // What the next command of each kind would send: the properties not named
  // in a body keep what this service last sent to the scale, for every
  // client. An object of command names and CommandValues.
  nlohmann::ordered_json Settings();
  // `on_change` runs on the poller thread after every change a reader would
  // see (as WaitNewer); set before Start.
  void Watch(std::function<void()> on_change) { on_change_ = std::move(on_change); }

 private:
  void Poll();
  // One pass of the poller: opens, or reads; false to end.
  bool Cycle(Snapshot& next, std::chrono::milliseconds& reopen_wait, int& failures);
  // Records a completed reading (or failure) and publishes it when it
  // differs from the latest in what a reader sees.
  void Publish(Snapshot next, std::uint64_t served = 0);
  // Waits until `until` or Stop (or, with `on_demand`, a reader's request);
  // false on Stop.
  bool Sleep(std::chrono::steady_clock::time_point until, bool on_demand = false);
  // Sleeps the back-off and doubles it; false on Stop.
  bool Back(std::chrono::milliseconds& reopen_wait);
  void SetState(Snapshot& next, LinkState state, const std::string& why);
  std::uint64_t Asked() const;
  bool Connected() const;

  const ScaleEntry entry_;
  const std::u16string connection_;
  const MonitorTiming timing_;
  LogLine log_;
  ScaleLink link_;

  mutable Mutex mutex_;
  mutable Condition changed_;  // a new version (event streams)
  Condition fresh_;            // a reading asked for or completed
  bool stopping_ = false;
  Snapshot latest_;
  std::uint64_t asked_ = 0;     // readings asked for by readers
  std::uint64_t served_ = 0;    // asked_ when the last completed reading began
  std::uint64_t finished_ = 0;  // completed readings and failures
  std::thread poller_;
  std::function<void()> on_change_;
};

// "2026-12-09T17:20:00.123Z"
std::string FormatTime(std::chrono::system_clock::time_point time);

}  // namespace rd::service
