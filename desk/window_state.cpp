// The window table's states: the frame model and metrics, DefWindowProc, geometry, show state,
// placement, z-order, activation, focus, capture, timers, paints, monitors and DPI.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "desk/clock.h"
#include "desk/detail/queue.h"
#include "desk/detail/windows.h"
#include "desk/message.h"
#include "desk/thread.h"

namespace desk {
namespace detail {

namespace {
int scale(int v, UINT dpi) { return MulDiv(v, static_cast<int>(dpi), 96); }

RECT unionOfMonitorsLocked() {
  Globals& g = globals();
  RECT u{0, 0, 0, 0};
  bool first = true;
  for (const Monitor& m : g.monitors) {
    if (first) {
      u = m.rect;
      first = false;
      continue;
    }
    u.left = std::min(u.left, m.rect.left);
    u.top = std::min(u.top, m.rect.top);
    u.right = std::max(u.right, m.rect.right);
    u.bottom = std::max(u.bottom, m.rect.bottom);
  }
  return u;
}

int64_t overlap(const RECT& a, const RECT& b) {
  int64_t w = std::min(a.right, b.right) - std::max(a.left, b.left);
  int64_t h = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
  return (w > 0 && h > 0) ? w * h : 0;
}

int64_t distanceSq(const RECT& a, const RECT& b) {
  int64_t dx = std::max<int64_t>({0, int64_t{b.left} - a.right, int64_t{a.left} - b.right});
  int64_t dy = std::max<int64_t>({0, int64_t{b.top} - a.bottom, int64_t{a.top} - b.bottom});
  return dx * dx + dy * dy;
}

bool contains(const RECT& r, POINT p) {
  return p.x >= r.left && p.x < r.right && p.y >= r.top && p.y < r.bottom;
}

RECT offsetRect(RECT r, int dx, int dy) {
  return RECT{r.left + dx, r.top + dy, r.right + dx, r.bottom + dy};
}

// The origin of the parent's client area in screen coordinates (0,0 for top-level windows).
POINT originLocked(const Win& w) {
  if (!w.parent) return POINT{0, 0};
  auto p = findLocked(w.parent);
  return p ? POINT{p->client.left, p->client.top} : POINT{0, 0};
}

void offsetDescendantsLocked(const Win& w, int dx, int dy) {
  for (HWND c : w.children) {
    auto cw = findLocked(c);
    if (!cw) continue;
    cw->rc = offsetRect(cw->rc, dx, dy);
    cw->client = offsetRect(cw->client, dx, dy);
    cw->restore = offsetRect(cw->restore, dx, dy);
    offsetDescendantsLocked(*cw, dx, dy);
  }
}

bool topmostLocked(HWND h) {
  auto w = findLocked(h);
  return w && (w->exStyle & WS_EX_TOPMOST);
}

// Keeps each owned window in front of its owner.
void ownedAboveOwnersLocked() {
  Globals& g = globals();
  for (int pass = 0; pass < 4; ++pass) {
    bool moved = false;
    for (size_t i = 0; i < g.top.size(); ++i) {
      auto w = findLocked(g.top[i]);
      if (!w || !w->owner) continue;
      auto ownerIt = std::find(g.top.begin(), g.top.end(), w->owner);
      if (ownerIt == g.top.end()) continue;
      size_t ownerIndex = static_cast<size_t>(ownerIt - g.top.begin());
      if (i < ownerIndex) continue;
      if (topmostLocked(w->owner)) w->exStyle |= WS_EX_TOPMOST;
      HWND h = g.top[i];
      g.top.erase(g.top.begin() + static_cast<long>(i));
      g.top.insert(g.top.begin() + static_cast<long>(ownerIndex), h);
      moved = true;
    }
    if (!moved) break;
  }
}

size_t bandEndLocked() {
  Globals& g = globals();
  size_t i = 0;
  while (i < g.top.size() && topmostLocked(g.top[i])) ++i;
  return i;
}

// Places the window in the z-order; returns whether the order changed.
bool reorderLocked(Win& w, HWND after, bool owned) {
  Globals& g = globals();
  if (w.messageOnly) return false;
  std::shared_ptr<Win> parent = w.parent ? findLocked(w.parent) : nullptr;
  if (w.parent && !parent) return false;
  std::vector<HWND>& list = parent ? parent->children : g.top;
  std::vector<HWND> before = list;
  auto it = std::find(list.begin(), list.end(), w.hwnd);
  if (it == list.end()) return false;
  list.erase(it);
  if (w.parent) {
    if (after == HWND_BOTTOM) {
      list.push_back(w.hwnd);
    } else if (after == HWND_TOP || after == HWND_TOPMOST || after == HWND_NOTOPMOST) {
      list.insert(list.begin(), w.hwnd);
    } else {
      auto a = std::find(list.begin(), list.end(), after);
      list.insert(a == list.end() ? list.begin() : a + 1, w.hwnd);
    }
    return list != before;
  }
  if (after == HWND_TOPMOST) w.exStyle |= WS_EX_TOPMOST;
  if (after == HWND_NOTOPMOST || after == HWND_BOTTOM) w.exStyle &= ~WS_EX_TOPMOST;
  size_t band = bandEndLocked();
  size_t pos;
  bool top = (w.exStyle & WS_EX_TOPMOST) != 0;
  if (after == HWND_BOTTOM) {
    pos = list.size();
  } else if (after == HWND_TOP || after == HWND_TOPMOST || after == HWND_NOTOPMOST) {
    pos = top ? 0 : band;
  } else {
    auto a = std::find(list.begin(), list.end(), after);
    pos = a == list.end() ? (top ? 0 : band) : static_cast<size_t>(a - list.begin()) + 1;
    pos = top ? std::min(pos, band) : std::max(pos, band);
  }
  list.insert(list.begin() + static_cast<long>(std::min(pos, list.size())), w.hwnd);
  (void)owned;
  ownedAboveOwnersLocked();
  return list != before;
}

thread_local int t_dpiDepth = 0;

bool setWindowPosOwn(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags);

}  // namespace

void removeFromZLocked(HWND hwnd) {
  auto& t = globals().top;
  t.erase(std::remove(t.begin(), t.end(), hwnd), t.end());
}

const Monitor* primaryLocked() {
  Globals& g = globals();
  for (const Monitor& m : g.monitors)
    if (m.primary) return &m;
  return g.monitors.empty() ? nullptr : &g.monitors.front();
}

const Monitor* monitorForRectLocked(const RECT& r, DWORD flags) {
  Globals& g = globals();
  const Monitor* best = nullptr;
  int64_t bestArea = 0;
  for (const Monitor& m : g.monitors) {
    int64_t a = overlap(r, m.rect);
    if (a > bestArea) {
      best = &m;
      bestArea = a;
    }
  }
  if (best) return best;
  if (r.left == r.right || r.top == r.bottom) {
    // An empty rectangle: the monitor holding its corner.
    for (const Monitor& m : g.monitors)
      if (contains(m.rect, POINT{r.left, r.top})) return &m;
  }
  if (flags == MONITOR_DEFAULTTOPRIMARY) return primaryLocked();
  if (flags != MONITOR_DEFAULTTONEAREST) return nullptr;
  int64_t bestDist = INT64_MAX;
  for (const Monitor& m : g.monitors) {
    int64_t d = distanceSq(r, m.rect);
    if (d < bestDist) {
      best = &m;
      bestDist = d;
    }
  }
  return best;
}

const Monitor* monitorByHandleLocked(HMONITOR h) {
  for (const Monitor& m : globals().monitors)
    if (reinterpret_cast<HMONITOR>(m.id) == h) return &m;
  return nullptr;
}

HMONITOR monitorHandle(const Monitor& m) { return reinterpret_cast<HMONITOR>(m.id); }

int metricForDpi(int index, UINT dpi) {
  Globals& g = globals();
  const Monitor* prim = primaryLocked();
  RECT pr = prim ? prim->rect : RECT{0, 0, 1920, 1080};
  RECT pw = prim ? prim->work : pr;
  int frame = scale(4, dpi) + scale(4, dpi);
  switch (index) {
    case SM_CXSCREEN: return pr.right - pr.left;
    case SM_CYSCREEN: return pr.bottom - pr.top;
    case SM_CXVSCROLL:
    case SM_CYHSCROLL: return scale(17, dpi);
    case SM_CYCAPTION: return scale(23, dpi);
    case SM_CXBORDER:
    case SM_CYBORDER: return 1;
    case SM_CXFIXEDFRAME:
    case SM_CYFIXEDFRAME: return scale(3, dpi);
    case SM_CXICON:
    case SM_CYICON: return scale(32, dpi);
    case SM_CYMENU: return scale(20, dpi);
    case SM_CXFULLSCREEN: return pw.right - pw.left;
    case SM_CYFULLSCREEN: return pw.bottom - pw.top - scale(23, dpi);
    case SM_CXMIN: return scale(136, dpi);
    case SM_CYMIN: return scale(39, dpi);
    case SM_CXSIZE:
    case SM_CYSIZE: return scale(36, dpi);
    case SM_CXSIZEFRAME:
    case SM_CYSIZEFRAME: return scale(4, dpi);
    case SM_CXMINTRACK: return scale(136, dpi);
    case SM_CYMINTRACK: return scale(39, dpi);
    case SM_CXEDGE:
    case SM_CYEDGE: return scale(2, dpi);
    case SM_CXSMICON:
    case SM_CYSMICON: return scale(16, dpi);
    case SM_CXMAXTRACK: {
      RECT u = unionOfMonitorsLocked();
      return u.right - u.left + 2 * frame;
    }
    case SM_CYMAXTRACK: {
      RECT u = unionOfMonitorsLocked();
      return u.bottom - u.top + 2 * frame;
    }
    case SM_CXMAXIMIZED: return pw.right - pw.left + 2 * frame;
    case SM_CYMAXIMIZED: return pw.bottom - pw.top + 2 * frame;
    case SM_XVIRTUALSCREEN: return unionOfMonitorsLocked().left;
    case SM_YVIRTUALSCREEN: return unionOfMonitorsLocked().top;
    case SM_CXVIRTUALSCREEN: {
      RECT u = unionOfMonitorsLocked();
      return u.right - u.left;
    }
    case SM_CYVIRTUALSCREEN: {
      RECT u = unionOfMonitorsLocked();
      return u.bottom - u.top;
    }
    case SM_CMONITORS: return static_cast<int>(g.monitors.size());
    case SM_CXPADDEDBORDER: return scale(4, dpi);
    default: return 0;
  }
}

// The non-client insets of a window with these styles at this DPI: left, top, right and bottom
// frame widths.
RECT frameInsets(DWORD style, DWORD exStyle, bool menu, UINT dpi) {
  int b = 0;
  if (exStyle & WS_EX_CLIENTEDGE) b += scale(2, dpi);
  if (exStyle & WS_EX_STATICEDGE) b += 1;
  if (style & WS_THICKFRAME) {
    b += scale(4, dpi) + scale(4, dpi);
  } else if ((style & WS_CAPTION) == WS_DLGFRAME || (style & WS_CAPTION) == WS_CAPTION ||
             (exStyle & WS_EX_DLGMODALFRAME)) {
    b += scale(3, dpi);
  } else if (style & WS_BORDER) {
    b += 1;
  }
  int top = b;
  if ((style & WS_CAPTION) == WS_CAPTION)
    top += (exStyle & WS_EX_TOOLWINDOW) ? scale(15, dpi) : scale(23, dpi);
  if (menu) top += scale(20, dpi);
  return RECT{b, top, b, b};
}

MINMAXINFO minMaxInfo(HWND hwnd) {
  MINMAXINFO mmi{};
  {
    Globals& g = globals();
    std::lock_guard<std::mutex> guard(g.m);
    auto w = findLocked(hwnd);
    if (!w) return mmi;
    RECT basis = (w->style & (WS_MINIMIZE | WS_MAXIMIZE)) ? w->restore : w->rc;
    const Monitor* mon = monitorForRectLocked(basis, MONITOR_DEFAULTTONEAREST);
    RECT work = mon ? mon->work : RECT{0, 0, 1920, 1040};
    RECT mrect = mon ? mon->rect : work;
    UINT dpi = w->dpi;
    RECT in = frameInsets(w->style & ~WS_CAPTION, w->exStyle & ~WS_EX_CLIENTEDGE, false, dpi);
    if ((w->style & WS_CAPTION) == WS_CAPTION) {
      RECT f = frameInsets(w->style, w->exStyle & ~WS_EX_CLIENTEDGE, false, dpi);
      in.left = f.left;
      in.right = f.right;
      in.bottom = f.bottom;
      in.top = f.left;
    }
    mmi.ptMaxSize = POINT{work.right - work.left + in.left + in.right,
                          work.bottom - work.top + in.top + in.bottom};
    mmi.ptMaxPosition = POINT{work.left - mrect.left - in.left, work.top - mrect.top - in.top};
    mmi.ptMinTrackSize = POINT{metricForDpi(SM_CXMINTRACK, dpi), metricForDpi(SM_CYMINTRACK, dpi)};
    mmi.ptMaxTrackSize = POINT{metricForDpi(SM_CXMAXTRACK, dpi), metricForDpi(SM_CYMAXTRACK, dpi)};
  }
  SendMessage(hwnd, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&mmi));
  return mmi;
}

void dropWindowInputLocked(HWND hwnd) {
  Globals& g = globals();
  for (auto& [t, in] : g.input) {
    if (in.active == hwnd) in.active = nullptr;
    if (in.focus == hwnd) in.focus = nullptr;
  }
  if (g.foreground == hwnd) g.foreground = nullptr;
  if (g.capture == hwnd) g.capture = nullptr;
}

void activate(HWND hwnd, bool foreground) {
  Globals& g = globals();
  DWORD self = GetCurrentThreadId();
  HWND old = nullptr;
  HWND prevForeground = nullptr;
  bool zChanged = false;
  {
    std::lock_guard<std::mutex> guard(g.m);
    auto w = findLocked(hwnd);
    if (!w || w->parent || w->messageOnly) return;
    ThreadInput& in = g.input[self];
    old = in.active;
    prevForeground = g.foreground;
    if (old == hwnd && (!foreground || prevForeground == hwnd)) return;
    in.active = hwnd;
    if (foreground) g.foreground = hwnd;
    zChanged = reorderLocked(*w, HWND_TOP, true);
  }
  if (zChanged) emitZOrder();
  // Foreground coming from another thread (or from outside: none) tells this thread's window with
  // WM_ACTIVATEAPP after the other thread's window has been told it lost it.
  DWORD prevThread = prevForeground ? threadOf(prevForeground) : 0;
  bool appChange = foreground && prevForeground != hwnd && (!prevForeground || prevThread != self);
  if (appChange && prevForeground && prevThread && prevForeground != old) {
    {
      std::lock_guard<std::mutex> guard(g.m);
      ThreadInput& other = g.input[prevThread];
      if (other.active == prevForeground) other.active = nullptr;
    }
    SendMessage(prevForeground, WM_NCACTIVATE, 0, 0);
    SendMessage(prevForeground, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(hwnd));
    SendMessage(prevForeground, WM_ACTIVATEAPP, 0, static_cast<LPARAM>(self));
  }
  if (appChange) SendMessage(hwnd, WM_ACTIVATEAPP, 1, static_cast<LPARAM>(prevThread));
  if (old && old != hwnd && IsWindow(old)) {
    SendMessage(old, WM_NCACTIVATE, 0, 0);
    SendMessage(old, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(hwnd));
  }
  if (old == hwnd) return;
  SendMessage(hwnd, WM_NCACTIVATE, 1, 0);
  SendMessage(hwnd, WM_ACTIVATE, WA_ACTIVE, reinterpret_cast<LPARAM>(old));
}

void refreshDpiAfterMove(HWND hwnd) {
  Globals& g = globals();
  if (t_dpiDepth > 0) return;
  RECT suggested;
  UINT next;
  {
    std::lock_guard<std::mutex> guard(g.m);
    auto w = findLocked(hwnd);
    if (!w || w->parent || w->messageOnly || g.perMonitorOff) return;
    if (w->style & WS_MINIMIZE) return;
    const Monitor* mon = monitorForRectLocked(w->rc, MONITOR_DEFAULTTONEAREST);
    if (!mon || mon->dpi == w->dpi) return;
    UINT old = w->dpi;
    next = mon->dpi;
    int width = w->rc.right - w->rc.left;
    int height = w->rc.bottom - w->rc.top;
    suggested = RECT{w->rc.left, w->rc.top,
                     w->rc.left + MulDiv(width, static_cast<int>(next), static_cast<int>(old)),
                     w->rc.top + MulDiv(height, static_cast<int>(next), static_cast<int>(old))};
    w->dpi = next;
    std::vector<HWND> stack = w->children;
    while (!stack.empty()) {
      auto c = findLocked(stack.back());
      stack.pop_back();
      if (!c) continue;
      c->dpi = next;
      stack.insert(stack.end(), c->children.begin(), c->children.end());
    }
  }
  emitChanged(hwnd);
  ++t_dpiDepth;
  SendMessage(hwnd, WM_DPICHANGED, MAKEWPARAM(static_cast<int>(next), static_cast<int>(next)),
              reinterpret_cast<LPARAM>(&suggested));
  --t_dpiDepth;
}

namespace {

bool setWindowPosOwn(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags) {
  Globals& g = globals();
  WINDOWPOS wp;
  wp.hwnd = hwnd;
  wp.hwndInsertAfter = after;
  wp.flags = flags;
  RECT oldRc, oldClient;
  POINT origin;
  bool wasVisible;
  bool topLevel;
  {
    std::lock_guard<std::mutex> guard(g.m);
    auto w = findLocked(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    origin = originLocked(*w);
    oldRc = w->rc;
    oldClient = w->client;
    wasVisible = (w->style & WS_VISIBLE) != 0;
    topLevel = !w->parent && !w->messageOnly;
  }
  wp.x = (flags & SWP_NOMOVE) ? oldRc.left - origin.x : x;
  wp.y = (flags & SWP_NOMOVE) ? oldRc.top - origin.y : y;
  wp.cx = (flags & SWP_NOSIZE) ? oldRc.right - oldRc.left : std::max(cx, 0);
  wp.cy = (flags & SWP_NOSIZE) ? oldRc.bottom - oldRc.top : std::max(cy, 0);
  if (wasVisible && (flags & SWP_SHOWWINDOW)) wp.flags &= ~SWP_SHOWWINDOW;
  if (!wasVisible && (flags & SWP_HIDEWINDOW)) wp.flags &= ~SWP_HIDEWINDOW;
  if (!(flags & SWP_NOSENDCHANGING))
    SendMessage(hwnd, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&wp));
  if (!IsWindow(hwnd)) return false;
  RECT newRc{origin.x + wp.x, origin.y + wp.y, origin.x + wp.x + std::max(wp.cx, 0),
             origin.y + wp.y + std::max(wp.cy, 0)};
  bool sized = (newRc.right - newRc.left) != (oldRc.right - oldRc.left) ||
               (newRc.bottom - newRc.top) != (oldRc.bottom - oldRc.top);
  RECT newClient;
  if (sized || (wp.flags & SWP_FRAMECHANGED)) {
    NCCALCSIZE_PARAMS p;
    p.rgrc[0] = offsetRect(newRc, -origin.x, -origin.y);
    p.rgrc[1] = offsetRect(oldRc, -origin.x, -origin.y);
    p.rgrc[2] = offsetRect(oldClient, -origin.x, -origin.y);
    p.lppos = &wp;
    SendMessage(hwnd, WM_NCCALCSIZE, 1, reinterpret_cast<LPARAM>(&p));
    newClient = offsetRect(p.rgrc[0], origin.x, origin.y);
  } else {
    newClient = offsetRect(oldClient, newRc.left - oldRc.left, newRc.top - oldRc.top);
  }
  if (!IsWindow(hwnd)) return false;
  bool zChanged = false;
  bool nowVisible;
  {
    std::lock_guard<std::mutex> guard(g.m);
    auto w = findLocked(hwnd);
    if (!w) return false;
    int dx = newClient.left - w->client.left;
    int dy = newClient.top - w->client.top;
    w->rc = newRc;
    w->client = newClient;
    if (!(w->style & (WS_MINIMIZE | WS_MAXIMIZE))) w->restore = newRc;
    if (dx || dy) offsetDescendantsLocked(*w, dx, dy);
    if (wp.flags & SWP_SHOWWINDOW) w->style |= WS_VISIBLE;
    if (wp.flags & SWP_HIDEWINDOW) w->style &= ~WS_VISIBLE;
    nowVisible = (w->style & WS_VISIBLE) != 0;
    if (!(wp.flags & SWP_NOZORDER)) zChanged = reorderLocked(*w, wp.hwndInsertAfter, true);
  }
  if (newClient.left == oldClient.left && newClient.top == oldClient.top)
    wp.flags |= SWP_NOCLIENTMOVE;
  if ((newClient.right - newClient.left) == (oldClient.right - oldClient.left) &&
      (newClient.bottom - newClient.top) == (oldClient.bottom - oldClient.top))
    wp.flags |= SWP_NOCLIENTSIZE;
  emitChanged(hwnd);
  if (zChanged) emitZOrder();
  // Activation comes before the window hears of its new position, as on the platform.
  if (topLevel && nowVisible && !(flags & SWP_NOACTIVATE) &&
      ((wp.flags & SWP_SHOWWINDOW) || !(flags & SWP_NOZORDER))) {
    DWORD ex = static_cast<DWORD>(GetWindowLongPtr(hwnd, GWL_EXSTYLE));
    if (!(ex & WS_EX_NOACTIVATE)) activate(hwnd, true);
    if (!IsWindow(hwnd)) return true;
  }
  SendMessage(hwnd, WM_WINDOWPOSCHANGED, 0, reinterpret_cast<LPARAM>(&wp));
  if (!IsWindow(hwnd)) return true;
  if ((sized || (wp.flags & SWP_SHOWWINDOW) || (wp.flags & SWP_FRAMECHANGED)) &&
      !(flags & SWP_NOREDRAW) && nowVisible)
    invalidate(GetCurrentThreadId(), hwnd);
  if (topLevel && (wp.flags & SWP_HIDEWINDOW)) {
    // A hidden active window hands activation on.
    HWND next = nullptr;
    bool wasActive = false;
    {
      std::lock_guard<std::mutex> guard(g.m);
      ThreadInput& in = g.input[GetCurrentThreadId()];
      if (in.active == hwnd) {
        wasActive = true;
        auto w = findLocked(hwnd);
        HWND owner = w ? w->owner : nullptr;
        auto o = owner ? findLocked(owner) : nullptr;
        if (o && (o->style & WS_VISIBLE)) next = owner;
        for (HWND t : g.top) {
          if (next) break;
          auto c = findLocked(t);
          if (c && t != hwnd && (c->style & WS_VISIBLE) && !(c->style & WS_DISABLED) &&
              c->thread == GetCurrentThreadId())
            next = t;
        }
      }
    }
    if (wasActive) {
      if (next) {
        activate(next, true);
      } else {
        {
          std::lock_guard<std::mutex> guard(g.m);
          ThreadInput& in = g.input[GetCurrentThreadId()];
          in.active = nullptr;
          if (g.foreground == hwnd) g.foreground = nullptr;
        }
        SendMessage(hwnd, WM_NCACTIVATE, 0, 0);
        SendMessage(hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
      }
    }
  }
  if (topLevel && (!(flags & SWP_NOMOVE) || !(flags & SWP_NOSIZE))) refreshDpiAfterMove(hwnd);
  return true;
}

LRESULT hitTest(HWND hwnd, POINT pt) {
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  auto w = findLocked(hwnd);
  if (!w) return HTNOWHERE;
  if (!contains(w->rc, pt)) return HTNOWHERE;
  if (contains(w->client, pt)) return HTCLIENT;
  if ((w->style & WS_THICKFRAME) && !(w->style & (WS_MAXIMIZE | WS_MINIMIZE))) {
    int b = scale(4, w->dpi) + scale(4, w->dpi);
    int corner = metricForDpi(SM_CYCAPTION, w->dpi) + b;
    bool left = pt.x < w->rc.left + b, right = pt.x >= w->rc.right - b;
    bool top = pt.y < w->rc.top + b, bottom = pt.y >= w->rc.bottom - b;
    bool nearLeft = pt.x < w->rc.left + corner, nearRight = pt.x >= w->rc.right - corner;
    bool nearTop = pt.y < w->rc.top + corner, nearBottom = pt.y >= w->rc.bottom - corner;
    if ((top && nearLeft) || (left && nearTop)) return HTTOPLEFT;
    if ((top && nearRight) || (right && nearTop)) return HTTOPRIGHT;
    if ((bottom && nearLeft) || (left && nearBottom)) return HTBOTTOMLEFT;
    if ((bottom && nearRight) || (right && nearBottom)) return HTBOTTOMRIGHT;
    if (left) return HTLEFT;
    if (right) return HTRIGHT;
    if (top) return HTTOP;
    if (bottom) return HTBOTTOM;
  }
  if ((w->style & WS_CAPTION) == WS_CAPTION && pt.y < w->client.top) return HTCAPTION;
  return HTBORDER;
}

bool showOwn(HWND hwnd, int cmd, bool keepRestore);

}  // namespace

}  // namespace detail

using namespace detail;

// ---- DefWindowProc -------------------------------------------------------------------------------

LRESULT DefWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Globals& g = globals();
  switch (message) {
    case WM_NCCREATE: {
      auto* cs = reinterpret_cast<CREATESTRUCT*>(lParam);
      if (cs && cs->lpszName && reinterpret_cast<uintptr_t>(cs->lpszName) >= 0x10000) {
        std::lock_guard<std::mutex> guard(g.m);
        if (auto w = findLocked(hwnd)) w->text = cs->lpszName;
      }
      return 1;
    }
    case WM_NCCALCSIZE: {
      RECT* r = wParam ? &reinterpret_cast<NCCALCSIZE_PARAMS*>(lParam)->rgrc[0]
                       : reinterpret_cast<RECT*>(lParam);
      if (!r) return 0;
      std::lock_guard<std::mutex> guard(g.m);
      auto w = findLocked(hwnd);
      if (!w) return 0;
      if (w->style & WS_MINIMIZE) {
        r->right = r->left;
        r->bottom = r->top;
        return 0;
      }
      RECT in = frameInsets(w->style, w->exStyle, false, w->dpi);
      r->left += in.left;
      r->top += in.top;
      r->right -= in.right;
      r->bottom -= in.bottom;
      if (r->right < r->left) r->right = r->left;
      if (r->bottom < r->top) r->bottom = r->top;
      return 0;
    }
    case WM_NCHITTEST: return hitTest(hwnd, POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
    case WM_CLOSE: DestroyWindow(hwnd); return 0;
    case WM_SYSCOMMAND:
      switch (wParam & 0xFFF0) {
        case SC_CLOSE: SendMessage(hwnd, WM_CLOSE, 0, 0); break;
        case SC_MINIMIZE: ShowWindow(hwnd, SW_MINIMIZE); break;
        case SC_MAXIMIZE: ShowWindow(hwnd, SW_MAXIMIZE); break;
        case SC_RESTORE: ShowWindow(hwnd, SW_RESTORE); break;
        default: break;
      }
      return 0;
    case WM_SYSKEYDOWN:
      if (wParam == static_cast<WPARAM>(VK_F4)) {
        HWND root = GetAncestor(hwnd, GA_ROOT);
        if (root) SendMessage(root, WM_SYSCOMMAND, SC_CLOSE, 0);
      }
      return 0;
    case WM_WINDOWPOSCHANGING: {
      auto* wp = reinterpret_cast<WINDOWPOS*>(lParam);
      if (!wp || (wp->flags & SWP_NOSIZE)) return 0;
      DWORD style;
      {
        std::lock_guard<std::mutex> guard(g.m);
        auto w = findLocked(hwnd);
        if (!w || w->parent) return 0;
        style = w->style;
      }
      if (style & WS_MINIMIZE) return 0;
      if (!(style & WS_THICKFRAME) && (style & (WS_POPUP | WS_CHILD))) return 0;
      MINMAXINFO mmi = minMaxInfo(hwnd);
      wp->cx = std::max(std::min(wp->cx, mmi.ptMaxTrackSize.x), mmi.ptMinTrackSize.x);
      wp->cy = std::max(std::min(wp->cy, mmi.ptMaxTrackSize.y), mmi.ptMinTrackSize.y);
      return 0;
    }
    case WM_WINDOWPOSCHANGED: {
      auto* wp = reinterpret_cast<WINDOWPOS*>(lParam);
      if (!wp) return 0;
      RECT client;
      POINT origin;
      DWORD style;
      {
        std::lock_guard<std::mutex> guard(g.m);
        auto w = findLocked(hwnd);
        if (!w) return 0;
        client = w->client;
        origin = originLocked(*w);
        style = w->style;
      }
      if (!(wp->flags & SWP_NOCLIENTMOVE))
        SendMessage(hwnd, WM_MOVE, 0, MAKELPARAM(client.left - origin.x, client.top - origin.y));
      if (!(wp->flags & SWP_NOCLIENTSIZE)) {
        WPARAM type = (style & WS_MINIMIZE)   ? SIZE_MINIMIZED
                      : (style & WS_MAXIMIZE) ? SIZE_MAXIMIZED
                                              : SIZE_RESTORED;
        SendMessage(hwnd, WM_SIZE, type,
                    MAKELPARAM(client.right - client.left, client.bottom - client.top));
      }
      return 0;
    }
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE && !IsIconic(hwnd)) {
        HWND focus = GetFocus();
        if (focus != hwnd && !IsChild(hwnd, focus)) SetFocus(hwnd);
      }
      return 0;
    case WM_SETTEXT: {
      auto* text = reinterpret_cast<const char16_t*>(lParam);
      {
        std::lock_guard<std::mutex> guard(g.m);
        auto w = findLocked(hwnd);
        if (!w) return 0;
        w->text = text ? text : u"";
      }
      emitChanged(hwnd);
      return 1;
    }
    case WM_GETTEXT: {
      auto* buffer = reinterpret_cast<char16_t*>(lParam);
      return GetWindowText(hwnd, buffer, static_cast<int>(wParam));
    }
    case WM_GETTEXTLENGTH: return GetWindowTextLength(hwnd);
    case WM_PAINT: validate(GetCurrentThreadId(), hwnd); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_NCACTIVATE: return 1;
    case WM_MOUSEACTIVATE: return MA_ACTIVATE;
    case WM_CANCELMODE:
      if (GetCapture() == hwnd) ReleaseCapture();
      return 0;
    case WM_SETICON: {
      HICON previous;
      {
        std::lock_guard<std::mutex> guard(g.m);
        auto w = findLocked(hwnd);
        if (!w) return 0;
        HICON& slot = wParam == ICON_BIG ? w->bigIcon : w->smallIcon;
        previous = slot;
        slot = reinterpret_cast<HICON>(lParam);
      }
      emitChanged(hwnd);
      return reinterpret_cast<LRESULT>(previous);
    }
    case WM_GETICON: {
      std::lock_guard<std::mutex> guard(g.m);
      auto w = findLocked(hwnd);
      if (!w) return 0;
      return reinterpret_cast<LRESULT>(wParam == ICON_BIG ? w->bigIcon : w->smallIcon);
    }
    default: return 0;
  }
}

// ---- geometry ----------------------------------------------------------------------------------

BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
  LRESULT r = 0;
  if (!runOnOwner(hwnd, [&]() -> LRESULT {
        return setWindowPosOwn(hwnd, insertAfter, x, y, cx, cy, flags) ? 1 : 0;
      }, &r))
    return 0;
  return r ? 1 : 0;
}

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint) {
  return SetWindowPos(hwnd, nullptr, x, y, width, height,
                      SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0 : SWP_NOREDRAW));
}

BOOL GetWindowRect(HWND hwnd, RECT* rect) {
  if (!rect) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> guard(globals().m);
  auto w = findLocked(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  *rect = w->rc;
  return 1;
}

BOOL GetClientRect(HWND hwnd, RECT* rect) {
  if (!rect) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> guard(globals().m);
  auto w = findLocked(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  *rect = RECT{0, 0, w->client.right - w->client.left, w->client.bottom - w->client.top};
  return 1;
}

BOOL ClientToScreen(HWND hwnd, POINT* point) {
  if (!point) return 0;
  std::lock_guard<std::mutex> guard(globals().m);
  auto w = findLocked(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  point->x += w->client.left;
  point->y += w->client.top;
  return 1;
}

BOOL ScreenToClient(HWND hwnd, POINT* point) {
  if (!point) return 0;
  std::lock_guard<std::mutex> guard(globals().m);
  auto w = findLocked(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  point->x -= w->client.left;
  point->y -= w->client.top;
  return 1;
}

int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count) {
  std::lock_guard<std::mutex> guard(globals().m);
  POINT a{0, 0}, b{0, 0};
  if (from) {
    auto w = findLocked(from);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    a = POINT{w->client.left, w->client.top};
  }
  if (to) {
    auto w = findLocked(to);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    b = POINT{w->client.left, w->client.top};
  }
  int dx = a.x - b.x, dy = a.y - b.y;
  for (UINT i = 0; points && i < count; ++i) {
    points[i].x += dx;
    points[i].y += dy;
  }
  SetLastError(ERROR_SUCCESS);
  return MAKELPARAM(dx, dy);
}

namespace detail {
namespace {

RECT maximizedRect(HWND hwnd) {
  MINMAXINFO mmi = minMaxInfo(hwnd);
  std::lock_guard<std::mutex> guard(globals().m);
  auto w = findLocked(hwnd);
  if (!w) return RECT{};
  const Monitor* mon = monitorForRectLocked(w->restore, MONITOR_DEFAULTTONEAREST);
  RECT mrect = mon ? mon->rect : RECT{0, 0, 1920, 1080};
  int cx = std::min(mmi.ptMaxSize.x, mmi.ptMaxTrackSize.x);
  int cy = std::min(mmi.ptMaxSize.y, mmi.ptMaxTrackSize.y);
  int x = mrect.left + mmi.ptMaxPosition.x;
  int y = mrect.top + mmi.ptMaxPosition.y;
  return RECT{x, y, x + cx, y + cy};
}

void setStateBits(HWND hwnd, DWORD set, DWORD clear, bool saveRestore) {
  std::lock_guard<std::mutex> guard(globals().m);
  auto w = findLocked(hwnd);
  if (!w) return;
  if (saveRestore && !(w->style & (WS_MINIMIZE | WS_MAXIMIZE))) w->restore = w->rc;
  if (set & WS_MINIMIZE) w->restoreToMaximized = (w->style & WS_MAXIMIZE) != 0;
  w->style = (w->style & ~clear) | set;
}

// The show sequence on the window's own thread.
bool showOwn(HWND hwnd, int cmd, bool keepRestore) {
  Globals& g = globals();
  DWORD style;
  RECT restore;
  bool restoreToMax;
  bool child;
  {
    std::lock_guard<std::mutex> guard(g.m);
    auto w = findLocked(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    style = w->style;
    restore = w->restore;
    restoreToMax = w->restoreToMaximized;
    child = w->parent != nullptr;
  }
  bool visible = (style & WS_VISIBLE) != 0;
  bool iconic = (style & WS_MINIMIZE) != 0;
  bool zoomed = (style & WS_MAXIMIZE) != 0;
  UINT noActivate = child ? SWP_NOACTIVATE : 0;
  switch (cmd) {
    case SW_HIDE:
      if (!visible) return false;
      SendMessage(hwnd, WM_SHOWWINDOW, 0, 0);
      setWindowPosOwn(hwnd, nullptr, 0, 0, 0, 0,
                      SWP_HIDEWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      return true;
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
    case SW_SHOWMINNOACTIVE:
    case SW_FORCEMINIMIZE: {
      if (!visible) SendMessage(hwnd, WM_SHOWWINDOW, 1, 0);
      if (!iconic) setStateBits(hwnd, WS_MINIMIZE, WS_MAXIMIZE, !keepRestore);
      UINT flags = SWP_SHOWWINDOW | SWP_NOZORDER | SWP_FRAMECHANGED | SWP_NOACTIVATE;
      setWindowPosOwn(hwnd, nullptr, -32000, -32000, 160, 28, flags);
      if (cmd == SW_SHOWMINIMIZED && !child) {
        activate(hwnd, true);
      } else if (!child && GetActiveWindow() == hwnd) {
        // A minimised window gives activation away.
        std::lock_guard<std::mutex> guard(g.m);
        g.input[GetCurrentThreadId()].active = nullptr;
        if (g.foreground == hwnd) g.foreground = nullptr;
      }
      return visible;
    }
    case SW_MAXIMIZE: {
      if (!visible) SendMessage(hwnd, WM_SHOWWINDOW, 1, 0);
      if (!zoomed) setStateBits(hwnd, WS_MAXIMIZE, WS_MINIMIZE, !keepRestore && !iconic);
      RECT r = maximizedRect(hwnd);
      setWindowPosOwn(hwnd, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                      SWP_SHOWWINDOW | SWP_FRAMECHANGED | noActivate);
      return visible;
    }
    case SW_SHOWNORMAL:
    case SW_RESTORE:
    case SW_SHOWDEFAULT:
    case SW_SHOWNOACTIVATE: {
      UINT na = cmd == SW_SHOWNOACTIVATE ? SWP_NOACTIVATE : noActivate;
      if (!visible) SendMessage(hwnd, WM_SHOWWINDOW, 1, 0);
      if (iconic && restoreToMax && cmd == SW_RESTORE) {
        setStateBits(hwnd, WS_MAXIMIZE, WS_MINIMIZE, false);
        RECT r = maximizedRect(hwnd);
        setWindowPosOwn(hwnd, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                        SWP_SHOWWINDOW | SWP_FRAMECHANGED | na);
      } else if (iconic || zoomed) {
        setStateBits(hwnd, 0, WS_MINIMIZE | WS_MAXIMIZE, false);
        setWindowPosOwn(hwnd, nullptr, restore.left, restore.top, restore.right - restore.left,
                        restore.bottom - restore.top, SWP_SHOWWINDOW | SWP_FRAMECHANGED | na);
      } else {
        setWindowPosOwn(hwnd, nullptr, 0, 0, 0, 0,
                        SWP_SHOWWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | na);
      }
      return visible;
    }
    case SW_SHOW:
    case SW_SHOWNA:
      if (!visible) {
        SendMessage(hwnd, WM_SHOWWINDOW, 1, 0);
        setWindowPosOwn(hwnd, nullptr, 0, 0, 0, 0,
                        SWP_SHOWWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER |
                            (cmd == SW_SHOWNA ? SWP_NOACTIVATE : noActivate));
      } else if (cmd == SW_SHOW && !child) {
        activate(hwnd, true);
      }
      return visible;
    default: SetLastError(ERROR_INVALID_PARAMETER); return visible;
  }
}

}  // namespace
}  // namespace detail

BOOL ShowWindow(HWND hwnd, int cmd) {
  if (cmd == SW_SHOWMAXIMIZED) cmd = SW_MAXIMIZE;
  LRESULT r = 0;
  if (!runOnOwner(hwnd, [&]() -> LRESULT { return showOwn(hwnd, cmd, false) ? 1 : 0; }, &r))
    return 0;
  return r ? 1 : 0;
}

BOOL IsWindowVisible(HWND hwnd) {
  std::lock_guard<std::mutex> guard(globals().m);
  auto w = findLocked(hwnd);
  while (w) {
    if (!(w->style & WS_VISIBLE)) return 0;
    if (!w->parent) return 1;
    w = findLocked(w->parent);
  }
  return 0;
}

BOOL IsIconic(HWND hwnd) {
  auto w = find(hwnd);
  if (!w) return 0;
  std::lock_guard<std::mutex> guard(globals().m);
  return (w->style & WS_MINIMIZE) ? 1 : 0;
}

BOOL IsZoomed(HWND hwnd) {
  auto w = find(hwnd);
  if (!w) return 0;
  std::lock_guard<std::mutex> guard(globals().m);
  return (w->style & WS_MAXIMIZE) ? 1 : 0;
}

BOOL GetWindowPlacement(HWND hwnd, WINDOWPLACEMENT* placement) {
  if (!placement) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> guard(globals().m);
  auto w = findLocked(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  placement->length = sizeof(WINDOWPLACEMENT);
  placement->flags = ((w->style & WS_MINIMIZE) && w->restoreToMaximized) ? WPF_RESTORETOMAXIMIZED
                                                                          : 0;
  placement->showCmd = (w->style & WS_MINIMIZE)   ? SW_SHOWMINIMIZED
                       : (w->style & WS_MAXIMIZE) ? SW_SHOWMAXIMIZED
                                                  : SW_SHOWNORMAL;
  placement->ptMinPosition = w->minPos;
  placement->ptMaxPosition = w->maxPos;
  placement->rcNormalPosition = (w->style & (WS_MINIMIZE | WS_MAXIMIZE)) ? w->restore : w->rc;
  return 1;
}

BOOL SetWindowPlacement(HWND hwnd, const WINDOWPLACEMENT* placement) {
  if (!placement || placement->length != sizeof(WINDOWPLACEMENT)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WINDOWPLACEMENT p = *placement;
  LRESULT r = 0;
  bool ok = runOnOwner(hwnd, [&]() -> LRESULT {
    Globals& g = globals();
    DWORD style;
    {
      std::lock_guard<std::mutex> guard(g.m);
      auto w = findLocked(hwnd);
      if (!w) return 0;
      style = w->style;
      w->restore = p.rcNormalPosition;
      w->minPos = p.ptMinPosition;
      w->maxPos = p.ptMaxPosition;
    }
    RECT n = p.rcNormalPosition;
    switch (p.showCmd) {
      case SW_SHOWMINIMIZED:
      case SW_MINIMIZE:
      case SW_SHOWMINNOACTIVE:
        showOwn(hwnd, p.showCmd, true);
        {
          std::lock_guard<std::mutex> guard(g.m);
          if (auto w = findLocked(hwnd))
            w->restoreToMaximized = (p.flags & WPF_RESTORETOMAXIMIZED) != 0;
        }
        break;
      case SW_SHOWMAXIMIZED:
        showOwn(hwnd, SW_MAXIMIZE, true);
        break;
      case SW_HIDE:
        if (style & (WS_MINIMIZE | WS_MAXIMIZE)) setStateBits(hwnd, 0, WS_MINIMIZE | WS_MAXIMIZE, false);
        setWindowPosOwn(hwnd, nullptr, n.left, n.top, n.right - n.left, n.bottom - n.top,
                        SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
        showOwn(hwnd, SW_HIDE, true);
        break;
      default: {
        if (style & (WS_MINIMIZE | WS_MAXIMIZE))
          setStateBits(hwnd, 0, WS_MINIMIZE | WS_MAXIMIZE, false);
        setWindowPosOwn(hwnd, nullptr, n.left, n.top, n.right - n.left, n.bottom - n.top,
                        SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
        showOwn(hwnd, p.showCmd == SW_SHOWNOACTIVATE ? SW_SHOWNOACTIVATE : SW_SHOWNORMAL, true);
        break;
      }
    }
    return 1;
  }, &r);
  return ok && r ? 1 : 0;
}

BOOL AdjustWindowRectExForDpi(RECT* rect, DWORD style, BOOL menu, DWORD exStyle, UINT dpi) {
  if (!rect || dpi == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  RECT in = frameInsets(style, exStyle, menu != 0, dpi);
  rect->left -= in.left;
  rect->top -= in.top;
  rect->right += in.right;
  rect->bottom += in.bottom;
  return 1;
}

BOOL AdjustWindowRectEx(RECT* rect, DWORD style, BOOL menu, DWORD exStyle) {
  return AdjustWindowRectExForDpi(rect, style, menu, exStyle, GetDpiForSystem());
}

int GetSystemMetrics(int index) {
  std::lock_guard<std::mutex> guard(globals().m);
  return metricForDpi(index, globals().systemDpi);
}

int GetSystemMetricsForDpi(int index, UINT dpi) {
  std::lock_guard<std::mutex> guard(globals().m);
  return metricForDpi(index, dpi);
}

BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase) {
  (void)rect;
  (void)erase;
  if (!hwnd) return 1;
  DWORD t = threadOf(hwnd);
  if (!t) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  invalidate(t, hwnd);
  return 1;
}

BOOL ValidateRect(HWND hwnd, const RECT* rect) {
  (void)rect;
  DWORD t = threadOf(hwnd);
  if (!t) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  validate(t, hwnd);
  return 1;
}

BOOL UpdateWindow(HWND hwnd) {
  DWORD t = threadOf(hwnd);
  if (!t) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (validate(t, hwnd)) SendMessage(hwnd, WM_PAINT, 0, 0);
  return 1;
}

// ---- z-order, activation, focus, capture -------------------------------------------------------

BOOL BringWindowToTop(HWND hwnd) {
  return SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

BOOL SetForegroundWindow(HWND hwnd) {
  auto w = find(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  HWND root = GetAncestor(hwnd, GA_ROOT);
  return runOnOwner(root, [root]() -> LRESULT {
    activate(root, true);
    return 1;
  }, nullptr) ? 1 : 0;
}

HWND GetForegroundWindow() {
  std::lock_guard<std::mutex> guard(globals().m);
  return globals().foreground;
}

HWND GetActiveWindow() {
  std::lock_guard<std::mutex> guard(globals().m);
  auto it = globals().input.find(GetCurrentThreadId());
  return it == globals().input.end() ? nullptr : it->second.active;
}

HWND SetActiveWindow(HWND hwnd) {
  auto w = find(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (w->thread != GetCurrentThreadId()) return nullptr;
  HWND old = GetActiveWindow();
  activate(GetAncestor(hwnd, GA_ROOT), GetForegroundWindow() == old || !GetForegroundWindow());
  return old;
}

HWND GetFocus() {
  std::lock_guard<std::mutex> guard(globals().m);
  auto it = globals().input.find(GetCurrentThreadId());
  return it == globals().input.end() ? nullptr : it->second.focus;
}

HWND SetFocus(HWND hwnd) {
  Globals& g = globals();
  DWORD self = GetCurrentThreadId();
  if (hwnd) {
    auto w = find(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    if (w->thread != self) {
      // Focus is per thread: another thread's window cannot take this thread's focus.
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    if (!IsWindowEnabled(hwnd)) return nullptr;
    HWND root = GetAncestor(hwnd, GA_ROOT);
    if (GetActiveWindow() != root) activate(root, true);
    if (!IsWindow(hwnd)) return nullptr;
  }
  HWND old;
  {
    std::lock_guard<std::mutex> guard(g.m);
    ThreadInput& in = g.input[self];
    old = in.focus;
    if (old == hwnd) return old;
    in.focus = hwnd;
  }
  if (old && IsWindow(old)) SendMessage(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
  if (hwnd && IsWindow(hwnd)) SendMessage(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
  return old;
}

HWND GetCapture() {
  std::lock_guard<std::mutex> guard(globals().m);
  return globals().capture;
}

HWND SetCapture(HWND hwnd) {
  if (!IsWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  HWND old;
  {
    std::lock_guard<std::mutex> guard(globals().m);
    old = globals().capture;
    globals().capture = hwnd;
  }
  if (old && old != hwnd) SendMessage(old, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hwnd));
  return old;
}

BOOL ReleaseCapture() {
  HWND old;
  {
    std::lock_guard<std::mutex> guard(globals().m);
    old = globals().capture;
    globals().capture = nullptr;
  }
  if (old) SendMessage(old, WM_CAPTURECHANGED, 0, 0);
  return 1;
}

BOOL EnableWindow(HWND hwnd, BOOL enable) {
  LRESULT r = 0;
  bool ok = runOnOwner(hwnd, [&]() -> LRESULT {
    Globals& g = globals();
    bool wasDisabled;
    bool focusInside = false;
    {
      std::lock_guard<std::mutex> guard(g.m);
      auto w = findLocked(hwnd);
      if (!w) return 0;
      wasDisabled = (w->style & WS_DISABLED) != 0;
      if (wasDisabled == !enable) return wasDisabled ? 1 : 0;
      if (enable) w->style &= ~WS_DISABLED;
      else w->style |= WS_DISABLED;
      HWND focus = g.input[w->thread].focus;
      focusInside = !enable && (focus == hwnd || isChildLocked(hwnd, focus));
    }
    if (focusInside) SetFocus(nullptr);
    if (!enable && GetCapture() == hwnd) ReleaseCapture();
    SendMessage(hwnd, WM_ENABLE, enable ? 1 : 0, 0);
    emitChanged(hwnd);
    return wasDisabled ? 1 : 0;
  }, &r);
  return ok && r ? 1 : 0;
}

BOOL IsWindowEnabled(HWND hwnd) {
  auto w = find(hwnd);
  if (!w) return 0;
  std::lock_guard<std::mutex> guard(globals().m);
  return (w->style & WS_DISABLED) ? 0 : 1;
}

// ---- timers --------------------------------------------------------------------------------------

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  DWORD t = GetCurrentThreadId();
  if (hwnd) {
    t = threadOf(hwnd);
    if (!t) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
  }
  return setTimer(t, hwnd, id, elapse, proc);
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  DWORD t = GetCurrentThreadId();
  if (hwnd) {
    t = threadOf(hwnd);
    if (!t) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
  }
  if (!killTimer(t, hwnd, id)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return 1;
}

// ---- monitors and DPI ----------------------------------------------------------------------------

BOOL EnumDisplayMonitors(HDC dc, const RECT* clip, MONITORENUMPROC proc, LPARAM lParam) {
  (void)dc;
  if (!proc) return 0;
  std::vector<std::pair<HMONITOR, RECT>> list;
  {
    std::lock_guard<std::mutex> guard(globals().m);
    for (const Monitor& m : globals().monitors) {
      RECT r = m.rect;
      if (clip) {
        if (overlap(r, *clip) == 0) continue;
        r = RECT{std::max(r.left, clip->left), std::max(r.top, clip->top),
                 std::min(r.right, clip->right), std::min(r.bottom, clip->bottom)};
      }
      list.emplace_back(monitorHandle(m), r);
    }
  }
  for (auto& [h, r] : list)
    if (!proc(h, nullptr, &r, lParam)) return 0;
  return 1;
}

HMONITOR MonitorFromRect(const RECT* rect, DWORD flags) {
  if (!rect) return nullptr;
  std::lock_guard<std::mutex> guard(globals().m);
  const Monitor* m = monitorForRectLocked(*rect, flags);
  return m ? monitorHandle(*m) : nullptr;
}

HMONITOR MonitorFromPoint(POINT point, DWORD flags) {
  std::lock_guard<std::mutex> guard(globals().m);
  const Monitor* m = monitorForRectLocked(RECT{point.x, point.y, point.x + 1, point.y + 1}, flags);
  return m ? monitorHandle(*m) : nullptr;
}

HMONITOR MonitorFromWindow(HWND hwnd, DWORD flags) {
  std::lock_guard<std::mutex> guard(globals().m);
  auto w = findLocked(hwnd);
  if (!w) {
    if (flags == MONITOR_DEFAULTTONULL) return nullptr;
    const Monitor* p = primaryLocked();
    return p ? monitorHandle(*p) : nullptr;
  }
  while (w->parent) w = findLocked(w->parent);
  RECT basis = (w->style & WS_MINIMIZE) ? w->restore : w->rc;
  const Monitor* m = monitorForRectLocked(basis, flags);
  return m ? monitorHandle(*m) : nullptr;
}

BOOL GetMonitorInfo(HMONITOR monitor, MONITORINFO* info) {
  if (!info || (info->cbSize != sizeof(MONITORINFO) && info->cbSize != sizeof(MONITORINFOEX))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> guard(globals().m);
  const Monitor* m = monitorByHandleLocked(monitor);
  if (!m) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  info->rcMonitor = m->rect;
  info->rcWork = m->work;
  info->dwFlags = m->primary ? MONITORINFOF_PRIMARY : 0;
  if (info->cbSize == sizeof(MONITORINFOEX)) {
    auto* ex = static_cast<MONITORINFOEX*>(info);
    size_t n = std::min<size_t>(m->name.size(), 31);
    std::copy(m->name.begin(), m->name.begin() + static_cast<long>(n), ex->szDevice);
    ex->szDevice[n] = 0;
  }
  return 1;
}

HRESULT GetDpiForMonitor(HMONITOR monitor, int type, UINT* dpiX, UINT* dpiY) {
  (void)type;
  std::lock_guard<std::mutex> guard(globals().m);
  if (globals().perMonitorOff) return E_NOTIMPL;
  const Monitor* m = monitorByHandleLocked(monitor);
  if (!m || !dpiX || !dpiY) return E_INVALIDARG;
  *dpiX = *dpiY = m->dpi;
  return S_OK;
}

UINT GetDpiForWindow(HWND hwnd) {
  std::lock_guard<std::mutex> guard(globals().m);
  auto w = findLocked(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return globals().perMonitorOff ? globals().systemDpi : w->dpi;
}

UINT GetDpiForSystem() {
  std::lock_guard<std::mutex> guard(globals().m);
  return globals().systemDpi;
}

bool PerMonitorDpiAvailable() {
  std::lock_guard<std::mutex> guard(globals().m);
  return !globals().perMonitorOff;
}

int GetDeviceCaps(HDC dc, int index) {
  (void)dc;
  if (index == LOGPIXELSX || index == LOGPIXELSY) return static_cast<int>(GetDpiForSystem());
  return 0;
}

BOOL LogicalToPhysicalPoint(HWND hwnd, POINT* point) {
  return IsWindow(hwnd) && point ? 1 : 0;  // the process is per-monitor aware: no change
}

// ---- cursor ------------------------------------------------------------------------------------

BOOL GetCursorPos(POINT* point) {
  if (!point) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> guard(globals().m);
  *point = globals().cursor;
  return 1;
}

BOOL SetCursorPos(int x, int y) {
  std::lock_guard<std::mutex> guard(globals().m);
  RECT u = unionOfMonitorsLocked();
  globals().cursor = POINT{std::clamp(x, u.left, u.right - 1), std::clamp(y, u.top, u.bottom - 1)};
  return 1;
}

}  // namespace desk
