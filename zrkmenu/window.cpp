#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "desk/clock.h"
#include "desk/gdi.h"
#include "desk/log.h"
#include "desk/thread.h"
#include "zrkmenu/zrkmenu.h"

namespace zrkmenu {

using namespace desk;

const char16_t kMenuClassName[] = u"ZRK$$$MenuClass";

namespace {
bool g_classRegistered = false;
}

RECT workAreaAt(int px, int py) {
  MONITORINFO info;
  HMONITOR monitor = MonitorFromPoint(POINT{px, py}, MONITOR_DEFAULTTONEAREST);
  if (monitor && GetMonitorInfo(monitor, &info)) return info.rcWork;
  return RECT{0, 0, 0, 0};
}

bool ZrkMenu::frameFits() const {
  const int64_t s = shadowSize();
  return gfx::validSize(int64_t{width} + 2 * s, int64_t{height} + 2 * s);
}

void ZrkMenu::createWindow() {
  if (hwnd) return;
  measure();
  if (!g_classRegistered) {
    WNDCLASSEX wc;
    wc.cbSize = 80;
    wc.lpfnWndProc = &ZrkMenu::staticWndProc;
    wc.lpszClassName = kMenuClassName;
    if (!RegisterClassEx(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      throw std::runtime_error("Window class registration failed: " +
                               std::to_string(GetLastError()));
    }
    g_classRegistered = true;
  }
  const int s = shadowSize();
  // Without an owner window the menu is a top-level window of its own (the platform layer's
  // desktop is no window to own one).
  HWND owner = IsWindow(parentWindow) ? parentWindow : nullptr;
  // WS_EX_NOACTIVATE: the platform layer decides activation on a click by this style.
  HWND created = CreateWindowEx(WS_EX_LAYERED | WS_EX_TOPMOST | WS_EX_NOACTIVATE, kMenuClassName, u"", WS_POPUP, x,
                                y, width + 2 * s, 1, owner, nullptr, instance, this);
  if (!IsWindow(created)) {
    throw std::runtime_error("Window creation failed: " + std::to_string(GetLastError()));
  }
  hwnd = created;
  SetWindowPos(hwnd, nullptr, x, y, width + 2 * s, 0, SWP_NOZORDER | SWP_NOACTIVATE);
}

void ZrkMenu::place(int& px, int& py, const int* anchorX, int itemHeight) {
  const int w = width, h = height;
  const int s = shadowSize();
  const RECT wa = workAreaAt(px, py);
  scrolling = false;
  firstVisible = 0;
  effectiveFlags = flags;
  if (flags & TPM_RIGHTALIGN) {
    if (px - w < wa.left) {
      effectiveFlags &= ~TPM_RIGHTALIGN;
    } else {
      px = px - s / 2 - w;
    }
  }
  if (flags & TPM_BOTTOMALIGN) {
    if (py - h < wa.top) effectiveFlags &= ~TPM_BOTTOMALIGN;
    py = py - h - s / 2;
  } else if (py + h > wa.bottom) {
    effectiveFlags |= TPM_BOTTOMALIGN;
    py = py + itemHeight;
  }
  if (px + w + s > wa.right) px = anchorX ? (*anchorX - w) : (px - w - s);
  if (py + h + s > wa.bottom) py = py - h;
  if (h > wa.bottom - arrowHeight - wa.top) {
    scrolling = true;
    py = wa.top;
    effectiveFlags &= ~TPM_BOTTOMALIGN;
    height = wa.bottom - arrowHeight - wa.top;
  } else if (py < wa.top) {
    py = wa.top;
  }
}

void ZrkMenu::showAt(int px, int py, HWND owner, int showFlags, const int* anchorX,
                     int itemHeight) {
  startup();
  flags = showFlags;
  parentWindow = owner;
  if (!hwnd) {
    createWindow();
  } else if (needsMeasure()) {
    // The rows or the style changed since the last showing.
    measure();
  } else {
    // Unchanged: the last measuring holds; placement may have cut the height last time.
    width = measuredWidth_;
    height = measuredHeight_;
  }
  place(px, py, anchorX, itemHeight);
  if (!frameFits()) {
    logFormat(1, "popup menu %s: a %dx%d frame is too large to draw", id.c_str(), width,
              height);
    throw std::length_error("popup menu frame too large");
  }
  const std::string shadowSig = [&] {
    char sig[64];
    std::snprintf(sig, sizeof sig, "%d:%d:%d:%u:%d", width, height, shadowSize(), shadowColor(),
                  borderRadius());
    return std::string(sig);
  }();
  if (!shadowBitmap || shadowSig != shadowSignature_) buildShadow();
  const int s = shadowSize();
  x = px - originOffset;
  y = py - originOffset;
  if (!isSubmenu) {
    x += s;
    y += s;
  }
  animation.start = GetTickCount();
  animation.from = animation.to = POINT{x, y};
  animation.finalWidth = width;
  animation.finalHeight = height;
  animation.duration = animationMs;
  done = false;
  SetWindowPos(hwnd, nullptr, x, y, width, animationMs > 0 ? 1 : height,
               SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
  if (animationMs > 0) {
    prepareAnimationFrame();
    SetTimer(hwnd, ANIMATION_TIMER, ANIMATION_TICK_MS, nullptr);
  } else {
    present(width + 2 * s, height + 2 * s);
  }
}

void ZrkMenu::animationTick() {
  if (done) return;
  const float p = static_cast<float>(GetTickCount() - animation.start) /
                  static_cast<float>(animation.duration > 0 ? animation.duration : 1);
  if (p >= 1.0f) {
    KillTimer(hwnd, ANIMATION_TIMER);
    SetWindowPos(hwnd, nullptr, animation.to.x, animation.to.y, animation.finalWidth,
                 animation.finalHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    releaseAnimationFrame();
    const int s = shadowSize();
    present(width + 2 * s, height + 2 * s);
    return;
  }
  const int curH = static_cast<int>(static_cast<float>(animation.finalHeight) * p);
  const int yy = (effectiveFlags & TPM_BOTTOMALIGN)
                     ? animation.from.y + animation.finalHeight - curH
                     : animation.to.y;
  SetWindowPos(hwnd, nullptr, animation.to.x, yy, width, curH, SWP_NOZORDER | SWP_NOACTIVATE);
  presentAnimationFrame(width + 2 * shadowSize(), curH);
}

void ZrkMenu::prepareAnimationFrame() {
  releaseAnimationFrame();
  const int s = shadowSize();
  KeptFrame frame;
  frame.width = width + 2 * s;
  frame.height = height + 2 * s;
  // A visible height other than `height`: the animation's frame has no border.
  frame.pixels = renderPremultiplied(frame.width, frame.height, height + 2 * s);
  if (frame.pixels.empty()) return;
  animationFrame_ = std::move(frame);
}

void ZrkMenu::presentAnimationFrame(int cx, int cy) {
  if (!animationFrame_) prepareAnimationFrame();
  if (!animationFrame_ || !hwnd) return;
  cx = std::min(cx, animationFrame_->width);
  cy = std::min(cy, animationFrame_->height);
  if (cx <= 0 || cy <= 0) return;
  RECT wr;
  GetWindowRect(hwnd, &wr);
  LayeredFrame frame;
  frame.width = cx;
  frame.height = cy;
  frame.position = POINT{wr.left, wr.top};
  frame.pixels.resize(static_cast<size_t>(cx) * cy);
  for (int yy = 0; yy < cy; ++yy)
    std::copy_n(&animationFrame_->pixels[static_cast<size_t>(yy) * animationFrame_->width], cx,
                &frame.pixels[static_cast<size_t>(yy) * cx]);
  UpdateLayeredWindowFrame(hwnd, frame);
}

void ZrkMenu::releaseAnimationFrame() { animationFrame_.reset(); }

void ZrkMenu::present(int cx, int cy) {
  if (!hwnd || !gfx::validSize(cx, cy)) return;
  RECT wr;
  GetWindowRect(hwnd, &wr);
  LayeredFrame& frame = presented_;
  if (!renderPremultipliedInto(frame.pixels, cx, cy, 0)) return;
  frame.width = cx;
  frame.height = cy;
  frame.position = POINT{wr.left, wr.top};
  UpdateLayeredWindowFrame(hwnd, frame);
  // The pushed frame sets the window's size.
  if (wr.right - wr.left != cx || wr.bottom - wr.top != cy) {
    SetWindowPos(hwnd, nullptr, 0, 0, cx, cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW);
  }
}

void ZrkMenu::hide() {
  hoverIndex = -1;
  releaseAnimationFrame();
  if (!IsWindow(hwnd)) return;
  KillTimer(hwnd, ANIMATION_TIMER);
  KillTimer(hwnd, SUBMENU_TIMER);
  for (auto& item : items) {
    if (item->submenu && item->submenu.get() != this) item->submenu->hide();
  }
  AnimateWindow(hwnd, 100, AW_HIDE | AW_BLEND);
  ShowWindow(hwnd, SW_HIDE);
  if (openSubmenu) {
    openSubmenu->hide();
    openSubmenu = nullptr;
  }
}

LRESULT ZrkMenu::staticWndProc(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCT*>(lParam);
    SetWindowLongPtr(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    return 1;
  }
  auto* menu = reinterpret_cast<ZrkMenu*>(GetWindowLongPtr(h, GWLP_USERDATA));
  if (!menu) return DefWindowProc(h, message, wParam, lParam);
  return menu->wndProc(h, message, wParam, lParam);
}

}  // namespace zrkmenu
