// The simulated scale's request parser and request decoder.
//
// SimParser is a pure, incremental parser over the bytes that reach the
// scale: feed it any bytes in any pieces and it hands back every complete
// request, in order. It recognises
//   - framed requests: F8 55 CE | L | 00 | body (L bytes) | crc lo | crc hi,
//     with the checksum checked (a frame whose checksum is wrong is handed
//     back as RequestKind::BadFrame and produces no answer);
//   - the bare legacy requests "E" (0x45, probe) and "J" (0x4A, weight).
// Every other byte outside a frame is garbage and is skipped. The parser
// does not know the protocol variant; the scale decides what to answer.
//
// Bounds: the parser never holds more than one frame (262 bytes), does a
// bounded amount of work per byte, and never throws for any input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "raroredoziri/Bytes.h"

namespace rd::sim {

inline constexpr std::uint8_t kLegacyProbe = 0x45;   // "E"
inline constexpr std::uint8_t kLegacyWeight = 0x4A;  // "J"
inline constexpr std::size_t kMaxFrameSize = 255 + 7;

enum class RequestKind {
  kFrame,         // a framed request with a correct checksum
  kBadFrame,      // a complete frame whose checksum is wrong
  kLegacyProbe,   // the bare byte "E"
  kLegacyWeight,  // the bare byte "J"
};

struct ParsedRequest {
  RequestKind kind = RequestKind::kFrame;
  Bytes raw;  // the bytes as received: the whole frame, or the single byte

  // The body of a frame (empty for the legacy requests).
  Bytes Body() const;
  // The command code (first body byte) of a frame; 0 for the legacy requests.
  std::uint8_t Code() const;

  friend bool operator==(const ParsedRequest&, const ParsedRequest&) = default;
};

class SimParser {
 public:
  // Consumes `size` bytes and appends every request they complete to `out`.
  void Feed(const std::uint8_t* data, std::size_t size, std::vector<ParsedRequest>& out);
  void Feed(const Bytes& data, std::vector<ParsedRequest>& out) {
    Feed(data.data(), data.size(), out);
  }

  // Bytes held as the start of an unfinished frame (at most kMaxFrameSize - 1).
  std::size_t Pending() const { return pending_.size(); }

  // Gives up the unfinished frame at the front after a pause on the line: its
  // first header byte is dropped and the rest is scanned again, so that a
  // complete request hidden behind a truncated frame is still found.
  void Resync(std::vector<ParsedRequest>& out);

  // Forgets everything held (a new connection).
  void Reset() { pending_.clear(); }

  // Bytes skipped as garbage so far.
  std::uint64_t Skipped() const { return skipped_; }

 private:
  void Scan(std::vector<ParsedRequest>& out);
  void Drop(std::size_t count);

  Bytes pending_;
  std::uint64_t skipped_ = 0;
};

// "F8 55 CE 01 00 A0 A0 00": the bytes in upper-case hex, one blank apart.
std::string HexBytes(const Bytes& bytes);

// One-line decoding of a request with its fields, for example
// SetGoods Goods="Milk           ", SetTare Tare=-1000, SetLock Locks=[1,0,...].
std::string DescribeRequest(const ParsedRequest& request);

// The method name of a framed command code ("ReadWeight", "SetGoods", ...),
// or an empty string for a code the scale does not know.
std::string CommandName(std::uint8_t code);

// The body length (code byte included) of a known command code; 0 for an
// unknown code.
std::size_t CommandBodyLength(std::uint8_t code);

}  // namespace rd::sim
