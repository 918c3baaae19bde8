#include <windows.h>

#include "transport/seams.h"

namespace rd::transport {

// Dispatches every message waiting for the calling thread. A quit message is
// taken but not dispatched; it is posted again and the pump stops, so the
// host's own message loop still sees it once the exchange is over.
void PlatformPumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace rd::transport
