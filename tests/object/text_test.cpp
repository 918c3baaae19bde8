#include "raroredoziri/Text.h"

#include <gtest/gtest.h>

namespace rd {
namespace {

TEST(TextTest, AsciiRoundTrips) {
  EXPECT_EQ(WideToAnsi(u"Milk 123"), "Milk 123");
  EXPECT_EQ(AnsiToWide("Milk 123"), u"Milk 123");
  EXPECT_EQ(WideToAnsi(std::u16string(u"a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(WideToAnsi(u""), "");
  EXPECT_EQ(WideUnitToAnsi(u'M'), "M");
}

TEST(TextTest, WesternCodePage) {
  if (CodePage() != 1252) GTEST_SKIP() << "code page " << CodePage();
  EXPECT_EQ(WideToAnsi(u"\u00E9\u20AC"), "\xE9\x80");
  EXPECT_EQ(AnsiToWide("\xE9\x80"), u"\u00E9\u20AC");
  // What the code page lacks becomes its default character.
  EXPECT_EQ(WideToAnsi(u"\u4E2D"), "?");
  EXPECT_EQ(WideUnitToAnsi(0xD800), "?");
  EXPECT_EQ(WideUnitToAnsi(u'\u20AC'), "\x80");
}

}  // namespace
}  // namespace rd
