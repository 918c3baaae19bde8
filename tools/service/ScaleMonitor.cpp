#include "ScaleMonitor.h"

#include <algorithm>
#include <ctime>
#include <exception>

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
    case LinkState::kError:
      return "error";
  }
  return "disconnected";
}

std::string FormatTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{floor<milliseconds>(time - day)};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(clock.hours().count()),
                int(clock.minutes().count()), int(clock.seconds().count()),
                int(clock.subseconds().count()));
  return text;
}

ScaleMonitor::ScaleMonitor(ScaleEntry entry, MonitorTiming timing, LogLine log)
    : entry_(std::move(entry)),
      connection_(cli::Utf8ToUtf16(entry_.connection)),
      timing_(timing),
      log_(std::move(log)) {}

ScaleMonitor::~ScaleMonitor() { Stop(); }

void ScaleMonitor::Start() {
  if (poller_.joinable()) return;
  poller_ = std::thread([this] {
    try {
      Poll();
    } catch (...) {
      // Poll keeps every fault of the scale to itself; nothing ends the process.
    }
  });
}

void ScaleMonitor::SignalStop() {
  {
    std::lock_guard<Mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  fresh_.notify_all();
}

void ScaleMonitor::Join() {
  if (poller_.joinable()) poller_.join();
}

Snapshot ScaleMonitor::Latest() const {
  std::lock_guard<Mutex> lock(mutex_);
  return latest_;
}

bool ScaleMonitor::WaitNewer(std::uint64_t version, std::chrono::steady_clock::time_point until,
                             Snapshot& out) const {
  std::unique_lock<Mutex> lock(mutex_);
  changed_.wait_until(lock, until, [&] { return stopping_ || latest_.version != version; });
  out = latest_;
  return !stopping_;
}

bool ScaleMonitor::Connected() const {
  std::lock_guard<Mutex> lock(mutex_);
  return latest_.state == LinkState::kConnected;
}

std::uint64_t ScaleMonitor::Asked() const {
  std::lock_guard<Mutex> lock(mutex_);
  return asked_;
}

Snapshot ScaleMonitor::ReadNow() {
  std::unique_lock<Mutex> lock(mutex_);
  if (stopping_ || latest_.state != LinkState::kConnected) return latest_;
  const std::uint64_t mine = ++asked_;
  const std::uint64_t before = finished_;
  fresh_.notify_all();  // wakes the poller
  const bool answered =
      fresh_.wait_until(lock, std::chrono::steady_clock::now() + timing_.reading_wait, [&] {
        return stopping_ || served_ >= mine || latest_.state != LinkState::kConnected ||
               (finished_ != before && latest_.result != kResultDone);
      });
  Snapshot out = latest_;
  if (!answered) {
    out.result = kResultNoReply;
    out.reading.reset();
    out.time = std::chrono::system_clock::now();
  }
  return out;
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

namespace {

bool SameReading(const std::optional<Reading>& a, const std::optional<Reading>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->weight == b->weight && a->tare == b->tare && a->division == b->division &&
                a->stable == b->stable);
}

}  // namespace

void ScaleMonitor::Publish(Snapshot next, std::uint64_t served) {
  bool changed = false;
  {
    std::lock_guard<Mutex> lock(mutex_);
    const Snapshot& last = latest_;
    changed = last.version == 0 || next.state != last.state || next.result != last.result ||
              next.error != last.error || !SameReading(next.reading, last.reading);
    next.version = last.version + (changed ? 1 : 0);
    latest_ = std::move(next);
    ++finished_;
    served_ = std::max(served_, served);
  }
  fresh_.notify_all();
  if (changed) changed_.notify_all();
  if (changed && on_change_) on_change_();
}

bool ScaleMonitor::Sleep(std::chrono::steady_clock::time_point until, bool on_demand) {
  std::unique_lock<Mutex> lock(mutex_);
  fresh_.wait_until(lock, until, [&] { return stopping_ || (on_demand && asked_ > served_); });
  return !stopping_;
}

bool ScaleMonitor::Back(std::chrono::milliseconds& reopen_wait) {
  const bool go = Sleep(std::chrono::steady_clock::now() + reopen_wait);
  reopen_wait = std::min(reopen_wait * 2, timing_.reopen_max);
  return go;
}

void ScaleMonitor::SetState(Snapshot& next, LinkState state, const std::string& why) {
  if (next.state == state) return;
  next.state = state;
  if (log_)
    log_("scale " + entry_.name + " (" + entry_.connection + "): " + StateName(state) + why);
}

bool ScaleMonitor::Cycle(Snapshot& next, std::chrono::milliseconds& reopen_wait, int& failures) {
  using clock = std::chrono::steady_clock;
  if (next.state != LinkState::kConnected) {
    if (next.state != LinkState::kConnecting && log_) {
      log_("scale " + entry_.name + " (" + entry_.connection + "): reopening");
    }
    const std::int32_t opened = link_.Open(connection_);
    next.time = std::chrono::system_clock::now();
    next.reading.reset();
    if (opened == kResultDone) {
      SetState(next, LinkState::kConnected, "");
      next.error.clear();
      failures = 0;
      reopen_wait = timing_.reopen_first;
      return true;  // the first reading at once
    }
    link_.Close();
    next.result = opened;
    SetState(next, LinkState::kDisconnected, std::string(" (open: ") + ResultMeaning(opened) + ")");
    next.error.clear();
    Publish(next);
    return Back(reopen_wait);
  }

  const std::uint64_t serving = Asked();
  const auto cycle = clock::now();
  const ScaleLink::Weighing weighing = link_.ReadWeight();
  next.time = std::chrono::system_clock::now();
  next.result = weighing.result;
  next.reading.reset();
  if (weighing.result == kResultDone) {
    failures = 0;
    Reading reading{weighing.weight, std::nullopt, weighing.division, weighing.stable, next.time};
    const ScaleLink::TareReading tare = link_.ReadTare();
    if (tare.result == kResultDone) reading.tare = tare.tare;
    next.reading = reading;
    next.last_good = reading;
  } else if (weighing.result == kResultNoConnection || weighing.result == kResultNoReply) {
    // No connection at all is lost at once; missing replies after a few.
    ++failures;
    if (weighing.result == kResultNoConnection || failures >= timing_.lost_after) {
      link_.Close();
      SetState(next, LinkState::kDisconnected,
               std::string(" (") + ResultMeaning(weighing.result) + ")");
      Publish(next, serving);
      return Back(reopen_wait);
    }
  }
  Publish(next, serving);
  return Sleep(cycle + timing_.period, /*on_demand=*/true);
}

void ScaleMonitor::Poll() {
  Snapshot next;
  next.time = std::chrono::system_clock::now();
  Publish(next);
  if (log_) log_("scale " + entry_.name + " (" + entry_.connection + "): connecting");
  auto reopen_wait = timing_.reopen_first;
  int failures = 0;
  // Whatever one exchange raises stays on this scale: it is shown as the
  // scale's error and the link is reopened after the back-off.
  for (bool go = true; go;) {
    std::string fault;
    try {
      go = Cycle(next, reopen_wait, failures);
      continue;
    } catch (const std::exception& e) {
      fault = e.what();
    } catch (...) {
      fault = "unknown failure";
    }
    try {
      link_.Close();
      next.time = std::chrono::system_clock::now();
      next.result = kResultNoConnection;
      next.reading.reset();
      if (next.state != LinkState::kError || next.error != fault) {
        next.state = LinkState::kConnecting;  // logs the error again when it changes
        SetState(next, LinkState::kError, " (" + fault + ")");
      }
      next.error = fault;
      Publish(next);
      go = Back(reopen_wait);
    } catch (...) {
      go = Sleep(std::chrono::steady_clock::now() + timing_.reopen_max);
    }
  }
  try {
    link_.Close();
  } catch (...) {
  }
}

}  // namespace rd::service
