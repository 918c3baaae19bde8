// With a multi-byte ANSI code page a character may take two bytes: the wide
// text fields are still cut to their width in bytes, never inside a
// character, so the fields behind them keep their offsets.
#include <gtest/gtest.h>
#include <windows.h>

#include "raroredoziri/Scale.h"

namespace rd {
namespace {

class ThreadLocale {
 public:
  explicit ThreadLocale(LCID lcid) : saved_(GetThreadLocale()) { ok_ = SetThreadLocale(lcid) != 0; }
  ~ThreadLocale() { SetThreadLocale(saved_); }
  bool ok() const { return ok_; }

 private:
  LCID saved_;
  bool ok_ = false;
};

TEST(CommandBodyMultiByteTest, WideFieldsAreCutBetweenCharacters) {
  ThreadLocale japanese(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT));
  if (!japanese.ok() || WideUnitToAnsi(u'\u3042').size() != 2) {
    GTEST_SKIP() << "no double-byte thread code page here";
  }
  TScale s;
  s.Goods = std::u16string(15, u'\u3042');  // 2 bytes each in code page 932
  const Bytes goods = s.CommandBody(0xA2);
  ASSERT_EQ(goods.size(), 16u);
  const std::string a = WideUnitToAnsi(u'\u3042');
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(goods[1 + 2 * i], static_cast<std::uint8_t>(a[0]));
    EXPECT_EQ(goods[2 + 2 * i], static_cast<std::uint8_t>(a[1]));
  }
  EXPECT_EQ(goods[15], 0x20) << "no half character: a space fills the last byte";

  s.RegistratorStore = u"\u3042\u3042\u3042\u3042\u3042";  // 10 bytes for 9
  s.Agent = u"7";
  const Bytes mode = s.CommandBody(0xA8);
  ASSERT_EQ(mode.size(), 20u);
  EXPECT_EQ(mode[10], 0x20);
  EXPECT_EQ(mode[11], '7') << "Agent keeps its offset";
}

}  // namespace
}  // namespace rd
