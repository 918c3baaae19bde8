// The body of a command request: a JSON object of property names and values,
// put on a Scale object before one of the fourteen Set... methods runs. Kept
// apart from HTTP so that it can be tested and fuzzed on its own.
//
//   {"Goods": "Milk", "Tare": 1000}      text properties take strings,
//   {"Lock1": 1, "Lock10": 0}            numeric ones integers
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "raroredoziri/Members.h"
#include "raroredoziri/Scale.h"

namespace rd::service {

inline constexpr std::size_t kMaxBodyBytes = 64 * 1024;

// An HTTP status and, for a failure, the error text.
struct Outcome {
  int status = 200;
  std::string error;
  std::string property;  // the property the error is about, if any
  bool Ok() const { return status == 200; }
};

// The member of command `name` (one of the fourteen Set... methods, any
// letter case), or nullptr.
const MemberInfo* FindCommand(std::string_view name);

// The meaning of a result code ("done", "no usable connection", ...).
const char* ResultMeaning(std::int32_t result);

// A checked body: the puts to make, in order.
struct PropertyPuts {
  std::vector<std::pair<const MemberInfo*, MemberValue>> puts;
};

// Parses and checks a body: JSON syntax (400), an object (400; an empty
// body too), known writable property names (400), value types (400), at
// most kMaxBodyBytes (413). Values are checked against the
// property's range by ApplyPuts, not here, except values beyond the
// member's type (-128..127, 32-bit), which give the same "Range check error".
Outcome ParseCommandBody(std::string_view body, PropertyPuts& out);

// Makes the puts on `scale` through the member guard. A put the object
// refuses gives 400 with the object's error description ("Range check
// error"); the puts before it stay made, so check on a scratch object first
// when that matters.
Outcome ApplyPuts(TScale& scale, const PropertyPuts& puts);

// The values that `command` sends, as `scale` holds them now: an object of
// property names and values, in the order the command sends them.
nlohmann::ordered_json CommandValues(TScale& scale, const MemberInfo& command);

}  // namespace rd::service
