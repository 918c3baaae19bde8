// The member table of IScale as data: the one source for late binding by
// name, the command-line host and the cross-check of the COM interface.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "raroredoziri/Scale.h"

namespace rd {

enum class MemberKind : std::uint8_t { Get, Put, Method };
enum class MemberType : std::uint8_t { I1, I4, Bstr };

// A value crossing a member: nothing, I1, I4 or BSTR.
using MemberValue = std::variant<std::monostate, std::int8_t, std::int32_t, std::u16string>;

struct MemberInfo {
  std::string_view name;
  MemberKind kind;
  std::int32_t dispid;
  MemberType type;
  // The body: a get or a method writes `value`, a put reads it.
  void (*body)(TScale& scale, MemberValue& value);
};

inline constexpr std::size_t kMemberCount = 99;

// Every member in interface order (get before put for each property).
const std::array<MemberInfo, kMemberCount>& MemberTable();

// Case-insensitive (ASCII) look-up of a member name; a name that is not a
// member gives -1. All members that share a name share its DISPID.
std::int32_t DispidOfName(std::string_view name);
// The member of a DISPID and kind, or nullptr.
const MemberInfo* FindMember(std::int32_t dispid, MemberKind kind);

// Calls a member under the member guard. For a put, `value` must hold the
// member's type (else the type-mismatch status, no error information). A get
// or method overwrites `value` with its result: for a BSTR get it is first
// emptied, so a failure never leaves an old text there.
std::int32_t InvokeMember(TScale& scale, const MemberInfo& member, MemberValue& value) noexcept;

}  // namespace rd
