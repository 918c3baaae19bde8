// The simulated scale's behaviour: what it answers to each request, and the
// faults it can be told to commit. Pure logic with no I/O and no clock; the
// server (SimScale) turns an answer into timed writes on a link.
//
// What the scale answers (unless a fault says otherwise):
//   framed variant
//     body A0 -> 14-byte weight reply: body A0, weight (4 bytes LE, signed),
//                division, stable (0/1)
//     body A1 -> 13-byte tare reply: body A1, tare (4 bytes LE), division
//     body A2..AF -> 8-byte acknowledgement: body 06 (accepted) or 15
//                (refused); A3 (SetTare) sets the scale's tare when accepted
//     an unknown code or a body of the wrong length -> acknowledgement 15
//     a frame with a wrong checksum, a bare "E" or "J" -> no answer
//   legacy variant
//     "E" -> 06 45;  "J" -> 5-byte legacy weight reply;  frames -> no answer
// Every reply frame is built with BuildFrame, so header, length and checksum
// are those of a real frame. After every weight reply the weight grows by
// weight_step (with settle_after, only until it settles).
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "SimParser.h"
#include "raroredoziri/Bytes.h"

namespace rd::sim {

enum class SimVariant { kFramed, kLegacy };

inline constexpr std::uint32_t kFramedBaud = 57600;
inline constexpr std::uint32_t kLegacyBaud = 4800;

struct SimConfig {
  SimVariant variant = SimVariant::kFramed;
  // Scale state. division is the division code as the driver reports it.
  std::int32_t weight = 0;
  std::uint8_t division = 1;
  bool stable = true;
  std::int32_t tare = 0;
  std::int32_t weight_step = 0;  // added to the weight after each weight reply
  // N > 0: a weight settling on the scale. The first N weight replies are
  // marked unstable, each followed by weight_step; from then on the weight
  // holds and is marked as `stable` says.
  std::uint32_t settle_after = 0;

  // Deterministic faults, applied to every answer.
  std::set<std::uint8_t> refused;   // codes answered with the 8-byte 0x15 frame
  std::uint32_t delay_ms = 0;       // reply starts this long after the request
  std::uint32_t split = 1;          // reply written in this many pieces (0, 1: whole)
  std::uint32_t split_gap_ms = 20;  // pause between two pieces
  std::uint32_t extra = 0;          // bytes (0xEE) appended to every reply
  bool silent = false;              // requests are taken but never answered
  // N > 0: the Nth request of a connection is not answered; the connection is
  // closed instead (a pseudo-terminal drops its pending output and state and
  // counts again from 0).
  std::uint32_t close_after = 0;

  // Serial line (pseudo-terminal) only.
  bool pace = false;       // write at the line's baud rate, 10 bits a byte
  bool check_baud = true;  // framed answers only at 57600, legacy only at 4800

  // Random faults from this seed, drawn per request on top of the above:
  // delays of 1500..4500 ms, splits, extra bytes, garbage instead of the
  // reply, silence, refusals, disconnects and replies held back until the
  // next request arrives (a late reply to an earlier request).
  std::optional<std::uint64_t> chaos_seed;
  // Of 100 requests, how many draw a random fault (0..60; 60, the most, is
  // the default). Lower values keep the same kinds of faults in the same
  // proportions and make long runs cheaper.
  std::uint32_t chaos_percent = 60;

  // Replies cut into pieces, as a serial-to-Ethernet converter delivers
  // them, on TCP and on the pseudo-terminal alike. Only a reply that goes
  // out in one piece is cut, and only inside the length of the well-formed
  // reply: bytes beyond it (extra bytes) travel with the last piece.
  // cut_at N > 0: every reply longer than N bytes is cut after its Nth byte,
  // the rest following cut_gap_ms later.
  std::uint32_t cut_at = 0;
  std::uint32_t cut_gap_ms = 60;
  // Every reply cut at random bytes into 1..4 pieces with gaps of 0..100 ms,
  // drawn from a generator of its own, so that a chaos seed draws the same
  // faults with and without it.
  std::optional<std::uint64_t> segment_seed;

  // N > 0: the server ends after N requests, once their replies are out.
  std::uint32_t max_requests = 0;

  // How many of the latest requests SimScale keeps on record (with the log
  // of when their answers went out); earlier ones are forgotten, so that a
  // long run stays flat in memory.
  std::size_t history = 4096;
};

// One piece of output, due at_ms after the request was complete.
struct SimChunk {
  std::uint32_t at_ms = 0;
  Bytes data;
  friend bool operator==(const SimChunk&, const SimChunk&) = default;
};

// What the scale does about one request.
struct SimAction {
  std::vector<SimChunk> output;  // in time order
  bool close = false;            // close the connection after the output (at once if none)
  bool hold = false;             // keep the output back and send it when the next
                                 // request arrives, before that request's answer
  std::string note;              // what happened beyond the plain answer, for the log
  std::string cut;               // how the reply was cut into pieces ("cut 5+9, 60 ms")
};

// Deterministic generator for the random faults (splitmix64), so that one
// seed gives the same faults on every platform.
class SimRandom {
 public:
  explicit SimRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next();
  // Uniform in [low, high].
  std::uint32_t Between(std::uint32_t low, std::uint32_t high);

 private:
  std::uint64_t state_;
};

class SimDevice {
 public:
  explicit SimDevice(SimConfig config);

  // request_on_link counts the requests of the current connection from 1;
  // line_baud is the serial line's speed, 0 when there is none (TCP).
  SimAction Handle(const ParsedRequest& request, std::uint32_t request_on_link,
                   std::uint32_t line_baud);

  const SimConfig& Config() const { return config_; }
  std::int32_t Weight() const { return config_.weight; }
  std::int32_t Tare() const { return config_.tare; }

 private:
  // The plain answer; nothing when the scale does not answer this request.
  std::optional<Bytes> Answer(const ParsedRequest& request, bool refuse_command, std::string& note);
  bool Refuses(std::uint8_t code) const { return config_.refused.count(code) != 0; }
  Bytes WeightReply();
  Bytes TareReply() const;
  Bytes LegacyWeightReply();
  // The stability flag of the next weight reply; moves the weight on.
  bool NextWeight(std::int32_t& weight);
  // Cuts a one-piece output at the configured or random positions below
  // `limit` bytes.
  void Cut(SimAction& action, std::size_t limit);

  SimConfig config_;
  std::uint32_t weight_replies_ = 0;
  std::optional<SimRandom> random_;
  std::optional<SimRandom> segment_random_;
};

// Legacy encodings, exposed for tests.
// The division byte that the driver maps back to `division` (code 1 -> 0,
// code 0 -> 1, code 2 -> 2; a code above 2 cannot be expressed and is sent
// as 2).
std::uint8_t LegacyDivisionByte(std::uint8_t division);
// The 5-byte legacy weight reply. With division code 0 the driver multiplies
// by 100, so weight / 100 is sent then; magnitudes above 8388607 are clamped.
Bytes EncodeLegacyWeight(std::int32_t weight, std::uint8_t division, bool stable);

// Splits a reply into `pieces` pieces of near-equal size (at most one per
// byte), the first at start_ms and each next one gap_ms later.
std::vector<SimChunk> SplitReply(const Bytes& reply, std::uint32_t pieces, std::uint32_t start_ms,
                                 std::uint32_t gap_ms);

}  // namespace rd::sim
