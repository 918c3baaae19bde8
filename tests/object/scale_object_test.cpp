// The Scale object's property store as a host sees it through the member
// guard: initial values, range rules, conversions and error information.
#include <gtest/gtest.h>

#include <climits>

#include "raroredoziri/ErrorInfo.h"
#include "raroredoziri/Members.h"

namespace rd {
namespace {

const MemberInfo& Member(std::string_view name, MemberKind kind) {
  const MemberInfo* m = FindMember(DispidOfName(name), kind);
  EXPECT_NE(m, nullptr) << name;
  return *m;
}

std::int32_t Put(TScale& scale, std::string_view name, MemberValue value) {
  return InvokeMember(scale, Member(name, MemberKind::Put), value);
}

MemberValue Get(TScale& scale, std::string_view name, std::int32_t* status = nullptr) {
  MemberValue value;
  const std::int32_t s = InvokeMember(scale, Member(name, MemberKind::Get), value);
  if (status != nullptr) *status = s;
  return value;
}

class ScaleObjectTest : public ::testing::Test {
 protected:
  void SetUp() override { TakeErrorInfo(); }
  TScale scale;
};

TEST_F(ScaleObjectTest, NewObjectReadsEmptyAndZero) {
  for (const MemberInfo& m : MemberTable()) {
    if (m.kind != MemberKind::Get) continue;
    MemberValue value;
    ASSERT_EQ(InvokeMember(scale, m, value), kStatusOk) << m.name;
    switch (m.type) {
      case MemberType::Bstr:
        EXPECT_EQ(std::get<std::u16string>(value), u"") << m.name;
        break;
      case MemberType::I4:
        EXPECT_EQ(std::get<std::int32_t>(value), 0) << m.name;
        break;
      case MemberType::I1:
        EXPECT_EQ(std::get<std::int8_t>(value), 0) << m.name;
        break;
    }
  }
  EXPECT_TRUE(scale.ProtocolKind.empty());
}

TEST_F(ScaleObjectTest, EveryBytePropertyTakesZeroTo127AndRefusesNegatives) {
  for (const MemberInfo& m : MemberTable()) {
    if (m.kind != MemberKind::Put || m.type != MemberType::I1) continue;
    TScale s;
    ASSERT_EQ(Put(s, m.name, std::int8_t{127}), kStatusOk) << m.name;
    EXPECT_EQ(std::get<std::int8_t>(Get(s, m.name)), 127) << m.name;

    EXPECT_EQ(Put(s, m.name, std::int8_t{-1}), kStatusUnexpected) << m.name;
    const auto error = TakeErrorInfo();
    ASSERT_TRUE(error.has_value()) << m.name;
    EXPECT_EQ(error->description, u"Range check error");
    EXPECT_EQ(std::get<std::int8_t>(Get(s, m.name)), 127) << m.name << " kept its value";

    EXPECT_EQ(Put(s, m.name, std::int8_t{-128}), kStatusUnexpected) << m.name;
    EXPECT_EQ(Put(s, m.name, std::int8_t{0}), kStatusOk) << m.name;
    EXPECT_EQ(std::get<std::int8_t>(Get(s, m.name)), 0) << m.name;
  }
}

TEST_F(ScaleObjectTest, ScreenPutOfMinusOneGivesFullErrorInformation) {
  ASSERT_EQ(Put(scale, "Screen", std::int8_t{-1}), kStatusUnexpected);
  // A member that succeeds afterwards leaves the failed one's information.
  ASSERT_EQ(Put(scale, "Goods", std::u16string(u"Milk")), kStatusOk);
  const auto error = TakeErrorInfo();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->guid, kErrorGuid);
  EXPECT_EQ(error->guid.data1, 0xD18475CCu);
  EXPECT_EQ(error->source, u"RaroreDoziri.Scale");
  EXPECT_EQ(error->description, u"Range check error");
  EXPECT_EQ(error->help_context, 0);
  EXPECT_FALSE(TakeErrorInfo().has_value()) << "taking the information clears it";
}

TEST_F(ScaleObjectTest, ByteFieldAbove127FailsItsGetWithoutWritingTheValue) {
  scale.Stable = 200;
  scale.Lock10 = 128;
  MemberValue value = std::int8_t{42};
  EXPECT_EQ(InvokeMember(scale, Member("Stable", MemberKind::Get), value), kStatusUnexpected);
  EXPECT_EQ(std::get<std::int8_t>(value), 42) << "out-parameter left unwritten";
  std::int32_t status = 0;
  Get(scale, "Lock10", &status);
  EXPECT_EQ(status, kStatusUnexpected);
  EXPECT_EQ(TakeErrorInfo()->description, u"Range check error");
}

TEST_F(ScaleObjectTest, ThirtyTwoBitPropertiesTakeAnyValue) {
  for (std::int32_t v : {0, -5, 1000, INT_MIN, INT_MAX}) {
    ASSERT_EQ(Put(scale, "Tare", v), kStatusOk);
    EXPECT_EQ(std::get<std::int32_t>(Get(scale, "Tare")), v);
    ASSERT_EQ(Put(scale, "Operation", v), kStatusOk);
    EXPECT_EQ(std::get<std::int32_t>(Get(scale, "Operation")), v);
  }
}

TEST_F(ScaleObjectTest, WideTextIsKeptExactly) {
  // A character no single-byte code page has, a lone surrogate, an embedded
  // NUL and a long text all come back unchanged.
  const std::u16string texts[] = {u"Milk", std::u16string(u"a\0b", 3), u"\x4E2D\x6587",
                                  std::u16string(1, char16_t{0xD800}), std::u16string(5000, u'x')};
  for (const auto& text : texts) {
    for (const char* name : {"Connection", "Goods", "Operator", "RegistratorStore", "Agent"}) {
      ASSERT_EQ(Put(scale, name, text), kStatusOk);
      EXPECT_EQ(std::get<std::u16string>(Get(scale, name)), text) << name;
    }
  }
}

TEST_F(ScaleObjectTest, EightBitTextReadsBackConverted) {
  ASSERT_EQ(Put(scale, "Text", std::u16string(u"Milk")), kStatusOk);
  EXPECT_EQ(std::get<std::u16string>(Get(scale, "Text")), u"Milk");
  EXPECT_EQ(scale.Text, "Milk");
  // U+4E2D is in no single-byte code page: it reads back as the default
  // character, while the wide Goods keeps it.
  ASSERT_EQ(Put(scale, "Text", std::u16string(u"a\x4E2D")), kStatusOk);
  ASSERT_EQ(scale.Text.size(), 2u);
  EXPECT_EQ(std::get<std::u16string>(Get(scale, "Text")), u"a" + AnsiToWide(scale.Text.substr(1)));
  EXPECT_NE(std::get<std::u16string>(Get(scale, "Text")), u"a\x4E2D");
  ASSERT_EQ(Put(scale, "Goods", std::u16string(u"a\x4E2D")), kStatusOk);
  EXPECT_EQ(std::get<std::u16string>(Get(scale, "Goods")), u"a\x4E2D");
}

TEST_F(ScaleObjectTest, PutWithWrongTypeIsATypeMismatchAndStoresNothing) {
  EXPECT_EQ(Put(scale, "Screen", std::int32_t{5}), kStatusTypeMismatch);
  EXPECT_EQ(Put(scale, "Goods", std::int32_t{5}), kStatusTypeMismatch);
  EXPECT_EQ(Put(scale, "Tare", MemberValue{}), kStatusTypeMismatch);
  EXPECT_EQ(scale.Screen, 0);
  EXPECT_EQ(scale.Tare, 0);
}

TEST_F(ScaleObjectTest, PutsChangeOnlyTheirOwnField) {
  TScale other;
  ASSERT_EQ(Put(scale, "Connection", std::u16string(u"COM3")), kStatusOk);
  ASSERT_EQ(Put(scale, "Lock3", std::int8_t{7}), kStatusOk);
  EXPECT_EQ(other.Connection, u"");
  EXPECT_EQ(scale.Lock2, 0);
  EXPECT_EQ(scale.Lock4, 0);
  EXPECT_EQ(scale.Lock3, 7);
}

TEST_F(ScaleObjectTest, EveryMethodReportsOneForAnEmptyConnection) {
  int methods = 0;
  for (const MemberInfo& m : MemberTable()) {
    if (m.kind != MemberKind::Method) continue;
    ++methods;
    TScale s;
    MemberValue value;
    ASSERT_EQ(InvokeMember(s, m, value), kStatusOk) << m.name;
    EXPECT_EQ(std::get<std::int32_t>(value), kResultNoConnection) << m.name;
  }
  EXPECT_EQ(methods, 18);
}

TEST_F(ScaleObjectTest, GuardTurnsEveryEscapingErrorIntoAStatus) {
  EXPECT_EQ(Guarded([] { throw Fault("boom", 7); }), kStatusUnexpected);
  auto error = TakeErrorInfo();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, u"boom");
  EXPECT_EQ(error->help_context, 7);

  EXPECT_EQ(Guarded([] { throw PlatformCallError(static_cast<std::int32_t>(0x80070005)); }),
            static_cast<std::int32_t>(0x80070005));
  EXPECT_FALSE(TakeErrorInfo()->description.empty());

  EXPECT_EQ(Guarded([] { throw std::runtime_error("plain"); }), kStatusUnexpected);
  EXPECT_EQ(TakeErrorInfo()->description, u"plain");
  EXPECT_EQ(Guarded([] { throw 42; }), kStatusUnexpected);
  EXPECT_TRUE(TakeErrorInfo().has_value());
  EXPECT_EQ(Guarded([] {}), kStatusOk);
  EXPECT_FALSE(TakeErrorInfo().has_value()) << "success touches no error information";
}

TEST(FaultTest, PlatformCallErrorCarriesItsStatusAndAText) {
  try {
    CheckStatus(static_cast<std::int32_t>(0x8BAD0001));
    FAIL() << "a failure status must raise";
  } catch (const PlatformCallError& e) {
    EXPECT_EQ(static_cast<std::uint32_t>(e.Status()), 0x8BAD0001u);
    EXPECT_EQ(e.Text(), "OLE error 8bad0001");
  }
  EXPECT_NO_THROW(CheckStatus(0));
  EXPECT_NO_THROW(CheckStatus(1));
}

}  // namespace
}  // namespace rd
