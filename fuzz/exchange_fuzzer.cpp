// The whole query and command path: a Scale object runs a sequence of
// methods (OpenConnection, CloseConnection, ReadWeight, ReadTare and the
// fourteen commands) over a scripted serial port and socket that answer with
// arbitrary bytes in arbitrary pieces at arbitrary times.
//
// After every call: the status is success unless a socket error escaped a
// send; the result code is one the method may give; the weight, tare,
// division and stability fields change only on success, and then hold
// exactly what the reply carried; a command sent exactly the frame of its
// body; no call outlasts its time budget.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "FakeTransport.h"
#include "object/ConnectionString.h"
#include "protocol/Replies.h"
#include "raroredoziri/ErrorInfo.h"
#include "raroredoziri/Frame.h"
#include "raroredoziri/Members.h"
#include "raroredoziri/Transport.h"
#include "transport/Channels.h"

namespace {

using rd::Bytes;
using rd::fuzz::World;

struct Fields {
  std::int32_t weight, tare, division;
  std::uint8_t stable;
  friend bool operator==(const Fields&, const Fields&) = default;
};
Fields Of(const rd::TScale& s) { return {s.Weight, s.Tare, s.Division, s.Stable}; }

constexpr std::array<std::string_view, 18> kMethods{
    "OpenConnection", "CloseConnection", "ReadWeight",      "ReadTare",       "SetGoods",
    "SetTare",        "SetLabelFormat",  "SetLabelFormatZ", "SetTape",        "SetUnderwinder",
    "SetMode",        "SetOperator",     "SetText",         "SetGoodsButton", "SetLock",
    "SetOptions",     "SetFindGoods",    "SetScreen"};

bool Allowed(std::size_t method, std::int32_t code) {
  switch (method) {
    case 0:
      return code == 0 || code == 1 || code == 2;
    case 1:
      return code == 0 || code == 1;
    case 2:
      return code == 0 || code == 1 || code == 2;
    case 3:
      return code == 0 || code == 1 || code == 2 || code == 4;
    default:
      return code == 0 || code == 1 || code == 2 || code == 4 || code == 5;
  }
}

std::int32_t Le32(const Bytes& r, std::size_t at) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(r[at]) | static_cast<std::uint32_t>(r[at + 1]) << 8 |
      static_cast<std::uint32_t>(r[at + 2]) << 16 | static_cast<std::uint32_t>(r[at + 3]) << 24);
}

// Everything the fakes delivered from index `from` on: serial read chunks or
// waited-for TCP pieces.
Bytes Delivered(const std::vector<rd::fuzz::FakeRead>& reads, std::size_t from) {
  Bytes all;
  for (std::size_t i = from; i < reads.size(); ++i) {
    all.insert(all.end(), reads[i].data.begin(), reads[i].data.end());
  }
  return all;
}

std::u16string PickConnection(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
    case 1:
      return u"127.0.0.1";
    case 2:
    case 3:
      return u"COM3";
    case 4:
      return u"C";
    case 5:
      return u"com3";
    case 6:
      return u"";
    default: {
      std::u16string text;
      const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 12);
      for (std::size_t i = 0; i < n; ++i) text.push_back(in.ConsumeIntegral<char16_t>());
      return text;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  rd::fuzz::Install(in, in.ConsumeIntegral<std::uint32_t>());
  rd::TScale scale;
  scale.Connection = PickConnection(in);
  scale.Goods = u"Milk";
  scale.Tare = in.ConsumeIntegral<std::int32_t>();
  scale.Operation = in.ConsumeIntegral<std::int32_t>();
  scale.Lock3 = in.ConsumeIntegralInRange<std::uint8_t>(0, 127);

  for (int step = 0; step < 12 && in.remaining_bytes() > 0; ++step) {
    const auto op = in.ConsumeIntegralInRange<std::size_t>(0, kMethods.size() + 1);
    if (op == kMethods.size()) {
      scale.Connection = PickConnection(in);
      continue;
    }
    if (op == kMethods.size() + 1) {
      constexpr std::array<std::string_view, 4> kKinds{"", "2", "New", "new"};
      scale.ProtocolKind = kKinds[in.ConsumeIntegralInRange<std::size_t>(0, 3)];
      continue;
    }

    const rd::Channel channel = rd::ChannelOf(scale.Connection);
    const Fields before = Of(scale);
    const std::string kind_before = scale.ProtocolKind;
    const std::uint32_t start = World().now;
    const std::size_t serial_from = World().serial_reads.size();
    const std::size_t tcp_from = World().tcp_receives.size();
    const std::size_t written_from = World().serial_written.size();
    const std::size_t sent_from = World().tcp_sent.size();
    const std::size_t short_from = World().serial_short_writes;

    rd::MemberValue value;
    const rd::MemberInfo* member =
        rd::FindMember(rd::DispidOfName(kMethods[op]), rd::MemberKind::Method);
    const std::int32_t status = rd::InvokeMember(scale, *member, value);
    const auto elapsed = static_cast<std::uint32_t>(World().now - start);

    if (status != rd::kStatusOk) {
      // Only a socket error while sending, or a serial port number out of
      // range, may escape, and the error information says which.
      const auto error = rd::TakeErrorInfo();
      RD_FUZZ_CHECK(error.has_value());
      if (channel == rd::Channel::Tcp) {
        RD_FUZZ_CHECK(op != 1 && error->description.rfind(u"Socket error", 0) == 0);
      } else {
        RD_FUZZ_CHECK(channel == rd::Channel::Serial && op == 0 &&
                      error->description == u"Range check error");
      }
      RD_FUZZ_CHECK(Of(scale) == before);
      continue;
    }
    const std::int32_t code = std::get<std::int32_t>(value);
    RD_FUZZ_CHECK(Allowed(op, code));
    // Serial: at most two receives of 3000 ms plus one read past the budget;
    // TCP: the 4000 ms first wait plus what is left of the 2000 ms budget.
    // Each exchange may add waiting for the line to go quiet, before the
    // request and after a reply of the wrong length, and on the serial line,
    // after an unanswered request, the wait for silence behind a reply (with
    // one more read).
    constexpr std::uint32_t kSettle = rd::transport::kSettleLimitMs + rd::transport::kSettleQuietMs;
    constexpr std::uint32_t kConfirm = rd::transport::kSettleQuietMs + 1100;
    RD_FUZZ_CHECK(elapsed <= 2 * (3000 + 1100 + kConfirm + 2 * kSettle));
    if (op != 0) RD_FUZZ_CHECK(scale.ProtocolKind == kind_before);
    if (channel == rd::Channel::None) {
      RD_FUZZ_CHECK(code == 1);
      RD_FUZZ_CHECK(World().serial_written.size() == written_from &&
                    World().tcp_sent.size() == sent_from);
    }

    // A query or command whose request did not go out whole waits for
    // nothing and answers 2.
    if (op >= 2 && channel == rd::Channel::Serial && World().serial_short_writes != short_from) {
      RD_FUZZ_CHECK(code == 2 && World().serial_reads.size() == serial_from);
    }

    const bool legacy = channel == rd::Channel::Serial && scale.ProtocolKind == "2";
    const Bytes serial_reply = Delivered(World().serial_reads, serial_from);
    // Receives before the request went out only waited out stale input.
    const Bytes tcp_reply =
        Delivered(World().tcp_receives, std::max(tcp_from, World().tcp_receives_at_send));
    const Bytes& reply = channel == rd::Channel::Serial ? serial_reply : tcp_reply;

    if (op == 2 && code == 0) {  // ReadWeight
      if (legacy) {
        RD_FUZZ_CHECK(reply.size() == 5);
        rd::TScale expect;
        rd::ParseLegacyWeightReply(expect, reply);
        RD_FUZZ_CHECK(scale.Weight == expect.Weight && scale.Division == expect.Division &&
                      scale.Stable == expect.Stable);
      } else {
        RD_FUZZ_CHECK(reply.size() == 14);
        RD_FUZZ_CHECK(scale.Weight == Le32(reply, 6) && scale.Division == reply[10] &&
                      scale.Stable == (reply[11] ? 1 : 0));
      }
      RD_FUZZ_CHECK(scale.Tare == before.tare);
    } else if (op == 3 && code == 0) {  // ReadTare
      RD_FUZZ_CHECK(reply.size() == 13);
      RD_FUZZ_CHECK(scale.Tare == Le32(reply, 6) && scale.Division == reply[10]);
      RD_FUZZ_CHECK(scale.Weight == before.weight && scale.Stable == before.stable);
    } else if (op == 3 && code == 4) {
      RD_FUZZ_CHECK(legacy && scale.Tare == 0 && scale.Division == 0);
      RD_FUZZ_CHECK(World().serial_written.size() == written_from);
    } else {
      RD_FUZZ_CHECK(Of(scale) == before);
    }

    if (op >= 4 && (code == 0 || code == 5)) {
      // The reply was an 8-byte acknowledgement, refused exactly when its
      // sixth byte is NAK, and the request was the command's own frame.
      RD_FUZZ_CHECK(reply.size() == 8 && (reply[5] == 0x15) == (code == 5));
      const auto code_byte = static_cast<std::uint8_t>(0xA2 + (op - 4));
      const Bytes frame = rd::BuildFrame(scale.CommandBody(code_byte));
      const Bytes& out = channel == rd::Channel::Serial ? World().serial_written : World().tcp_sent;
      const std::size_t from = channel == rd::Channel::Serial ? written_from : sent_from;
      RD_FUZZ_CHECK(out.size() - from == frame.size());
      RD_FUZZ_CHECK(
          std::equal(frame.begin(), frame.end(), out.begin() + static_cast<std::ptrdiff_t>(from)));
    }
    if (op >= 4 && code == 4) {
      RD_FUZZ_CHECK(legacy && World().serial_written.size() == written_from);
    }
  }
  rd::fuzz::ResetChannels();
  return 0;
}
