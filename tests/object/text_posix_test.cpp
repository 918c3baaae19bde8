// The Linux host chooses a process-wide single-byte code page.
#include <gtest/gtest.h>

#include "raroredoziri/Text.h"

namespace rd {
namespace {

class CodePageTest : public ::testing::Test {
 protected:
  void TearDown() override { ASSERT_TRUE(SetCodePage(1252)); }
};

TEST_F(CodePageTest, DefaultIsWindows1252) { EXPECT_EQ(CodePage(), 1252u); }

TEST_F(CodePageTest, CyrillicCodePages) {
  ASSERT_TRUE(SetCodePage(1251));
  EXPECT_EQ(CodePage(), 1251u);
  EXPECT_EQ(WideToAnsi(u"\u041C\u043E\u043B\u043E\u043A\u043E"), "\xCC\xEE\xEB\xEE\xEA\xEE");
  EXPECT_EQ(AnsiToWide("\xCC\xEE"), u"\u041C\u043E");
  EXPECT_EQ(WideToAnsi(u"\u00E9"), "?") << "1251 has no e-acute";
  ASSERT_TRUE(SetCodePage(866));
  EXPECT_EQ(WideToAnsi(u"\u041C"), "\x8C");
}

TEST_F(CodePageTest, UnknownOrMultiByteCodePagesAreRefused) {
  EXPECT_FALSE(SetCodePage(12345));
  EXPECT_FALSE(SetCodePage(932)) << "only single-byte code pages";
  EXPECT_FALSE(SetCodePage(65001));
  EXPECT_EQ(CodePage(), 1252u) << "a refused code page changes nothing";
}

}  // namespace
}  // namespace rd
