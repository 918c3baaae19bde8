#include "ScaleMonitor.h"

#include <algorithm>
#include <ctime>

#include "Utf8.h"
#include "raroredoziri/ErrorInfo.h"

namespace rd::service {

const char* StateName(LinkState state) {
  switch (state) {
    case LinkState::kConnecting:
      return "connecting";
    case LinkState::kConnected:
      return "connected";
    case LinkState::kDisconnected:
      return "disconnected";
  }
  return "disconnected";
}

std::string FormatTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms % 1000));
  return text;
}

ScaleMonitor::ScaleMonitor(ScaleEntry entry, MonitorTiming timing, LogLine log)
    : entry_(std::move(entry)),
      connection_(cli::Utf8ToUtf16(entry_.connection)),
      timing_(timing),
      log_(std::move(log)) {}

ScaleMonitor::~ScaleMonitor() { Stop(); }

void ScaleMonitor::Start() {
  if (!poller_.joinable()) poller_ = std::thread([this] { Poll(); });
}

void ScaleMonitor::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (poller_.joinable()) poller_.join();
}

Snapshot ScaleMonitor::Latest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return latest_;
}

bool ScaleMonitor::WaitNewer(std::uint64_t version, std::chrono::steady_clock::time_point until,
                             Snapshot& out) const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_until(lock, until, [&] { return stopping_ || latest_.version != version; });
  out = latest_;
  return !stopping_;
}

bool ScaleMonitor::Connected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return latest_.state == LinkState::kConnected;
}

Snapshot ScaleMonitor::ReadNow() {
  Snapshot reading = Latest();
  reading.time = std::chrono::system_clock::now();
  if (reading.state != LinkState::kConnected) {
    reading.result = kResultNoConnection;
    return reading;
  }
  const ScaleLink::Weighing weighing = link_.ReadWeight();
  reading.time = std::chrono::system_clock::now();
  reading.result = weighing.result;
  if (weighing.result != kResultDone) return reading;
  reading.weight = weighing.weight;
  reading.division = weighing.division;
  reading.stable = weighing.stable;
  const ScaleLink::TareReading tare = link_.ReadTare();
  if (tare.result == kResultDone) reading.tare = tare.tare;
  return reading;
}

CommandOutcome ScaleMonitor::Run(const MemberInfo& command, const PropertyPuts& puts) {
  CommandOutcome done;
  // Checked on a scratch object first, so that a refused put leaves the
  // link's object as it was.
  TScale scratch;
  done.outcome = ApplyPuts(scratch, puts);
  if (!done.outcome.Ok() || !Connected()) return done;
  link_.Use([&](TScale& scale) {
    done.outcome = ApplyPuts(scale, puts);
    if (!done.outcome.Ok()) return;
    MemberValue value;
    if (InvokeMember(scale, command, value) != kStatusOk) {
      const auto error = TakeErrorInfo();
      done.outcome = Outcome{400, error ? cli::Utf16ToUtf8(error->description) : "failed", {}};
      return;
    }
    done.result = std::get<std::int32_t>(value);
    done.sent = CommandValues(scale, command);
  });
  return done;
}

nlohmann::ordered_json ScaleMonitor::Settings() {
  return link_.Use([](TScale& scale) {
    nlohmann::ordered_json all = nlohmann::ordered_json::object();
    for (const MemberInfo& member : MemberTable()) {
      if (member.kind == MemberKind::Method && FindCommand(member.name) == &member) {
        all[std::string(member.name)] = CommandValues(scale, member);
      }
    }
    return all;
  });
}

void ScaleMonitor::Publish(Snapshot next) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const Snapshot& last = latest_;
    const bool same = next.state == last.state && next.result == last.result &&
                      next.weight == last.weight && next.tare == last.tare &&
                      next.division == last.division && next.stable == last.stable &&
                      last.version != 0;
    if (same) return;
    next.version = last.version + 1;
    latest_ = next;
  }
  changed_.notify_all();
}

bool ScaleMonitor::Sleep(std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !changed_.wait_until(lock, until, [this] { return stopping_; });
}

void ScaleMonitor::SetState(Snapshot& next, LinkState state, const std::string& why) {
  if (next.state == state) return;
  next.state = state;
  if (log_)
    log_("scale " + entry_.name + " (" + entry_.connection + "): " + StateName(state) + why);
}

void ScaleMonitor::Poll() {
  using clock = std::chrono::steady_clock;
  Snapshot next;
  next.time = std::chrono::system_clock::now();
  Publish(next);
  if (log_) log_("scale " + entry_.name + " (" + entry_.connection + "): connecting");
  auto reopen_wait = timing_.reopen_first;
  int attempts = 0;
  int failures = 0;
  while (true) {
    if (next.state != LinkState::kConnected) {
      if (next.state == LinkState::kDisconnected && log_) {
        log_("scale " + entry_.name + " (" + entry_.connection + "): reopening (attempt " +
             std::to_string(attempts + 1) + ")");
      }
      const std::int32_t opened = link_.Open(connection_);
      ++attempts;
      next.time = std::chrono::system_clock::now();
      if (opened == kResultDone) {
        SetState(next, LinkState::kConnected, "");
        attempts = 0;
        failures = 0;
        reopen_wait = timing_.reopen_first;
        continue;  // the first reading at once
      }
      link_.Close();
      next.result = opened;
      SetState(next, LinkState::kDisconnected,
               std::string(" (open: ") + ResultMeaning(opened) + ")");
      Publish(next);
      if (!Sleep(clock::now() + reopen_wait)) break;
      reopen_wait = std::min(reopen_wait * 2, timing_.reopen_max);
      continue;
    }

    const auto cycle = clock::now();
    const ScaleLink::Weighing weighing = link_.ReadWeight();
    next.time = std::chrono::system_clock::now();
    next.result = weighing.result;
    if (weighing.result == kResultDone) {
      failures = 0;
      next.weight = weighing.weight;
      next.division = weighing.division;
      next.stable = weighing.stable;
      const ScaleLink::TareReading tare = link_.ReadTare();
      if (tare.result == kResultDone) next.tare = tare.tare;
    } else if (weighing.result == kResultNoConnection || weighing.result == kResultNoReply) {
      // No connection at all is lost at once; missing replies after a few.
      ++failures;
      if (weighing.result == kResultNoConnection || failures >= timing_.lost_after) {
        link_.Close();
        SetState(next, LinkState::kDisconnected,
                 std::string(" (") + ResultMeaning(weighing.result) + ")");
        Publish(next);
        if (!Sleep(clock::now() + reopen_wait)) break;
        reopen_wait = std::min(reopen_wait * 2, timing_.reopen_max);
        continue;
      }
    }
    Publish(next);
    if (!Sleep(cycle + timing_.period)) break;
  }
  link_.Close();
}

}  // namespace rd::service
