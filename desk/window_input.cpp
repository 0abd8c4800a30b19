// Input injection, layered windows and menus.
#include <algorithm>

#include "desk/clock.h"
#include "desk/detail/queue.h"
#include "desk/detail/windows.h"
#include "desk/message.h"
#include "desk/thread.h"

namespace desk {
namespace detail {
namespace {

std::mutex g_chooserMutex;
MenuChooser g_chooser;

struct MenuSession {
  uint64_t id;
  bool ended = false;
  UINT_PTR chosen = 0;
};
thread_local std::vector<MenuSession*> t_menus;
std::atomic<uint64_t> g_nextSession{1};

WPARAM mouseKeys() {
  WPARAM k = 0;
  if (GetKeyState(VK_LBUTTON) & 0x8000) k |= MK_LBUTTON;
  if (GetKeyState(VK_RBUTTON) & 0x8000) k |= MK_RBUTTON;
  if (GetKeyState(VK_MBUTTON) & 0x8000) k |= MK_MBUTTON;
  if (GetKeyState(VK_SHIFT) & 0x8000) k |= MK_SHIFT;
  if (GetKeyState(VK_CONTROL) & 0x8000) k |= MK_CONTROL;
  return k;
}

UINT clientMouseMessage(const InputEvent& e) {
  if (e.kind == InputEvent::Kind::MouseMove) return WM_MOUSEMOVE;
  if (e.kind == InputEvent::Kind::Wheel) return WM_MOUSEWHEEL;
  static const UINT down[] = {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_MBUTTONDOWN};
  static const UINT up[] = {WM_LBUTTONUP, WM_RBUTTONUP, WM_MBUTTONUP};
  int b = std::clamp(e.button, 0, 2);
  return e.down ? down[b] : up[b];
}

UINT nonClientMessage(UINT client) {
  switch (client) {
    case WM_MOUSEMOVE: return WM_NCMOUSEMOVE;
    case WM_LBUTTONDOWN: return WM_NCLBUTTONDOWN;
    case WM_LBUTTONUP: return WM_NCLBUTTONUP;
    case WM_RBUTTONDOWN: return WM_NCRBUTTONDOWN;
    case WM_RBUTTONUP: return WM_NCRBUTTONUP;
    default: return 0;
  }
}

bool disabledChain(HWND hwnd) {
  std::lock_guard<std::mutex> guard(globals().m);
  auto w = findLocked(hwnd);
  while (w) {
    if (w->style & WS_DISABLED) return true;
    if (!w->parent) return false;
    w = findLocked(w->parent);
  }
  return true;
}

void emitInput(HWND target, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!observed()) return;
  WindowEvent e;
  e.kind = WindowEvent::Kind::Input;
  e.hwnd = target;
  e.threadId = threadOf(target);
  e.message = message;
  e.wParam = wParam;
  e.lParam = lParam;
  emit(std::move(e));
}

bool post(HWND target, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD t = threadOf(target);
  if (!t) return false;
  MSG m;
  m.hwnd = target;
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  emitInput(target, message, wParam, lParam);
  return postInput(t, m);
}

bool injectMouse(const InputEvent& e) {
  UINT message = clientMouseMessage(e);
  MSLLHOOKSTRUCT data;
  data.pt = e.pt;
  data.mouseData = e.kind == InputEvent::Kind::Wheel
                       ? static_cast<DWORD>(static_cast<uint32_t>(e.wheelDelta) << 16)
                       : 0;
  data.time = GetTickCount();
  if (callLowLevelHooks(WH_MOUSE_LL, message, reinterpret_cast<LPARAM>(&data))) return false;
  HWND capture;
  {
    std::lock_guard<std::mutex> guard(globals().m);
    globals().cursor = e.pt;
    capture = globals().capture;
  }
  if (e.kind == InputEvent::Kind::MouseButton) {
    static const int vks[] = {VK_LBUTTON, VK_RBUTTON, VK_MBUTTON};
    setKeyDown(vks[std::clamp(e.button, 0, 2)], e.down);
  }
  HWND target = capture ? capture : WindowFromPoint(e.pt);
  if (!target) return false;
  if (!capture && disabledChain(target)) return false;
  if (e.kind == InputEvent::Kind::MouseButton && e.down && !capture) {
    HWND root = GetAncestor(target, GA_ROOT);
    DWORD ex = static_cast<DWORD>(GetWindowLongPtr(root, GWL_EXSTYLE));
    if (root && GetForegroundWindow() != root && !(ex & WS_EX_NOACTIVATE))
      SetForegroundWindow(root);
  }
  LRESULT hit = HTCLIENT;
  if (e.forceNonClient) {
    hit = e.hitTest;
  } else if (!capture) {
    hit = SendMessage(target, WM_NCHITTEST, 0, MAKELPARAM(e.pt.x, e.pt.y));
  }
  if (e.kind == InputEvent::Kind::Wheel) {
    return post(target, WM_MOUSEWHEEL, MAKEWPARAM(static_cast<int>(mouseKeys()), e.wheelDelta),
                MAKELPARAM(e.pt.x, e.pt.y));
  }
  if (hit == HTCLIENT || capture) {
    POINT c = e.pt;
    ScreenToClient(target, &c);
    return post(target, message, mouseKeys(), MAKELPARAM(c.x, c.y));
  }
  UINT nc = nonClientMessage(message);
  if (!nc || hit == HTNOWHERE || hit == HTTRANSPARENT || hit == HTERROR) return false;
  return post(target, nc, static_cast<WPARAM>(hit), MAKELPARAM(e.pt.x, e.pt.y));
}

HWND keyTarget() {
  std::lock_guard<std::mutex> guard(globals().m);
  HWND fg = globals().foreground;
  if (!fg) return nullptr;
  auto w = findLocked(fg);
  if (!w) return nullptr;
  auto it = globals().input.find(w->thread);
  if (it != globals().input.end() && it->second.focus) return it->second.focus;
  return fg;
}

bool injectKey(const InputEvent& e) {
  KBDLLHOOKSTRUCT data;
  data.vkCode = static_cast<DWORD>(e.vk);
  data.flags = e.down ? 0 : 0x80;
  data.time = GetTickCount();
  UINT message = e.down ? WM_KEYDOWN : WM_KEYUP;
  bool alt = (GetKeyState(VK_MENU) & 0x8000) != 0 || e.vk == VK_MENU;
  if (alt) message = e.down ? WM_SYSKEYDOWN : WM_SYSKEYUP;
  if (callLowLevelHooks(WH_KEYBOARD_LL, message, reinterpret_cast<LPARAM>(&data))) return false;
  setKeyDown(e.vk, e.down);
  HWND target = keyTarget();
  if (!target) return false;
  LPARAM lParam = 1 | (e.down ? 0 : static_cast<LPARAM>(0xC0000000u));
  if (alt) lParam |= 0x20000000;
  return post(target, message, static_cast<WPARAM>(e.vk), lParam);
}

}  // namespace

void setMenuChooser(MenuChooser chooser) {
  std::lock_guard<std::mutex> guard(g_chooserMutex);
  g_chooser = std::move(chooser);
}

}  // namespace detail

using namespace detail;

bool injectInput(const InputEvent& event) {
  switch (event.kind) {
    case InputEvent::Kind::MouseMove:
    case InputEvent::Kind::MouseButton:
    case InputEvent::Kind::Wheel: return injectMouse(event);
    case InputEvent::Kind::Key: return injectKey(event);
    case InputEvent::Kind::Char: {
      HWND target = keyTarget();
      return target && post(target, WM_CHAR, event.ch, 1);
    }
  }
  return false;
}

// ---- layered windows ---------------------------------------------------------------------------

BOOL UpdateLayeredWindowFrame(HWND hwnd, const LayeredFrame& frame) {
  {
    std::lock_guard<std::mutex> guard(globals().m);
    auto w = findLocked(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (!(w->exStyle & WS_EX_LAYERED) ||
        frame.pixels.size() != static_cast<size_t>(std::max(frame.width, 0)) *
                                   static_cast<size_t>(std::max(frame.height, 0))) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    w->frame = std::make_shared<const LayeredFrame>(frame);
    w->alpha = frame.alpha;
  }
  emitChanged(hwnd);
  return 1;
}

BOOL SetLayeredWindowAttributes(HWND hwnd, COLORREF key, BYTE alpha, DWORD flags) {
  {
    std::lock_guard<std::mutex> guard(globals().m);
    auto w = findLocked(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (!(w->exStyle & WS_EX_LAYERED)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    w->colorKey = key;
    if (flags & LWA_ALPHA) w->alpha = alpha;
    w->layeredFlags = flags;
  }
  emitChanged(hwnd);
  return 1;
}

BOOL GetLayeredWindowAttributes(HWND hwnd, COLORREF* key, BYTE* alpha, DWORD* flags) {
  std::lock_guard<std::mutex> guard(globals().m);
  auto w = findLocked(hwnd);
  if (!w || !(w->exStyle & WS_EX_LAYERED)) {
    SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (key) *key = w->colorKey;
  if (alpha) *alpha = w->alpha;
  if (flags) *flags = w->layeredFlags;
  return 1;
}

BOOL AnimateWindow(HWND hwnd, DWORD time, DWORD flags) {
  (void)time;
  if (!IsWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  bool visible = IsWindowVisible(hwnd) != 0;
  if (flags & AW_HIDE) {
    if (!visible) return 0;
    ShowWindow(hwnd, SW_HIDE);
  } else {
    if (visible) return 0;
    ShowWindow(hwnd, (flags & AW_ACTIVATE) ? SW_SHOW : SW_SHOWNA);
  }
  return 1;
}

// ---- menus -------------------------------------------------------------------------------------

namespace {
std::shared_ptr<Menu> findMenuLocked(HMENU menu) {
  auto it = globals().menus.find(reinterpret_cast<uintptr_t>(menu));
  return it == globals().menus.end() ? nullptr : it->second;
}

HMENU newMenuLocked(std::shared_ptr<Menu> m) {
  Globals& g = globals();
  uintptr_t id = g.nextMenu;
  g.nextMenu += 2;
  g.menus[id] = std::move(m);
  return reinterpret_cast<HMENU>(id);
}

void fillSystemMenu(Menu& m) {
  m.items.clear();
  m.items.push_back(MenuItem{SC_RESTORE, MF_GRAYED, u"Restore"});
  m.items.push_back(MenuItem{SC_MOVE, 0, u"Move"});
  m.items.push_back(MenuItem{SC_SIZE, 0, u"Size"});
  m.items.push_back(MenuItem{SC_MINIMIZE, 0, u"Minimize"});
  m.items.push_back(MenuItem{SC_MAXIMIZE, 0, u"Maximize"});
  m.items.push_back(MenuItem{0, MF_SEPARATOR, u""});
  m.items.push_back(MenuItem{SC_CLOSE, 0, u"Close"});
}

MenuItem* itemLocked(Menu& m, UINT item, UINT flags) {
  if (flags & MF_BYPOSITION) return item < m.items.size() ? &m.items[item] : nullptr;
  for (MenuItem& i : m.items)
    if (!(i.state & MF_SEPARATOR) && i.id == item) return &i;
  return nullptr;
}
}  // namespace

HMENU GetSystemMenu(HWND hwnd, BOOL revert) {
  HMENU out = nullptr;
  {
    std::lock_guard<std::mutex> guard(globals().m);
    auto w = findLocked(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    if (!(w->style & WS_SYSMENU)) return nullptr;
    std::shared_ptr<Menu> m = w->sysMenu ? findMenuLocked(w->sysMenu) : nullptr;
    if (!m) {
      m = std::make_shared<Menu>();
      m->system = true;
      m->owner = hwnd;
      fillSystemMenu(*m);
      w->sysMenu = newMenuLocked(m);
    } else if (revert) {
      fillSystemMenu(*m);
    }
    out = revert ? nullptr : w->sysMenu;
  }
  if (revert) emitChanged(hwnd);
  return out;
}

HMENU CreatePopupMenu() {
  std::lock_guard<std::mutex> guard(globals().m);
  return newMenuLocked(std::make_shared<Menu>());
}

HMENU CreateMenu() { return CreatePopupMenu(); }

BOOL AppendMenu(HMENU menu, UINT flags, UINT_PTR id, const char16_t* text) {
  std::lock_guard<std::mutex> guard(globals().m);
  auto m = findMenuLocked(menu);
  if (!m) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return 0;
  }
  MenuItem item;
  item.id = id;
  item.state = flags & (MF_GRAYED | MF_DISABLED | MF_CHECKED | MF_SEPARATOR | MF_POPUP);
  if (text && !(flags & MF_SEPARATOR)) item.text = text;
  m->items.push_back(item);
  return 1;
}

BOOL DestroyMenu(HMENU menu) {
  std::lock_guard<std::mutex> guard(globals().m);
  auto m = findMenuLocked(menu);
  if (!m || m->system) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return 0;
  }
  globals().menus.erase(reinterpret_cast<uintptr_t>(menu));
  return 1;
}

DWORD EnableMenuItem(HMENU menu, UINT item, UINT flags) {
  HWND owner = nullptr;
  DWORD previous;
  {
    std::lock_guard<std::mutex> guard(globals().m);
    auto m = findMenuLocked(menu);
    if (!m) {
      SetLastError(ERROR_INVALID_MENU_HANDLE);
      return static_cast<DWORD>(-1);
    }
    MenuItem* i = itemLocked(*m, item, flags);
    if (!i) return static_cast<DWORD>(-1);
    previous = i->state & (MF_GRAYED | MF_DISABLED);
    i->state = (i->state & ~(MF_GRAYED | MF_DISABLED)) | (flags & (MF_GRAYED | MF_DISABLED));
    if (m->system) owner = m->owner;
  }
  if (owner) emitChanged(owner);
  return previous;
}

DWORD CheckMenuItem(HMENU menu, UINT item, UINT flags) {
  std::lock_guard<std::mutex> guard(globals().m);
  auto m = findMenuLocked(menu);
  if (!m) return static_cast<DWORD>(-1);
  MenuItem* i = itemLocked(*m, item, flags);
  if (!i) return static_cast<DWORD>(-1);
  DWORD previous = i->state & MF_CHECKED;
  i->state = (i->state & ~MF_CHECKED) | (flags & MF_CHECKED);
  return previous;
}

UINT GetMenuState(HMENU menu, UINT item, UINT flags) {
  std::lock_guard<std::mutex> guard(globals().m);
  auto m = findMenuLocked(menu);
  if (!m) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return 0xFFFFFFFF;
  }
  MenuItem* i = itemLocked(*m, item, flags);
  return i ? i->state : 0xFFFFFFFF;
}

int GetMenuItemCount(HMENU menu) {
  std::lock_guard<std::mutex> guard(globals().m);
  auto m = findMenuLocked(menu);
  if (!m) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return -1;
  }
  return static_cast<int>(m->items.size());
}

HMENU GetMenu(HWND hwnd) {
  if (!IsWindow(hwnd)) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return nullptr;
}

BOOL SetMenu(HWND hwnd, HMENU menu) {
  (void)menu;
  if (!IsWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return 1;
}

BOOL DrawMenuBar(HWND hwnd) {
  if (!IsWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return 1;
}

BOOL TrackPopupMenuEx(HMENU menu, UINT flags, int x, int y, HWND hwnd, const TPMPARAMS* params) {
  (void)params;
  {
    std::lock_guard<std::mutex> guard(globals().m);
    if (!findMenuLocked(menu)) {
      SetLastError(ERROR_INVALID_MENU_HANDLE);
      return 0;
    }
  }
  if (!IsWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  static const UINT kChoose = RegisterWindowMessage("desk.popup-menu.choose");
  bool notify = !(flags & TPM_NONOTIFY);
  if (notify) {
    SendMessage(hwnd, WM_ENTERMENULOOP, 1, 0);
    SendMessage(hwnd, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(menu), 0);
  }
  MenuSession session;
  session.id = g_nextSession.fetch_add(1);
  t_menus.push_back(&session);
  PostThreadMessage(GetCurrentThreadId(), kChoose, 0, static_cast<LPARAM>(session.id));
  MSG msg;
  while (!session.ended) {
    if (!PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
      WaitMessage();
      continue;
    }
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      session.ended = true;
      session.chosen = 0;
      break;
    }
    if (msg.message == kChoose && msg.hwnd == nullptr &&
        static_cast<uint64_t>(msg.lParam) == session.id) {
      MenuChooser chooser;
      {
        std::lock_guard<std::mutex> guard(g_chooserMutex);
        chooser = g_chooser;
      }
      UINT_PTR chosen = chooser ? chooser(menu, hwnd, POINT{x, y}) : 0;
      if (!session.ended) {
        // Only an enabled item of the menu can be chosen.
        std::lock_guard<std::mutex> guard(globals().m);
        auto m = findMenuLocked(menu);
        MenuItem* item = m && chosen ? itemLocked(*m, static_cast<UINT>(chosen), MF_BYCOMMAND)
                                     : nullptr;
        session.chosen = item && !(item->state & (MF_GRAYED | MF_DISABLED)) ? chosen : 0;
        session.ended = true;
      }
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessage(&msg);
  }
  t_menus.erase(std::remove(t_menus.begin(), t_menus.end(), &session), t_menus.end());
  if (notify && IsWindow(hwnd)) {
    SendMessage(hwnd, WM_UNINITMENUPOPUP, reinterpret_cast<WPARAM>(menu), 0);
    SendMessage(hwnd, WM_EXITMENULOOP, 1, 0);
  }
  if (flags & TPM_RETURNCMD) return static_cast<BOOL>(session.chosen);
  if (session.chosen && notify && IsWindow(hwnd))
    PostMessage(hwnd, WM_COMMAND, session.chosen, 0);
  return session.chosen ? 1 : 0;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND hwnd,
                    const RECT* rect) {
  (void)reserved;
  (void)rect;
  return TrackPopupMenuEx(menu, flags, x, y, hwnd, nullptr);
}

BOOL EndMenu() {
  if (t_menus.empty()) return 0;
  MenuSession* s = t_menus.back();
  s->chosen = 0;
  s->ended = true;
  return 1;
}

}  // namespace desk
