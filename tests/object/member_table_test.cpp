#include <gtest/gtest.h>

#include <map>
#include <set>

#include "raroredoziri/Members.h"

namespace rd {
namespace {

TEST(MemberTableTest, HasTheNinetyNineMembersWithTheirDispids) {
  const auto& table = MemberTable();
  ASSERT_EQ(table.size(), 99u);
  std::map<std::int32_t, std::set<std::string_view>> names_by_dispid;
  int gets = 0, puts = 0, methods = 0;
  for (const MemberInfo& m : table) {
    names_by_dispid[m.dispid].insert(m.name);
    gets += m.kind == MemberKind::Get;
    puts += m.kind == MemberKind::Put;
    methods += m.kind == MemberKind::Method;
    EXPECT_NE(m.body, nullptr);
  }
  EXPECT_EQ(methods, 18);
  EXPECT_EQ(gets, 42);
  EXPECT_EQ(puts, 39);
  ASSERT_EQ(names_by_dispid.size(), 60u);
  EXPECT_EQ(names_by_dispid.begin()->first, 201);
  EXPECT_EQ(names_by_dispid.rbegin()->first, 260);
  for (const auto& [dispid, names] : names_by_dispid) EXPECT_EQ(names.size(), 1u) << dispid;
}

TEST(MemberTableTest, OrderFollowsTheInterfaceTable) {
  const auto& t = MemberTable();
  struct Expected {
    std::size_t index;
    std::string_view name;
    MemberKind kind;
    std::int32_t dispid;
    MemberType type;
  };
  const Expected rows[] = {
      {0, "Connection", MemberKind::Get, 201, MemberType::Bstr},
      {1, "Connection", MemberKind::Put, 201, MemberType::Bstr},
      {2, "OpenConnection", MemberKind::Method, 202, MemberType::I4},
      {5, "Stable", MemberKind::Get, 205, MemberType::I1},
      {8, "Tare", MemberKind::Get, 209, MemberType::I4},
      {9, "Tare", MemberKind::Put, 209, MemberType::I4},
      {10, "Screen", MemberKind::Get, 208, MemberType::I1},
      {11, "Screen", MemberKind::Put, 208, MemberType::I1},
      {22, "GoodsButton1", MemberKind::Get, 215, MemberType::Bstr},
      {83, "OptionFreePrice", MemberKind::Put, 245, MemberType::I1},
      {84, "ReadTare", MemberKind::Method, 246, MemberType::I4},
      {98, "SetScreen", MemberKind::Method, 260, MemberType::I4},
  };
  for (const auto& row : rows) {
    const MemberInfo& m = t[row.index];
    EXPECT_EQ(m.name, row.name) << row.index;
    EXPECT_EQ(m.kind, row.kind) << row.index;
    EXPECT_EQ(m.dispid, row.dispid) << row.index;
    EXPECT_EQ(m.type, row.type) << row.index;
  }
  // A property's get comes right before its put.
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i].kind == MemberKind::Put) {
      ASSERT_GT(i, 0u);
      EXPECT_EQ(t[i - 1].kind, MemberKind::Get);
      EXPECT_EQ(t[i - 1].name, t[i].name);
    }
  }
}

TEST(MemberTableTest, NamesResolveCaseInsensitively) {
  EXPECT_EQ(DispidOfName("ReadWeight"), 204);
  EXPECT_EQ(DispidOfName("readweight"), 204);
  EXPECT_EQ(DispidOfName("CONNECTION"), 201);
  EXPECT_EQ(DispidOfName("Weigh"), -1);
  EXPECT_EQ(DispidOfName(""), -1);
  EXPECT_EQ(FindMember(207, MemberKind::Put), nullptr) << "Weight has no put";
  EXPECT_EQ(FindMember(207, MemberKind::Get)->name, "Weight");
  EXPECT_EQ(FindMember(999, MemberKind::Get), nullptr);
}

}  // namespace
}  // namespace rd
