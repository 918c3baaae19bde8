// The Windows message pump that runs during serial waits.
#include <gtest/gtest.h>

#include "raroredoziri/Transport.h"
#include "transport/message_window.h"

namespace rd {
namespace {

bool QueueEmpty() {
  MSG msg;
  return !PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

TEST(MessagePump, DispatchesEveryWaitingMessage) {
  test::MessageWindow window;
  for (int i = 0; i < 3; ++i) PostMessageA(window.Handle(), WM_APP + i, 0, 0);
  PumpMessages();
  EXPECT_EQ(window.Seen(), (std::vector<UINT>{WM_APP, WM_APP + 1, WM_APP + 2}));
  EXPECT_TRUE(QueueEmpty());
}

TEST(MessagePump, TranslatesKeystrokes) {
  test::MessageWindow window;
  PostMessageA(window.Handle(), WM_KEYDOWN, 'A', 0x001E0001);
  PumpMessages();
  EXPECT_EQ(window.Seen(), (std::vector<UINT>{WM_KEYDOWN, WM_CHAR}));
}

TEST(MessagePump, QuitIsNotDispatchedAndStaysForTheHost) {
  test::MessageWindow window;
  PostMessageA(window.Handle(), WM_APP, 0, 0);
  PostQuitMessage(7);
  PumpMessages();
  PumpMessages();  // a second pump must not lose it either
  EXPECT_EQ(window.Seen(), std::vector<UINT>{WM_APP});
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_TRUE(QueueEmpty());
}

}  // namespace
}  // namespace rd
