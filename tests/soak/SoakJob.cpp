#include "SoakJob.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "raroredoziri/ErrorInfo.h"
#include "raroredoziri/Frame.h"
#include "raroredoziri/Members.h"
#include "raroredoziri/Transport.h"

namespace rd::soak {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kFramedPort = 5;
constexpr std::uint16_t kLegacyPort = 6;
constexpr std::uint16_t kMissingPort = 9;

std::u16string Wide(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

Fields FieldsOf(const TScale& s) { return {s.Weight, s.Tare, s.Division, s.Stable}; }

std::int32_t Invoke(TScale& scale, std::string_view name, MemberKind kind, MemberValue& value) {
  const MemberInfo* member = FindMember(DispidOfName(name), kind);
  return InvokeMember(scale, *member, value);
}

class Job {
 public:
  explicit Job(const JobConfig& config)
      : config_(config),
        random_(config.seed * 7919u + config.index),
        framed_(FramedScale()),
        legacy_(LegacyScale()) {
    const std::string address = "127." + std::to_string(config.net) + "." +
                                std::to_string(config.index / 250) + "." +
                                std::to_string(config.index % 250 + 1);
    sim::SimEndpoints both;
    both.tcp_address = address;
    both.pty = true;
    framed_.Start(both);
    legacy_.Start(sim::SimEndpoints::Pty());
    SetSerialDevice(kFramedPort, framed_.PtyPath());
    SetSerialDevice(kLegacyPort, legacy_.PtyPath());
    SetSerialDevice(kMissingPort, "/nonexistent/raroredoziri-soak-tty");
    objects_[0].Connection = Wide(address);
    objects_[1].Connection = u"COM5";
    objects_[2].Connection = u"COM6";
  }

  ~Job() {
    TcpDisconnect();
    ComClose();
    for (std::uint16_t port : {kFramedPort, kLegacyPort, kMissingPort}) SetSerialDevice(port, {});
  }

  Tally Run() {
    const auto start = Clock::now();
    std::uint64_t calls = 0;
    while (calls < config_.max_calls &&
           std::chrono::duration<double>(Clock::now() - start).count() < config_.max_seconds) {
      Step();
      ++calls;
    }
    return checker_.Totals();
  }

 private:
  sim::SimConfig FramedScale() const {
    sim::SimConfig c;
    c.weight = 1'000'000;
    c.weight_step = 7;  // every weight reply differs from every earlier one
    c.division = 3;
    c.tare = 250;
    c.chaos_seed = config_.seed * 1'000'003u + 2u * config_.index;
    c.chaos_percent = config_.chaos_percent;
    if (config_.segment) c.segment_seed = *c.chaos_seed ^ 0x5E6;
    return c;
  }

  sim::SimConfig LegacyScale() const {
    sim::SimConfig c = FramedScale();
    c.variant = sim::SimVariant::kLegacy;
    c.weight = 1000;
    c.weight_step = 3;
    c.division = 1;
    c.chaos_seed = *c.chaos_seed + 1;
    if (c.segment_seed) c.segment_seed = *c.segment_seed + 1;
    return c;
  }

  std::uint32_t Roll(std::uint32_t below) {
    return std::uniform_int_distribution<std::uint32_t>(0, below - 1)(random_);
  }

  std::u16string RandomText() {
    static constexpr char16_t kUnits[] = u"AZaz09 .,-\u00E9\u00FC\u0416\u044F\u20AC\u4E2D";
    std::u16string text;
    const std::uint32_t length = Roll(30);
    for (std::uint32_t i = 0; i < length; ++i) text.push_back(kUnits[Roll(sizeof kUnits / 2 - 1)]);
    return text;
  }

  // Puts a few random property values, as a host would before a command.
  void PutProperties(TScale& scale) {
    static constexpr std::string_view kTexts[] = {"Goods",       "Operator",     "RegistratorStore",
                                                  "Agent",       "GoodsButton1", "GoodsButton5",
                                                  "LabelFormat", "LabelFormatZ", "Text"};
    static constexpr std::string_view kBytes[] = {
        "Tape", "Underwinder", "Screen", "FindGoods", "Lock1", "Lock10", "OptionPacking"};
    for (std::uint32_t n = Roll(4); n > 0; --n) {
      MemberValue value;
      std::string_view name;
      switch (Roll(3)) {
        case 0:
          name = kTexts[Roll(std::size(kTexts))];
          value = RandomText();
          break;
        case 1:
          name = kBytes[Roll(std::size(kBytes))];
          value = static_cast<std::int8_t>(Roll(128));
          break;
        default:
          name = Roll(2) ? "Tare" : "Operation";
          value = static_cast<std::int32_t>(random_());
          break;
      }
      Invoke(scale, name, MemberKind::Put, value);
    }
  }

  std::size_t PickMethod() {
    const std::uint32_t r = Roll(100);
    if (r < 4) return kOpen;
    if (r < 6) return kClose;
    if (r < 46) return kReadWeight;
    if (r < 60) return kReadTare;
    return kFirstCommand + Roll(14);
  }

  void Step() {
    std::size_t who;
    std::size_t method;
    const std::uint32_t r = Roll(1000);
    if (r < 30) {
      OddCall();
      return;
    }
    if (r < 520) {
      who = 0;
    } else if (r < 550 || serial_owner_ == 0) {
      who = serial_owner_ == 1 ? 2 : 1;  // the serial port changes hands
      need_open_[who] = true;
    } else if (r < 560) {
      who = serial_owner_ == 1 ? 2 : 1;  // the other serial object, port not reopened
      need_open_[who] = false;
    } else {
      who = serial_owner_;
    }
    method = need_open_[who] ? kOpen : PickMethod();
    const Link link = who == 0 ? Link::kTcp : who == 1 ? Link::kFramedSerial : Link::kLegacySerial;
    const std::int32_t code = Perform(objects_[who], method, link);

    if (who == 0) {
      if (code == 1 || (method == kClose && code == 0)) need_open_[0] = true;
      if (method == kOpen && code != 1) need_open_[0] = false;
      return;
    }
    if (method == kOpen) {
      serial_owner_ = code == 1 ? 0 : who;
      need_open_[1] = need_open_[2] = true;
      need_open_[who] = code != 0;
    } else if (method == kClose && code == 0) {
      serial_owner_ = 0;
      need_open_[1] = need_open_[2] = true;
    }
  }

  // A call with a connection string that names no usable link.
  void OddCall() {
    static constexpr std::u16string_view kOdd[] = {u"",     u"com5", u"Xyz",        u"C",
                                                   u"COM9", u"COM",  u" 127.0.0.1", u"COMX"};
    TScale& scale = objects_[Roll(3)];
    const std::u16string saved = scale.Connection;
    scale.Connection = std::u16string(kOdd[Roll(std::size(kOdd))]);
    const std::size_t method = Roll(2) ? PickMethod() : Roll(2);
    Perform(scale, method, Link::kNone);
    if ((method == kOpen || method == kClose) && !scale.Connection.empty() &&
        scale.Connection[0] == u'C') {
      serial_owner_ = 0;  // the port may have been closed
      need_open_[1] = need_open_[2] = true;
    }
    scale.Connection = saved;
  }

  std::int32_t Perform(TScale& scale, std::size_t method, Link link) {
    Call call;
    call.method = method;
    call.link = link;
    if (method >= kFirstCommand) {
      if (Roll(2)) PutProperties(scale);
      call.command_frame =
          BuildFrame(scale.CommandBody(static_cast<std::uint8_t>(0xA2 + (method - kFirstCommand))));
    }
    const std::size_t framed_from = framed_.RequestCount();
    const std::size_t legacy_from = legacy_.RequestCount();
    // Output written before the exchange began is dropped with the stale
    // input (a socket's receive queue, a pseudo-terminal's input buffers)
    // before the request goes out. A write still under way would count as
    // met: let it finish first.
    framed_.WaitWhileWriting(std::chrono::milliseconds(100));
    legacy_.WaitWhileWriting(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    call.before = FieldsOf(scale);
    MemberValue value;
    call.status = Invoke(scale, kMethods[method], MemberKind::Method, value);
    call.after = FieldsOf(scale);
    if (call.status == kStatusOk) {
      call.code = std::get<std::int32_t>(value);
    } else if (const auto error = TakeErrorInfo()) {
      call.error = error->description;
    }
    WaitForOwnRequests(call, framed_from, legacy_from);
    for (auto* scale_sim : {&framed_, &legacy_}) {
      const std::size_t from = scale_sim == &framed_ ? framed_from : legacy_from;
      const auto got = scale_sim->RequestsSince(from);
      call.received.insert(call.received.end(), got.begin(), got.end());
      for (std::size_t index : scale_sim->AnsweredSince(start)) {
        if (index >= from) continue;
        call.overlapped = true;
        const auto earlier = scale_sim->RequestsSince(index);
        if (!earlier.empty()) call.met.push_back(earlier.front());
      }
    }
    const bool ok = checker_.Check(call);
    if (config_.verbose || !ok) {
      std::fprintf(stderr, "job %u: %s%s\n", config_.index, ok ? "" : "BROKEN ",
                   Describe(call).c_str());
    }
    return call.code;
  }

  // A call may end before the scale has even read its request (when bytes
  // of an earlier answer came in first); waits until the requests the call
  // sent are recorded, so that they are not taken for the next call's.
  void WaitForOwnRequests(const Call& call, std::size_t framed_from, std::size_t legacy_from) {
    if (call.status != kStatusOk) return;
    std::size_t expected = 0;
    if (call.method >= kReadWeight && (call.code == 0 || call.code == 2 || call.code == 5)) {
      expected = 1;
    } else if (call.method == kOpen && call.code != 1) {
      expected =
          call.link == Link::kTcp ? 1 : 2;  // serial: "E", then the frame unless "E" was answered
      if (call.link == Link::kLegacySerial && call.code == 0) expected = 1;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (framed_.RequestCount() - framed_from + legacy_.RequestCount() - legacy_from < expected &&
           Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  JobConfig config_;
  std::mt19937_64 random_;
  sim::SimScale framed_;
  sim::SimScale legacy_;
  TScale objects_[3];  // TCP, framed serial, legacy serial
  bool need_open_[3] = {true, true, true};
  std::size_t serial_owner_ = 0;  // 1 or 2: whose OpenConnection opened the port; 0 none
  Checker checker_;
};

}  // namespace

Tally RunJob(const JobConfig& config) {
  Job job(config);
  return job.Run();
}

}  // namespace rd::soak
