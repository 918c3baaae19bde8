// What the soak checks after every call, given what the call returned and
// what the simulated scales received and answered while it ran.
//
//   - The member returned success, or a failure status only for a socket
//     error while sending over TCP.
//   - The result code is one the method may give.
//   - Weight, Division, Stable and Tare changed only on success (ReadTare on
//     a legacy connection sets Tare and Division to 0 with its code 4).
//   - A successful ReadWeight or ReadTare holds exactly what the scale
//     answered to this call's request; a command's acknowledgement decides
//     between 0 and 5, and the scale received exactly the command's frame.
//   - Where output for an earlier request went out while the call ran (a
//     late reply), the driver cannot tell it from the answer: the protocol
//     carries no request identity. Such calls are counted, as is every weight
//     or tare taken there that the scale had sent for an earlier request, but
//     they are no failure. A value the scale never sent for any request (the
//     bytes of two answers taken as one) is always a failure.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "SimScale.h"
#include "raroredoziri/Bytes.h"

namespace rd::soak {

inline constexpr std::array<std::string_view, 18> kMethods{
    "OpenConnection", "CloseConnection", "ReadWeight",      "ReadTare",       "SetGoods",
    "SetTare",        "SetLabelFormat",  "SetLabelFormatZ", "SetTape",        "SetUnderwinder",
    "SetMode",        "SetOperator",     "SetText",         "SetGoodsButton", "SetLock",
    "SetOptions",     "SetFindGoods",    "SetScreen"};
inline constexpr std::size_t kOpen = 0, kClose = 1, kReadWeight = 2, kReadTare = 3,
                             kFirstCommand = 4;

// The result codes a method may give.
bool AllowedCode(std::size_t method, std::int32_t code);

struct Fields {
  std::int32_t weight = 0, tare = 0, division = 0;
  std::uint8_t stable = 0;
  friend bool operator==(const Fields&, const Fields&) = default;
};

enum class Link { kNone, kTcp, kFramedSerial, kLegacySerial };

struct Call {
  std::size_t method = 0;
  Link link = Link::kNone;  // where the call's request should go, as the caller set it up
  std::int32_t status = 0;
  std::int32_t code = -1;
  std::u16string error;  // error description when status is a failure
  Fields before, after;
  Bytes command_frame;                    // for a command: the frame of its body at call time
  std::vector<sim::SimRequest> received;  // what the scales took in during the call
  bool overlapped = false;                // output for an earlier request went out during the call
  std::vector<sim::SimRequest> met;       // those earlier requests, for the report
};

struct Tally {
  std::map<std::string, std::uint64_t> results;  // "ReadWeight=0" -> count
  std::uint64_t calls = 0;
  std::uint64_t faults = 0;           // failure statuses (socket errors while sending)
  std::uint64_t overlapped = 0;       // calls whose exchange met earlier output
  std::uint64_t stale_taken = 0;      // ... and took a value sent for an earlier request
  std::uint64_t stale_taken_tcp = 0;  // of those, over TCP (each a failure)
  std::uint64_t spliced_taken = 0;    // values made of several answers (each a failure)
  std::uint64_t verified_values = 0;  // successful reads checked against the answer
  std::uint64_t errors = 0;
  std::vector<std::string> error_lines;  // the first few, for the report

  void Add(const Tally& other);
};

class Checker {
 public:
  // Checks one call and adds it to the tally; false when it broke a rule.
  bool Check(const Call& call);
  const Tally& Totals() const { return tally_; }

 private:
  void Fail(const Call& call, const std::string& what);

  Tally tally_;
  std::set<std::int32_t> earlier_values_;  // every weight or tare the scales sent so far
};

std::string Describe(const Call& call);

}  // namespace rd::soak
