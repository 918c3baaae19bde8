// A message-only window that counts what is dispatched to it (Windows tests).
#pragma once

#include <windows.h>

#include <vector>

namespace rd::test {

class MessageWindow {
 public:
  MessageWindow() {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = &MessageWindow::Procedure;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = kClassName;
    RegisterClassA(&window_class);
    hwnd_ = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~MessageWindow() {
    DestroyWindow(hwnd_);
    UnregisterClassA(kClassName, GetModuleHandleA(nullptr));
  }
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  HWND Handle() const { return hwnd_; }
  // Messages dispatched to the window from WM_APP on, and keyboard ones.
  const std::vector<UINT>& Seen() const { return seen_; }

 private:
  static constexpr const char* kClassName = "RaroreDoziriTestWindow";

  static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<MessageWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self != nullptr && (message >= WM_APP || message == WM_KEYDOWN || message == WM_CHAR)) {
      self->seen_.push_back(message);
    }
    return DefWindowProcA(hwnd, message, wparam, lparam);
  }

  HWND hwnd_ = nullptr;
  std::vector<UINT> seen_;
};

}  // namespace rd::test
