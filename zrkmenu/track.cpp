#include <cstdio>
#include <exception>

#include "desk/gdi.h"
#include "desk/log.h"
#include "desk/message.h"
#include "desk/nested_loop.h"
#include "desk/thread.h"
#include "zrkmenu/zrkmenu.h"

namespace zrkmenu {

using namespace desk;

namespace {

// The tracking of the process: one at a time, on the UI thread.
struct Tracking {
  HHOOK mouseHook = nullptr;
  HHOOK keyboardHook = nullptr;
  HWND activeWindow = nullptr;  // the window of the tracked top-level menu
  ZrkMenu* active = nullptr;    // that menu while its tracking runs
  bool modal = false;
  HACCEL keptTable = nullptr;   // a non-modal tracking's accelerator table
  // The row of the choice on its way up to the top-level menu.
  ZrkMenu* choiceMenu = nullptr;
  int choiceRow = -1;
  std::shared_ptr<ZrkMenuItem> choiceItem;
};
Tracking g;

bool isMenuWindow(HWND w) {
  char16_t name[261] = {};
  if (!IsWindow(w) || GetClassName(w, name, 260) <= 0) return false;
  std::u16string a(name), b(kMenuClassName);
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto low = [](char16_t c) { return (c >= 'A' && c <= 'Z') ? char16_t(c + 32) : c; };
    if (low(a[i]) != low(b[i])) return false;
  }
  return true;
}

struct DeepestSearch {
  HWND current;
};
BOOL deepestStep(HWND w, LPARAM lParam) {
  auto* search = reinterpret_cast<DeepestSearch*>(lParam);
  if (GetWindow(w, GW_OWNER) == search->current && IsWindowVisible(w)) search->current = w;
  return 1;
}

bool selectable(const ZrkMenuItem& item) { return !item.separator && !item.disabled; }
constexpr UINT kMouseLeave = 0x02A3;  // WM_MOUSELEAVE

}  // namespace

bool hooksInstalled() { return g.mouseHook != nullptr || g.keyboardHook != nullptr; }

void removeHooks() {
  if (g.mouseHook) UnhookWindowsHookEx(g.mouseHook);
  if (g.keyboardHook) UnhookWindowsHookEx(g.keyboardHook);
  g.mouseHook = nullptr;
  g.keyboardHook = nullptr;
  if (g.keptTable) DestroyAcceleratorTable(g.keptTable);
  g.keptTable = nullptr;
}

HWND deepestOpenMenu(HWND start) {
  DeepestSearch search{start};
  // Each pass follows the owner chain one step further, whatever the z-order.
  for (;;) {
    HWND before = search.current;
    EnumWindows(&deepestStep, reinterpret_cast<LPARAM>(&search));
    if (search.current == before) break;
  }
  return search.current;
}

LRESULT mouseHookProc(int code, WPARAM wParam, LPARAM lParam) {
  if (code >= 0 && (wParam == WM_LBUTTONDOWN || wParam == WM_RBUTTONDOWN)) {
    const auto* data = reinterpret_cast<const MSLLHOOKSTRUCT*>(lParam);
    HWND w = WindowFromPoint(data->pt);
    if (!isMenuWindow(w) && IsWindow(g.activeWindow)) {
      HWND target = g.activeWindow;
      const bool modal = g.modal;
      SendMessage(target, MENU_MSG_DISMISS, 0, 0);
      if (!modal) removeHooks();
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT keyboardHookProc(int code, WPARAM wParam, LPARAM lParam) {
  if (code >= 0) {
    const auto* data = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lParam);
    HWND target = IsWindow(g.activeWindow) ? deepestOpenMenu(g.activeWindow) : nullptr;
    if (target) {
      const LPARAM lp = static_cast<LPARAM>(static_cast<uint64_t>(data->scanCode) << 16);
      LPARAM full = lp | 1 | static_cast<LPARAM>(0xC0000000u);
      if (data->flags & 0x01) full |= LPARAM{1} << 24;
      const UINT message = static_cast<UINT>(wParam);
      if (message == WM_KEYDOWN || message == WM_SYSKEYDOWN) {
        if (g.modal) {
          SendMessage(target, message, data->vkCode, full);
        } else {
          PostMessage(target, message, data->vkCode, lp);
        }
      } else if ((message == WM_KEYUP || message == WM_SYSKEYUP) && g.modal) {
        SendMessage(target, message, data->vkCode, full);
      }
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

void collectAccelerators(ZrkMenu* menu, std::map<unsigned, std::string>& map,
                         std::vector<ACCEL>& list, unsigned& counter) {
  for (auto& item : menu->items) {
    if (item->accelerator) {
      ACCEL a;
      a.fVirt = item->accelerator->fVirt;
      a.key = item->accelerator->key;
      a.cmd = static_cast<WORD>(counter);
      list.push_back(a);
      map[counter & 0xFFFF] = item->id;
      ++counter;
    } else if (item->submenu && item->submenu.get() != menu) {
      collectAccelerators(item->submenu.get(), map, list, counter);
    }
  }
}

// ---- lifetime --------------------------------------------------------------------------------

ZrkMenu::~ZrkMenu() {
  if (g.active == this) {
    removeHooks();
    g.active = nullptr;
    g.activeWindow = nullptr;
  }
  if (g.choiceMenu == this) g.choiceMenu = nullptr;
  if (modalLoop_) modalLoop_->end(0);
  if (IsWindow(hwnd)) {
    SetWindowLongPtr(hwnd, GWLP_USERDATA, 0);
    DestroyWindow(hwnd);
  }
}

void ZrkMenu::setDone() {
  done = true;
  if (modalLoop_) modalLoop_->end(0);
}

// Releases what a tracking holds: hooks, tables, timers, the animation frame.
void ZrkMenu::endTracking() {
  if (IsWindow(hwnd)) {
    KillTimer(hwnd, ANIMATION_TIMER);
    KillTimer(hwnd, SUBMENU_TIMER);
  }
  releaseAnimationFrame();
  if (g.active == this) {
    removeHooks();
    g.active = nullptr;
  }
}

void ZrkMenu::reportCommand(const std::string& chosen) {
  if (commandHandler) {
    auto handler = std::move(commandHandler);
    commandHandler = nullptr;
    handler(chosen);
  } else if (commandWindow) {
    SendMessage(commandWindow, WM_COMMAND, 0, reinterpret_cast<LPARAM>(chosen.c_str()));
  }
}

std::string ZrkMenu::trackPopup(std::string& out, int px, int py, HWND owner, int trackFlags,
                                int ms) {
  const bool modal = (trackFlags & TPM_RETURNCMD) != 0;
  if (modalLoop_) {
    // This menu's own modal loop is still running below us: the request is a dismissal.
    logText(2, "popup menu " + id + " is already being tracked");
    out.clear();
    if (!modal) reportCommand("");
    return out;
  }
  // One tracking at a time: the active one is dismissed first.
  if (ZrkMenu* earlier = g.active) {
    g.active = nullptr;
    earlier->result.clear();
    earlier->chosenRow_ = -1;
    earlier->chosenMenu_ = nullptr;
    earlier->chosenItem_.reset();
    earlier->hide();
    earlier->endTracking();
    if (earlier->modalLoop_) {
      earlier->setDone();
    } else if (!earlier->done) {
      earlier->done = true;
      if (earlier != this) earlier->reportCommand("");
    }
  }
  removeHooks();

  UINT monitorDpi = 96;
  if (HMONITOR monitor = MonitorFromPoint(POINT{px, py}, MONITOR_DEFAULTTONEAREST)) {
    UINT dx = 0, dy = 0;
    if (GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &dx, &dy) == S_OK && dx != 0) monitorDpi = dx;
  }
  setDpi(static_cast<int>(monitorDpi));
  flags = trackFlags;
  g.modal = modal;
  animationMs = ms > 0 ? ms : 0;
  done = false;
  result.clear();
  chosenRow_ = -1;
  chosenMenu_ = nullptr;
  chosenItem_.reset();

  unsigned counter = 1001;
  std::vector<ACCEL> list;
  collectAccelerators(this, acceleratorCommands, list, counter);
  HACCEL table = list.empty() ? nullptr
                              : CreateAcceleratorTable(list.data(), static_cast<int>(list.size()));
  g.mouseHook = SetWindowsHookEx(WH_MOUSE_LL, &mouseHookProc, nullptr, 0);
  g.keyboardHook = SetWindowsHookEx(WH_KEYBOARD_LL, &keyboardHookProc, nullptr, 0);
  g.active = this;
  commandWindow = owner;
  try {
    showAt(px, py, owner, trackFlags, nullptr, 0);
  } catch (const std::exception& e) {
    logText(1, std::string("popup menu ") + id + ": " + e.what());
    if (table) DestroyAcceleratorTable(table);
    hide();
    endTracking();
    done = true;
    out.clear();
    if (!modal) reportCommand("");
    return out;
  }
  g.activeWindow = hwnd;

  if (modal) {
    NestedLoop loop;
    loop.setMessageFilter([this, table](const MSG& msg) {
      return table && IsWindow(hwnd) && TranslateAccelerator(hwnd, table, &msg) != 0;
    });
    modalLoop_ = &loop;
    if (!done) loop.run(0);
    modalLoop_ = nullptr;
    if (loop.quitReceived() || !done) {
      // WM_QUIT (posted again by the loop) ends the tracking as a dismissal.
      result.clear();
      chosenRow_ = -1;
      chosenMenu_ = nullptr;
      chosenItem_.reset();
    }
    if (table) DestroyAcceleratorTable(table);
    hide();
    endTracking();
  } else {
    g.keptTable = table;
  }
  out = result;
  return out;
}

// ---- choosing ----------------------------------------------------------------------------------

void ZrkMenu::choose(const std::string& chosen, int row) {
  g.choiceMenu = this;
  g.choiceRow = row;
  g.choiceItem = (row >= 0 && static_cast<size_t>(row) < items.size()) ? items[row] : nullptr;
  SendMessage(isSubmenu ? parentWindow : hwnd, MENU_MSG_CHOSEN, 0,
              reinterpret_cast<LPARAM>(chosen.c_str()));
}

void ZrkMenu::finish(bool accept) {
  if (hoverIndex != -1 && static_cast<size_t>(hoverIndex) < items.size() &&
      !items[hoverIndex]->submenu) {
    result = accept ? items[hoverIndex]->id : std::string();
    const std::string chosen = result;
    choose(chosen, accept ? hoverIndex : -1);
  }
  if (!isSubmenu) {
    setDone();
    if (!accept && !(flags & TPM_RETURNCMD)) {
      result.clear();
      choose("", -1);
    }
  }
}

// ---- geometry ----------------------------------------------------------------------------------

RECT ZrkMenu::upArrowRect() const {
  if (scrolling && firstVisible > 0) return RECT{0, 0, width, arrowHeight};
  return RECT{0, 0, 0, 0};
}

int ZrkMenu::visibleHeight() {
  RECT wr;
  if (hwnd && GetWindowRect(hwnd, &wr)) return std::min(height, wr.bottom - wr.top);
  return height;
}

RECT ZrkMenu::downArrowRect() {
  if (!scrolling) return RECT{0, 0, 0, 0};
  int top = upArrowRect().bottom;
  const int vh = visibleHeight();
  const int n = static_cast<int>(items.size());
  for (int i = firstVisible; i < n; ++i) {
    top += rowHeight(i);
    if (top > vh - arrowHeight) {
      if (i == n - 1) return RECT{0, vh, width, vh};
      return RECT{0, vh - arrowHeight, width, vh};
    }
  }
  return RECT{0, 0, 0, 0};
}

RECT ZrkMenu::itemRect(int index) {
  const int n = static_cast<int>(items.size());
  if (index < 0 || index >= n) return RECT{0, 0, 0, 0};
  int top = 0;
  if (!scrolling) {
    for (int i = 0; i < index; ++i) top += rowHeight(i);
  } else {
    top = upArrowRect().bottom;
    if (index >= firstVisible) {
      for (int i = firstVisible; i < index; ++i) top += rowHeight(i);
    } else {
      for (int i = index; i < firstVisible; ++i) top -= rowHeight(i);
    }
  }
  return RECT{0, top, width, top + rowHeight(index)};
}

int ZrkMenu::hitTest(int px, int py, bool includeDisabled) {
  if (items.empty() || px < 1 || px > width || py < 0 || py > height) return -1;
  int top = scrolling ? upArrowRect().bottom : 0;
  const int n = static_cast<int>(items.size());
  for (int i = std::max(firstVisible, 0); i < n; ++i) {
    const int bottom = top + rowHeight(i);
    if (top <= py && py <= bottom) return (includeDisabled || !items[i]->disabled) ? i : -1;
    top = bottom;
  }
  return -1;
}

bool ZrkMenu::scrollUp() {
  if (!scrolling || firstVisible == 0) return false;
  --firstVisible;
  while (firstVisible > 0 && items[firstVisible]->separator) --firstVisible;
  return true;
}

bool ZrkMenu::scrollDown() {
  if (!scrolling) return false;
  const RECT down = downArrowRect();
  if (down.bottom - down.top == 0) return false;
  const int last = static_cast<int>(items.size()) - 1;
  if (firstVisible >= last) return false;
  ++firstVisible;
  while (firstVisible < last && items[firstVisible]->separator) ++firstVisible;
  return true;
}

// ---- keys ------------------------------------------------------------------------------------

void ZrkMenu::moveUp() {
  const int n = static_cast<int>(items.size());
  const int h = hoverIndex;
  int found = -1;
  if (h > 0) {
    for (int i = std::min(h, n) - 1; i >= 0 && found < 0; --i)
      if (selectable(*items[i])) found = i;
    for (int i = n - 1; i >= 0 && found < 0; --i)
      if (selectable(*items[i])) found = i;
    if (found >= 0) {
      hoverIndex = found;
      if (scrolling && itemRect(hoverIndex).top < upArrowRect().bottom) firstVisible = hoverIndex;
    }
  } else {
    for (int i = n - 1; i >= 0 && found < 0; --i)
      if (selectable(*items[i])) found = i;
    if (found >= 0) {
      hoverIndex = found;
      if (scrolling) {
        // Show the end of the menu: the first row that still fits below the up arrow.
        int remaining = visibleHeight();
        const int upBottom = scrolling ? arrowHeight : 0;
        for (int i = n - 1; i >= 0; --i) {
          remaining -= rowHeight(i);
          if (remaining < upBottom) {
            firstVisible = std::min(i + 1, n - 1);
            break;
          }
        }
      }
    }
  }
  InvalidateRect(hwnd, nullptr, 1);
}

void ZrkMenu::moveDown() {
  const int n = static_cast<int>(items.size());
  const int h = hoverIndex;
  int found = -1;
  if (h >= 0 && h < n - 1) {
    for (int i = h + 1; i < n && found < 0; ++i)
      if (selectable(*items[i])) found = i;
    for (int i = 0; i < n && found < 0; ++i)
      if (selectable(*items[i])) found = i;
    if (found >= 0) {
      hoverIndex = found;
      if (scrolling) {
        if (found < firstVisible) {
          firstVisible = found;  // wrapped to the top
        } else {
          const RECT down = downArrowRect();
          if (down.bottom - down.top > 0 && itemRect(hoverIndex).bottom >= down.top) scrollDown();
        }
      }
    }
  } else {
    for (int i = 0; i < n && found < 0; ++i)
      if (selectable(*items[i])) found = i;
    if (found >= 0) {
      hoverIndex = found;
      if (scrolling) firstVisible = hoverIndex;
    }
  }
  InvalidateRect(hwnd, nullptr, 1);
}

void ZrkMenu::openSubmenuFromTimer() {
  KillTimer(hwnd, SUBMENU_TIMER);
  const int i = hoverIndex;
  if (i < 0 || static_cast<size_t>(i) >= items.size() || !items[i]->submenu || openSubmenu)
    return;
  ZrkMenu* sub = items[i]->submenu.get();
  if (sub == this) return;
  const RECT r = itemRect(i);
  sub->animationMs = animationMs;
  sub->commandWindow = commandWindow;
  sub->setDpi(dpi_);
  try {
    openSubmenu = sub;
    const int anchor = x;
    sub->showAt(x + width, y + r.top, hwnd, 0, &anchor, r.bottom - r.top);
  } catch (const std::exception& e) {
    logText(1, std::string("submenu ") + sub->id + " stays closed: " + e.what());
    openSubmenu = nullptr;
    sub->hide();
  }
}

void ZrkMenu::onLeftButtonUp(int px, int py) {
  if (pressedOnArrow) return;
  const int hit = hitTest(px, py, true);
  if (hit >= 0) {
    const ZrkMenuItem& item = *items[hit];
    if (item.submenu || item.disabled) return;
    result = item.id;
    std::printf("item by left button: %s\n", result.c_str());
    const std::string chosen = result;
    choose(chosen, hit);
  }
  if (!isSubmenu && !scrolling && !done) {
    setDone();
    if (hit < 0 && !(flags & TPM_RETURNCMD)) {
      // A release outside the rows of a non-modal menu dismisses it.
      result.clear();
      hide();
      endTracking();
      reportCommand("");
    }
  }
}

// ---- window procedure --------------------------------------------------------------------------

LRESULT ZrkMenu::wndProc(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    const int s = shadowSize();
    const int px = GET_X_LPARAM(lParam) - s, py = GET_Y_LPARAM(lParam) - s;
    switch (message) {
      case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(h, &ps);
        if (animationFrame_) {
          // Mid-animation the window shows the top of the kept frame, as tall as it is now.
          RECT wr;
          GetWindowRect(h, &wr);
          presentAnimationFrame(width + 2 * s, wr.bottom - wr.top);
        } else {
          present(width + 2 * s, height + 2 * s);
        }
        EndPaint(h, &ps);
        return 0;
      }
      case WM_ERASEBKGND: return 1;
      case WM_MOUSEACTIVATE: return 3;  // MA_NOACTIVATE
      case WM_SYSKEYDOWN:
        if (g.keptTable && !isSubmenu) {
          MSG msg;
          msg.hwnd = h;
          msg.message = message;
          msg.wParam = wParam;
          msg.lParam = lParam;
          if (TranslateAccelerator(h, g.keptTable, &msg)) return 0;
        }
        [[fallthrough]];
      case WM_KEYDOWN: {
        const int key = static_cast<int>(wParam);
        if (key != VK_LMENU && key != VK_RMENU) {
          const bool left = GetAsyncKeyState(VK_LMENU) & 1;
          const bool right = GetAsyncKeyState(VK_RMENU) & 1;
          if (left || right) {
            finish(false);
            return 0;
          }
        }
        switch (key) {
          case VK_RETURN:
            if (hoverIndex >= 0 && static_cast<size_t>(hoverIndex) < items.size() &&
                items[hoverIndex]->submenu) {
              if (openSubmenu) {
                openSubmenu->hide();
                openSubmenu = nullptr;
              }
              SetTimer(h, SUBMENU_TIMER, SUBMENU_DELAY_MS, nullptr);
            } else {
              finish(true);
            }
            break;
          case VK_ESCAPE:
          case VK_DELETE:
          case VK_LWIN:
          case VK_RWIN: finish(false); break;
          case VK_LEFT:
            if (isSubmenu && IsWindow(parentWindow))
              SendMessage(parentWindow, MENU_MSG_CLOSE_SUBMENU, 0, 0);
            break;
          case VK_UP: moveUp(); break;
          case VK_RIGHT:
            if (hoverIndex >= 0 && static_cast<size_t>(hoverIndex) < items.size() &&
                items[hoverIndex]->submenu) {
              if (openSubmenu) {
                openSubmenu->hide();
                openSubmenu = nullptr;
              }
              SetTimer(h, SUBMENU_TIMER, SUBMENU_DELAY_MS, nullptr);
            }
            break;
          case VK_DOWN: moveDown(); break;
          default: break;
        }
        break;
      }
      case WM_COMMAND:
        if (!isSubmenu) {
          const unsigned number = LOWORD(wParam);
          result = acceleratorCommands[number];
          int row = -1;
          ZrkMenu* holder = nullptr;
          // The row of the accelerator, for the report.
          std::function<bool(ZrkMenu*)> find = [&](ZrkMenu* m) {
            for (size_t i = 0; i < m->items.size(); ++i) {
              auto& item = m->items[i];
              if (item->accelerator) {
                if (item->id == result && item->accelerator) {
                  holder = m;
                  row = static_cast<int>(i);
                  return true;
                }
              } else if (item->submenu && item->submenu.get() != m && find(item->submenu.get())) {
                return true;
              }
            }
            return false;
          };
          find(this);
          g.choiceMenu = holder;
          g.choiceRow = row;
          g.choiceItem = holder ? holder->items[row] : nullptr;
          const std::string chosen = result;
          SendMessage(h, MENU_MSG_CHOSEN, 0, reinterpret_cast<LPARAM>(chosen.c_str()));
        }
        break;
      case WM_TIMER:
        if (wParam == SUBMENU_TIMER) {
          openSubmenuFromTimer();
        } else if (wParam == ANIMATION_TIMER) {
          if (done) {
            // The tracking ended during the animation: the timer goes with it.
            KillTimer(h, ANIMATION_TIMER);
            releaseAnimationFrame();
            return 0;
          }
          animationTick();
          return 0;
        }
        break;
      case WM_MOUSEMOVE: {
        if (scrolling) {
          const RECT up = upArrowRect(), down = downArrowRect();
          auto inside = [&](const RECT& r) {
            return px >= r.left && px < r.right && py >= r.top && py < r.bottom;
          };
          if (inside(up) || inside(down)) InvalidateRect(h, nullptr, 1);
        }
        const int hit = hitTest(px, py, false);
        if (hit == hoverIndex) break;
        hoverIndex = hit;
        if (openSubmenu) {
          openSubmenu->hide();
          openSubmenu = nullptr;
        }
        if (hit >= 0 && items[hit]->submenu) SetTimer(h, SUBMENU_TIMER, SUBMENU_DELAY_MS, nullptr);
        InvalidateRect(h, nullptr, 0);
        break;
      }
      case WM_LBUTTONDOWN: {
        pressedOnArrow = false;
        if (scrolling) {
          const RECT up = upArrowRect(), down = downArrowRect();
          auto inside = [&](const RECT& r) {
            return px >= r.left && px < r.right && py >= r.top && py < r.bottom;
          };
          bool scrolled = false;
          if (inside(down)) {
            scrolled = scrollDown();
            pressedOnArrow = true;
          } else if (inside(up)) {
            scrolled = scrollUp();
            pressedOnArrow = true;
          }
          if (scrolled) InvalidateRect(h, nullptr, 0);
        }
        break;
      }
      case WM_LBUTTONUP: onLeftButtonUp(px, py); break;
      case WM_MOUSEWHEEL: {
        const int delta = static_cast<int16_t>(HIWORD(wParam));
        bool scrolled = false;
        if (delta < 0) scrolled = scrollDown();
        if (delta > 0) scrolled = scrollUp();
        if (scrolled) InvalidateRect(h, nullptr, 0);
        break;
      }
      case kMouseLeave:
        hoverIndex = -1;
        InvalidateRect(h, nullptr, 0);
        break;
      case MENU_MSG_CHOSEN: {
        const std::string chosen = lParam ? reinterpret_cast<const char*>(lParam) : "";
        if (isSubmenu) {
          if (IsWindow(parentWindow))
            SendMessage(parentWindow, MENU_MSG_CHOSEN, 0, reinterpret_cast<LPARAM>(chosen.c_str()));
          return 0;
        }
        result = chosen;
        if (g.choiceItem && g.choiceItem->id == chosen) {
          chosenMenu_ = g.choiceMenu;
          chosenRow_ = g.choiceRow;
          chosenItem_ = g.choiceItem;
        } else {
          chosenMenu_ = nullptr;
          chosenRow_ = -1;
          chosenItem_.reset();
        }
        g.choiceMenu = nullptr;
        g.choiceItem.reset();
        const bool wasDone = done;
        setDone();
        if (!(flags & TPM_RETURNCMD) && (!wasDone || g.active == this)) {
          hide();
          endTracking();
          reportCommand(result);
        }
        return 0;
      }
      case MENU_MSG_CLOSE_SUBMENU:
        if (openSubmenu) {
          openSubmenu->hide();
          openSubmenu = nullptr;
        }
        return 0;
      case MENU_MSG_DISMISS: {
        const bool wasTracked = g.active == this;
        setDone();
        if (!(flags & TPM_RETURNCMD) && wasTracked) {
          result.clear();
          chosenRow_ = -1;
          chosenMenu_ = nullptr;
          chosenItem_.reset();
          hide();
          endTracking();
          reportCommand(result);
        }
        return 0;
      }
      default: break;
    }
  } catch (const std::exception& e) {
    logText(1, std::string("popup menu ") + id + ": " + e.what());
    return 0;
  } catch (...) {
    logText(1, "popup menu " + id + ": unknown exception");
    return 0;
  }
  return DefWindowProc(h, message, wParam, lParam);
}

}  // namespace zrkmenu
