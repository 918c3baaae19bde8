#include "SimDevice.h"

#include <algorithm>

#include "raroredoziri/Frame.h"

namespace rd::sim {
namespace {

constexpr std::uint8_t kAccepted = 0x06;
constexpr std::uint8_t kRefused = 0x15;
constexpr std::uint8_t kExtraByte = 0xEE;
constexpr std::uint32_t kLegacyMaxMagnitude = 0x7FFFFF;

void PutInt32Le(Bytes& out, std::int32_t value) {
  const auto u = static_cast<std::uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(u >> shift));
}

std::int32_t GetInt32Le(const Bytes& body, std::size_t offset) {
  std::uint32_t u = 0;
  for (std::size_t i = 0; i < 4; ++i) u |= static_cast<std::uint32_t>(body[offset + i]) << (8 * i);
  return static_cast<std::int32_t>(u);
}

std::int32_t WrappingAdd(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// The random faults and their weights out of 100.
enum class Chaos { kNone, kDelay, kSplit, kExtra, kGarbage, kSilence, kRefuse, kClose, kLate };

Chaos PickChaos(std::uint32_t r) {
  if (r < 40) return Chaos::kNone;
  if (r < 52) return Chaos::kDelay;
  if (r < 62) return Chaos::kSplit;
  if (r < 70) return Chaos::kExtra;
  if (r < 78) return Chaos::kGarbage;
  if (r < 84) return Chaos::kSilence;
  if (r < 90) return Chaos::kRefuse;
  if (r < 94) return Chaos::kClose;
  return Chaos::kLate;
}

// With the full rate of 60 faults in 100 a fault is one draw; a lower rate
// keeps a drawn fault with the odds percent / 60 (a second draw), so the
// default sequence of faults for a seed stays the same.
Chaos DrawChaos(SimRandom& random, std::uint32_t percent) {
  const Chaos chaos = PickChaos(random.Between(0, 99));
  if (chaos == Chaos::kNone || percent >= 60) return chaos;
  return random.Between(0, 59) < percent ? chaos : Chaos::kNone;
}

void AddNote(std::string& note, const std::string& more) {
  if (!note.empty()) note += "; ";
  note += more;
}

}  // namespace

std::uint64_t SimRandom::Next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint32_t SimRandom::Between(std::uint32_t low, std::uint32_t high) {
  const std::uint64_t span = static_cast<std::uint64_t>(high) - low + 1;
  return static_cast<std::uint32_t>(low + Next() % span);
}

std::uint8_t LegacyDivisionByte(std::uint8_t division) {
  switch (division) {
    case 0:
      return 1;
    case 1:
      return 0;
    default:
      return 2;
  }
}

Bytes EncodeLegacyWeight(std::int32_t weight, std::uint8_t division, bool stable) {
  const bool negative = weight < 0;
  std::uint64_t magnitude =
      negative ? static_cast<std::uint64_t>(-static_cast<std::int64_t>(weight)) : weight;
  if (division == 0) magnitude /= 100;
  magnitude = std::min<std::uint64_t>(magnitude, kLegacyMaxMagnitude);
  const bool sign = negative && magnitude != 0;
  return Bytes{static_cast<std::uint8_t>(stable ? 0x80 : 0x00), LegacyDivisionByte(division),
               static_cast<std::uint8_t>(magnitude & 0xFF),
               static_cast<std::uint8_t>((magnitude >> 8) & 0xFF),
               static_cast<std::uint8_t>(((magnitude >> 16) & 0x7F) | (sign ? 0x80 : 0x00))};
}

std::vector<SimChunk> SplitReply(const Bytes& reply, std::uint32_t pieces, std::uint32_t start_ms,
                                 std::uint32_t gap_ms) {
  std::vector<SimChunk> chunks;
  if (reply.empty()) return chunks;
  const std::size_t count = std::clamp<std::size_t>(pieces, 1, reply.size());
  const std::size_t base = reply.size() / count;
  const std::size_t longer = reply.size() % count;
  std::size_t offset = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t size = base + (i < longer ? 1 : 0);
    const auto begin = reply.begin() + static_cast<std::ptrdiff_t>(offset);
    chunks.push_back(SimChunk{static_cast<std::uint32_t>(start_ms + i * gap_ms),
                              Bytes(begin, begin + static_cast<std::ptrdiff_t>(size))});
    offset += size;
  }
  return chunks;
}

SimDevice::SimDevice(SimConfig config) : config_(std::move(config)) {
  if (config_.chaos_seed) random_.emplace(*config_.chaos_seed);
  if (config_.segment_seed) segment_random_.emplace(*config_.segment_seed);
}

void SimDevice::Cut(SimAction& action, std::size_t limit) {
  if (action.output.size() != 1) return;
  const Bytes reply = action.output.front().data;
  limit = std::min(limit, reply.size());
  if (limit < 2) return;
  std::set<std::uint32_t> cuts;
  std::vector<std::uint32_t> gaps;
  if (config_.cut_at > 0) {
    if (config_.cut_at >= limit) return;
    cuts.insert(config_.cut_at);
    gaps.push_back(config_.cut_gap_ms);
  } else if (segment_random_) {
    const auto wanted = std::min<std::size_t>(segment_random_->Between(1, 4) - 1, limit - 1);
    while (cuts.size() < wanted) {
      cuts.insert(segment_random_->Between(1, static_cast<std::uint32_t>(limit - 1)));
    }
    for (std::size_t i = 0; i < wanted; ++i) gaps.push_back(segment_random_->Between(0, 100));
  }
  if (cuts.empty()) return;
  std::vector<SimChunk> pieces;
  std::uint32_t at = action.output.front().at_ms;
  std::size_t from = 0;
  std::string sizes, pauses;
  auto gap = gaps.begin();
  for (std::uint32_t to : cuts) {
    pieces.push_back(SimChunk{at, Bytes(reply.begin() + static_cast<std::ptrdiff_t>(from),
                                        reply.begin() + static_cast<std::ptrdiff_t>(to))});
    sizes += std::to_string(to - from) + "+";
    pauses += (pauses.empty() ? "" : ",") + std::to_string(*gap);
    at += *gap++;
    from = to;
  }
  pieces.push_back(
      SimChunk{at, Bytes(reply.begin() + static_cast<std::ptrdiff_t>(from), reply.end())});
  action.output = std::move(pieces);
  action.cut = "cut " + sizes + std::to_string(reply.size() - from) + ", " + pauses + " ms";
}

bool SimDevice::NextWeight(std::int32_t& weight) {
  weight = config_.weight;
  const bool moving = weight_replies_ < config_.settle_after;
  if (moving) ++weight_replies_;
  if (moving || config_.settle_after == 0) {
    config_.weight = WrappingAdd(config_.weight, config_.weight_step);
  }
  return config_.stable && !moving;
}

Bytes SimDevice::WeightReply() {
  std::int32_t weight = 0;
  const bool stable = NextWeight(weight);
  Bytes body{0xA0};
  PutInt32Le(body, weight);
  body.push_back(config_.division);
  body.push_back(stable ? 1 : 0);
  return BuildFrame(body);
}

Bytes SimDevice::TareReply() const {
  Bytes body{0xA1};
  PutInt32Le(body, config_.tare);
  body.push_back(config_.division);
  return BuildFrame(body);
}

Bytes SimDevice::LegacyWeightReply() {
  std::int32_t weight = 0;
  const bool stable = NextWeight(weight);
  return EncodeLegacyWeight(weight, config_.division, stable);
}

std::optional<Bytes> SimDevice::Answer(const ParsedRequest& request, bool refuse_command,
                                       std::string& note) {
  const bool framed = config_.variant == SimVariant::kFramed;
  switch (request.kind) {
    case RequestKind::kBadFrame:
      note = "not answered: bad checksum";
      return std::nullopt;
    case RequestKind::kLegacyProbe:
      if (framed) {
        note = "ignored by a framed scale";
        return std::nullopt;
      }
      return Bytes{kAccepted, kLegacyProbe};
    case RequestKind::kLegacyWeight:
      if (framed) {
        note = "ignored by a framed scale";
        return std::nullopt;
      }
      return LegacyWeightReply();
    case RequestKind::kFrame:
      break;
  }
  if (!framed) {
    note = "ignored by a legacy scale";
    return std::nullopt;
  }
  const Bytes body = request.Body();
  const std::uint8_t code = body[0];
  const std::size_t expected = CommandBodyLength(code);
  if (expected == 0 || body.size() != expected) {
    note = expected == 0 ? "refused: unknown command" : "refused: wrong body length";
    return BuildFrame({kRefused});
  }
  if (Refuses(code) || (refuse_command && code >= 0xA2)) {
    note = Refuses(code) ? "refused" : "chaos: refused";
    return BuildFrame({kRefused});
  }
  switch (code) {
    case 0xA0:
      return WeightReply();
    case 0xA1:
      return TareReply();
    case 0xA3:
      config_.tare = GetInt32Le(body, 1);
      break;
    default:
      break;
  }
  return BuildFrame({kAccepted});
}

SimAction SimDevice::Handle(const ParsedRequest& request, std::uint32_t request_on_link,
                            std::uint32_t line_baud) {
  SimAction action;
  if (line_baud != 0 && config_.check_baud) {
    const std::uint32_t wanted = config_.variant == SimVariant::kFramed ? kFramedBaud : kLegacyBaud;
    if (line_baud != wanted) {
      action.note = "ignored: line at " + std::to_string(line_baud) + " baud";
      return action;
    }
  }
  if (config_.close_after > 0 && request_on_link >= config_.close_after) {
    action.close = true;
    action.note = "connection closed instead of an answer";
    return action;
  }

  const Chaos chaos = random_ ? DrawChaos(*random_, config_.chaos_percent) : Chaos::kNone;
  if (chaos == Chaos::kClose) {
    action.close = true;
    action.note = "chaos: connection closed instead of an answer";
    return action;
  }

  // Only a configuration command can be refused at random.
  std::optional<Bytes> reply = Answer(request, chaos == Chaos::kRefuse, action.note);
  if (!reply) return action;
  if (config_.silent) {
    AddNote(action.note, "silent");
    return action;
  }

  const std::size_t well_formed = reply->size();
  std::uint32_t delay = config_.delay_ms;
  std::uint32_t pieces = config_.split;
  std::uint32_t gap = config_.split_gap_ms;
  reply->insert(reply->end(), config_.extra, kExtraByte);
  switch (chaos) {
    case Chaos::kDelay:
      delay += random_->Between(1500, 4500);
      AddNote(action.note, "chaos: delay " + std::to_string(delay) + " ms");
      break;
    case Chaos::kSplit:
      pieces = random_->Between(2, 4);
      gap = random_->Between(0, 50);
      AddNote(action.note,
              "chaos: split " + std::to_string(pieces) + " gap " + std::to_string(gap) + " ms");
      break;
    case Chaos::kExtra: {
      const std::uint32_t count = random_->Between(1, 3);
      for (std::uint32_t i = 0; i < count; ++i) {
        reply->push_back(static_cast<std::uint8_t>(random_->Next()));
      }
      AddNote(action.note, "chaos: " + std::to_string(count) + " extra bytes");
      break;
    }
    case Chaos::kGarbage: {
      const std::uint32_t count = random_->Between(1, 20);
      reply->clear();
      for (std::uint32_t i = 0; i < count; ++i) {
        reply->push_back(static_cast<std::uint8_t>(random_->Next()));
      }
      AddNote(action.note, "chaos: " + std::to_string(count) + " garbage bytes instead");
      break;
    }
    case Chaos::kSilence:
      AddNote(action.note, "chaos: silent");
      return action;
    case Chaos::kLate:
      action.hold = true;
      AddNote(action.note, "chaos: held back until the next request");
      break;
    case Chaos::kNone:
    case Chaos::kRefuse:
    case Chaos::kClose:
      break;
  }
  if (config_.delay_ms > 0 && chaos != Chaos::kDelay) {
    AddNote(action.note, "delay " + std::to_string(delay) + " ms");
  }
  if (config_.extra > 0) AddNote(action.note, std::to_string(config_.extra) + " extra bytes");
  action.output = SplitReply(*reply, pieces, delay, gap);
  if (pieces > 1 && chaos != Chaos::kSplit && action.output.size() > 1) {
    AddNote(action.note, "split " + std::to_string(action.output.size()));
  }
  Cut(action, well_formed);
  return action;
}

}  // namespace rd::sim
