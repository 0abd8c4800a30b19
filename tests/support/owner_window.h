// A plain top-level window of the layer's for tests to own dialogs, choosers and message boxes:
// visible, enabled, with the default window procedure.
#pragma once

#include "desk/window.h"

namespace pel::test {

inline desk::HWND makeOwnerWindow(int x = 0, int y = 0, int width = 400, int height = 300) {
  static const bool registered = [] {
    desk::WNDCLASSEX wc;
    wc.lpfnWndProc = [](desk::HWND h, desk::UINT m, desk::WPARAM w, desk::LPARAM l) {
      return desk::DefWindowProc(h, m, w, l);
    };
    wc.lpszClassName = u"PelTestOwner";
    desk::RegisterClassEx(&wc);
    return true;
  }();
  (void)registered;
  return desk::CreateWindowEx(0, u"PelTestOwner", u"owner", desk::WS_OVERLAPPEDWINDOW | desk::WS_VISIBLE, x, y,
                              width, height, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace pel::test
