// Runs a step on the UI thread every few milliseconds until it returns true, also inside a modal
// loop (a popup menu's, a dialog's) that pumps the thread meanwhile: the way a test acts on a
// popup that is only on screen while the call that showed it has not returned.
#pragma once

#include <functional>
#include <utility>

#include "desk/message.h"
#include "desk/window.h"

namespace pel::test {

class UiTicker {
 public:
  explicit UiTicker(std::function<bool()> step) : step_(std::move(step)) {
    static const bool registered = [] {
      desk::WNDCLASSEX wc;
      wc.lpfnWndProc = &UiTicker::proc;
      wc.lpszClassName = u"PelTestUiTicker";
      desk::RegisterClassEx(&wc);
      return true;
    }();
    (void)registered;
    hwnd_ = desk::CreateWindowEx(0, u"PelTestUiTicker", u"", 0, 0, 0, 0, 0, desk::HWND_MESSAGE, nullptr,
                                 nullptr, this);
    desk::SetTimer(hwnd_, kTimer, 10, nullptr);
  }
  ~UiTicker() { desk::DestroyWindow(hwnd_); }
  UiTicker(const UiTicker&) = delete;
  UiTicker& operator=(const UiTicker&) = delete;

  // Whether the step has returned true (it runs no more).
  bool finished() const { return finished_; }

 private:
  static constexpr desk::UINT_PTR kTimer = 1;
  static desk::LRESULT proc(desk::HWND h, desk::UINT m, desk::WPARAM w, desk::LPARAM l) {
    if (m == desk::WM_NCCREATE) {
      auto* cs = reinterpret_cast<desk::CREATESTRUCT*>(l);
      desk::SetWindowLongPtr(h, desk::GWLP_USERDATA, reinterpret_cast<desk::LONG_PTR>(cs->lpCreateParams));
      return 1;
    }
    if (m == desk::WM_TIMER && w == kTimer) {
      auto* self = reinterpret_cast<UiTicker*>(desk::GetWindowLongPtr(h, desk::GWLP_USERDATA));
      if (self && !self->finished_ && self->step_()) {
        self->finished_ = true;
        desk::KillTimer(h, kTimer);
      }
      return 0;
    }
    return desk::DefWindowProc(h, m, w, l);
  }

  std::function<bool()> step_;
  desk::HWND hwnd_ = nullptr;
  bool finished_ = false;
};

}  // namespace pel::test
