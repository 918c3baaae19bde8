#include "raroredoziri/Members.h"

#include "raroredoziri/ErrorInfo.h"

namespace rd {
namespace {

template <class T>
const T& Expect(const MemberValue& value) {
  if (const T* held = std::get_if<T>(&value)) return *held;
  throw std::bad_variant_access();
}

#define RD_WIDE_PROP(N, D)                                                                        \
  {#N, MemberKind::Get, D, MemberType::Bstr, [](TScale& s, MemberValue& v) { v = s.get_##N(); }}, \
      {#N, MemberKind::Put, D, MemberType::Bstr,                                                  \
       [](TScale& s, MemberValue& v) { s.put_##N(Expect<std::u16string>(v)); }},
#define RD_ANSI_PROP(N, D) RD_WIDE_PROP(N, D)
#define RD_I4_GET(N, D) \
  {#N, MemberKind::Get, D, MemberType::I4, [](TScale& s, MemberValue& v) { v = s.get_##N(); }},
#define RD_I4_PROP(N, D)                                  \
  RD_I4_GET(N, D){#N, MemberKind::Put, D, MemberType::I4, \
                  [](TScale& s, MemberValue& v) { s.put_##N(Expect<std::int32_t>(v)); }},
#define RD_I1_GET(N, D) \
  {#N, MemberKind::Get, D, MemberType::I1, [](TScale& s, MemberValue& v) { v = s.get_##N(); }},
#define RD_I1_PROP(N, D)                                  \
  RD_I1_GET(N, D){#N, MemberKind::Put, D, MemberType::I1, \
                  [](TScale& s, MemberValue& v) { s.put_##N(Expect<std::int8_t>(v)); }},
#define RD_METHOD(N, D) \
  {#N, MemberKind::Method, D, MemberType::I4, [](TScale& s, MemberValue& v) { v = s.N(); }},

const std::array<MemberInfo, kMemberCount> kMembers{{
#include "raroredoziri/Members.inc"
}};

#undef RD_WIDE_PROP
#undef RD_ANSI_PROP
#undef RD_I4_PROP
#undef RD_I4_GET
#undef RD_I1_PROP
#undef RD_I1_GET
#undef RD_METHOD

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

const std::array<MemberInfo, kMemberCount>& MemberTable() { return kMembers; }

std::int32_t DispidOfName(std::string_view name) {
  for (const MemberInfo& m : kMembers) {
    if (SameName(m.name, name)) return m.dispid;
  }
  return -1;
}

const MemberInfo* FindMember(std::int32_t dispid, MemberKind kind) {
  for (const MemberInfo& m : kMembers) {
    if (m.dispid == dispid && m.kind == kind) return &m;
  }
  return nullptr;
}

std::int32_t InvokeMember(TScale& scale, const MemberInfo& member, MemberValue& value) noexcept {
  if (member.kind == MemberKind::Put) {
    const bool typed =
        (member.type == MemberType::I1 && std::holds_alternative<std::int8_t>(value)) ||
        (member.type == MemberType::I4 && std::holds_alternative<std::int32_t>(value)) ||
        (member.type == MemberType::Bstr && std::holds_alternative<std::u16string>(value));
    if (!typed) return kStatusTypeMismatch;
  } else if (member.type == MemberType::Bstr) {
    value = std::u16string();
  }
  return Guarded([&] { member.body(scale, value); });
}

}  // namespace rd
