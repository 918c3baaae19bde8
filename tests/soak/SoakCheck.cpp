#include "SoakCheck.h"

#include <sstream>

#include "raroredoziri/ErrorInfo.h"
#include "raroredoziri/Frame.h"

namespace rd::soak {
namespace {

std::int32_t Le32(const Bytes& r, std::size_t at) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(r[at]) | static_cast<std::uint32_t>(r[at + 1]) << 8 |
      static_cast<std::uint32_t>(r[at + 2]) << 16 | static_cast<std::uint32_t>(r[at + 3]) << 24);
}

// The weight a scale's answer carries, when it is a weight reply of its
// variant's length.
std::optional<Fields> WeightOf(const sim::SimRequest& r) {
  const Bytes& a = r.answer;
  if (r.request.kind == sim::RequestKind::kFrame && r.request.Code() == 0xA0 && a.size() == 14) {
    return Fields{Le32(a, 6), 0, a[10], static_cast<std::uint8_t>(a[11] != 0)};
  }
  if (r.request.kind == sim::RequestKind::kLegacyWeight && a.size() == 5) {
    Fields f;
    f.stable = (a[0] & 0x80) ? 1 : 0;
    f.division = a[1] == 0 ? 1 : (a[1] == 1 ? 0 : 2);
    std::int32_t w = a[2] | (a[3] << 8) | ((a[4] & 0x7F) << 16);
    if (f.division == 0) w *= 100;
    f.weight = (a[4] & 0x80) ? -w : w;
    return f;
  }
  return std::nullopt;
}

bool IsRequestOf(const sim::SimRequest& r, std::size_t method) {
  if (method == kReadWeight) {
    return r.request.kind == sim::RequestKind::kLegacyWeight ||
           (r.request.kind == sim::RequestKind::kFrame && r.request.Code() == 0xA0);
  }
  if (method == kReadTare)
    return r.request.kind == sim::RequestKind::kFrame && r.request.Code() == 0xA1;
  return r.request.kind == sim::RequestKind::kFrame && r.request.Code() >= 0xA2;
}

}  // namespace

bool AllowedCode(std::size_t method, std::int32_t code) {
  switch (method) {
    case kOpen:
    case kReadWeight:
      return code == 0 || code == 1 || code == 2;
    case kClose:
      return code == 0 || code == 1;
    case kReadTare:
      return code == 0 || code == 1 || code == 2 || code == 4;
    default:
      return code == 0 || code == 1 || code == 2 || code == 4 || code == 5;
  }
}

void Tally::Add(const Tally& o) {
  for (const auto& [key, count] : o.results) results[key] += count;
  calls += o.calls;
  faults += o.faults;
  overlapped += o.overlapped;
  stale_taken += o.stale_taken;
  stale_taken_tcp += o.stale_taken_tcp;
  spliced_taken += o.spliced_taken;
  verified_values += o.verified_values;
  errors += o.errors;
  for (const auto& line : o.error_lines) {
    if (error_lines.size() < 40) error_lines.push_back(line);
  }
}

std::string Describe(const Call& call) {
  std::ostringstream out;
  out << kMethods[call.method] << " status=" << call.status << " code=" << call.code << " weight "
      << call.before.weight << "->" << call.after.weight << " tare " << call.before.tare << "->"
      << call.after.tare;
  for (const auto& r : call.received) {
    out << " | " << r.link << " " << sim::FormatRequestLine(r) << " answer "
        << sim::HexBytes(r.answer);
  }
  if (call.overlapped) out << " | met output for an earlier request";
  for (const auto& r : call.met) {
    out << " | earlier " << r.link << " " << sim::FormatRequestLine(r) << " answer "
        << sim::HexBytes(r.answer);
  }
  return out.str();
}

void Checker::Fail(const Call& call, const std::string& what) {
  ++tally_.errors;
  if (tally_.error_lines.size() < 20) tally_.error_lines.push_back(what + ": " + Describe(call));
}

bool Checker::Check(const Call& call) {
  const std::uint64_t errors_before = tally_.errors;
  ++tally_.calls;
  const std::string name(kMethods[call.method]);

  // Which requests of this call there are, and whether earlier output could
  // have reached the driver inside the exchange.
  const sim::SimRequest* own = nullptr;
  std::size_t own_count = 0;
  const bool overlaps = call.overlapped;
  for (const auto& r : call.received) {
    if (IsRequestOf(r, call.method)) {
      own = &r;
      ++own_count;
    }
  }
  // The values earlier answers carry where a weight or tare reply holds its
  // value (a late weight reply taken for a tare is stale, not spliced).
  const auto remember = [this, &call] {
    for (const auto& r : call.received) {
      if (const auto f = WeightOf(r)) earlier_values_.insert(f->weight);
      if (r.request.kind == sim::RequestKind::kFrame && r.answer.size() >= 10) {
        earlier_values_.insert(Le32(r.answer, 6));
      }
    }
  };

  if (call.status != kStatusOk) {
    ++tally_.faults;
    ++tally_.results[name + "=fault"];
    if (call.link != Link::kTcp || call.error.rfind(u"Socket error", 0) != 0) {
      Fail(call, "failure status other than a socket error over TCP");
    }
    if (call.after != call.before) Fail(call, "fields changed by a failed call");
    remember();
    return tally_.errors == errors_before;
  }
  ++tally_.results[name + "=" + std::to_string(call.code)];
  if (!AllowedCode(call.method, call.code)) Fail(call, "result code not allowed");

  const bool success = call.code == 0;
  const bool legacy_tare = call.method == kReadTare && call.code == 4;
  if (legacy_tare) {
    if (call.after.tare != 0 || call.after.division != 0 ||
        call.after.weight != call.before.weight || call.after.stable != call.before.stable) {
      Fail(call, "legacy ReadTare must set Tare and Division to 0 and nothing else");
    }
  } else if (!(success && (call.method == kReadWeight || call.method == kReadTare)) &&
             call.after != call.before) {
    Fail(call, "fields changed without a successful read");
  }
  if (call.method >= kReadWeight && own_count > 1) Fail(call, "more than one request sent");
  if ((call.code == 1 || call.code == 4) && call.method >= kReadWeight && own_count != 0) {
    Fail(call, "a request went out although the result says nothing was sent");
  }
  if (overlaps) ++tally_.overlapped;
  // Over TCP a late answer dies with the connection it came on: the driver
  // replaces it after every exchange without its reply.
  const auto stale = [this, &call] {
    ++tally_.stale_taken;
    if (call.link != Link::kTcp) return;
    ++tally_.stale_taken_tcp;
    Fail(call, "an earlier request's answer taken over TCP");
  };

  if (success && (call.method == kReadWeight || call.method == kReadTare)) {
    if (own == nullptr) {
      Fail(call, "success without a request reaching the scale");
    } else if (call.method == kReadWeight) {
      const auto sent = WeightOf(*own);
      const bool exact = sent && sent->weight == call.after.weight &&
                         sent->division == call.after.division && sent->stable == call.after.stable;
      if (exact) {
        ++tally_.verified_values;
      } else if (!overlaps) {
        Fail(call, "weight differs from the answer to this request");
      } else if (earlier_values_.count(call.after.weight) != 0) {
        stale();
      } else {
        ++tally_.spliced_taken;
        Fail(call, "weight the scale never sent: bytes of several answers taken as one");
      }
      if (call.after.tare != call.before.tare) Fail(call, "ReadWeight changed Tare");
    } else {
      const Bytes& a = own->answer;
      const bool exact =
          a.size() == 13 && Le32(a, 6) == call.after.tare && a[10] == call.after.division;
      if (exact) {
        ++tally_.verified_values;
      } else if (!overlaps) {
        Fail(call, "tare differs from the answer to this request");
      } else if (earlier_values_.count(call.after.tare) != 0) {
        stale();
      } else {
        ++tally_.spliced_taken;
        Fail(call, "tare the scale never sent: bytes of several answers taken as one");
      }
      if (call.after.weight != call.before.weight || call.after.stable != call.before.stable) {
        Fail(call, "ReadTare changed Weight or Stable");
      }
    }
  }

  // A plain answer of the right length, alone on the line, is never missed.
  if (call.code == 2 && own != nullptr && own->note.empty() && !overlaps) {
    const std::size_t wanted = call.method == kReadTare                               ? 13
                               : call.method >= kFirstCommand                         ? 8
                               : own->request.kind == sim::RequestKind::kLegacyWeight ? 5
                                                                                      : 14;
    if (call.method != kOpen && call.method != kClose && own->answer.size() == wanted) {
      Fail(call, "a plain answer was not taken");
    }
  }

  if (call.method >= kFirstCommand && (call.code == 0 || call.code == 5)) {
    if (own == nullptr) {
      Fail(call, "command judged without reaching the scale");
    } else {
      if (own->request.raw != call.command_frame) Fail(call, "the scale received another frame");
      const Bytes& a = own->answer;
      if (!overlaps && !(a.size() == 8 && (a[5] == 0x15) == (call.code == 5))) {
        Fail(call, "result differs from the acknowledgement");
      }
    }
  }
  remember();
  return tally_.errors == errors_before;
}

}  // namespace rd::soak
