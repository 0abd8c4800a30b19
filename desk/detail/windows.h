// The window table's internals, shared by the files that make up the windows.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "desk/window.h"

namespace desk::detail {

struct ClassInfo {
  std::u16string name;
  std::u16string key;  // lower-cased ASCII
  ATOM atom = 0;
  WNDCLASSEX wc;
  std::u16string menuName;
};

struct Subclass {
  SUBCLASSPROC proc;
  UINT_PTR id;
  DWORD_PTR refData;
};

struct MenuItem {
  UINT_PTR id = 0;
  UINT state = 0;  // MF_GRAYED, MF_DISABLED, MF_CHECKED, MF_SEPARATOR, MF_POPUP
  std::u16string text;
};

struct Menu {
  std::vector<MenuItem> items;
  bool system = false;
  HWND owner = nullptr;
};

struct Monitor {
  uintptr_t id = 0;
  std::u16string name;
  RECT rect;
  RECT work;
  UINT dpi = 96;
  bool primary = false;
};

struct ThreadInput {
  HWND active = nullptr;
  HWND focus = nullptr;
};

struct Win {
  HWND hwnd = nullptr;
  DWORD thread = 0;
  std::shared_ptr<ClassInfo> cls;
  std::u16string text;
  DWORD style = 0;
  DWORD exStyle = 0;
  HWND parent = nullptr;  // children only
  HWND owner = nullptr;   // top-level only
  bool messageOnly = false;
  RECT rc;      // window rectangle, screen coordinates
  RECT client;  // client rectangle, screen coordinates
  WNDPROC proc = nullptr;
  LONG_PTR userData = 0;
  LONG_PTR id = 0;
  HINSTANCE instance = nullptr;
  std::vector<uint8_t> extra;
  std::map<std::u16string, HANDLE> props;
  std::vector<Subclass> subclasses;
  RECT restore;
  bool restoreToMaximized = false;
  POINT minPos{-1, -1};
  POINT maxPos{-1, -1};
  UINT dpi = 96;
  bool destroying = false;
  bool created = false;  // WM_NCCREATE has been sent
  std::vector<HWND> children;  // front to back
  HMENU sysMenu = nullptr;
  std::shared_ptr<const LayeredFrame> frame;
  BYTE alpha = 255;
  COLORREF colorKey = 0;
  DWORD layeredFlags = 0;
  HICON bigIcon = nullptr;
  HICON smallIcon = nullptr;
};

struct Globals {
  std::mutex m;  // guards everything below; never held while a procedure, hook or observer runs
  std::unordered_map<uintptr_t, std::shared_ptr<Win>> windows;
  std::vector<HWND> top;  // top-level windows, front to back, topmost band first
  std::map<std::u16string, std::shared_ptr<ClassInfo>> classes;
  ATOM nextAtom = 0xC100;
  uintptr_t nextHandle = 0x10000;
  std::unordered_map<DWORD, ThreadInput> input;
  HWND foreground = nullptr;
  HWND capture = nullptr;
  POINT cursor;
  std::vector<Monitor> monitors;
  uintptr_t nextMonitor = 0x100000;
  bool perMonitorOff = false;
  UINT systemDpi = 96;
  std::unordered_map<uintptr_t, std::shared_ptr<Menu>> menus;
  uintptr_t nextMenu = 0x200000;
  int cascade = 0;
};

Globals& globals();

// Under globals().m.
std::shared_ptr<Win> findLocked(HWND hwnd);
const Monitor* monitorForRectLocked(const RECT& r, DWORD flags);
const Monitor* monitorByHandleLocked(HMONITOR h);
const Monitor* primaryLocked();
HMONITOR monitorHandle(const Monitor& m);
RECT frameInsets(DWORD style, DWORD exStyle, bool menu, UINT dpi);
int metricForDpi(int index, UINT dpi);
std::shared_ptr<WindowSnapshot> snapshotLocked(const Win& w);
void removeFromZLocked(HWND hwnd);
bool isChildLocked(HWND parent, HWND hwnd);

// Without the lock.
std::shared_ptr<Win> find(HWND hwnd);
DWORD threadOf(HWND hwnd);
LRESULT callProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, bool sent);
LRESULT send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// Runs `fn` on the window's thread; false (with the last error set) when it could not.
bool runOnOwner(HWND hwnd, const std::function<LRESULT()>& fn, LRESULT* result);
void emitChanged(HWND hwnd);
void emitZOrder();
void emit(WindowEvent event);
bool observed();
MINMAXINFO minMaxInfo(HWND hwnd);
void activate(HWND hwnd, bool foreground);
void dropWindowInputLocked(HWND hwnd);
void refreshDpiAfterMove(HWND hwnd);
void resetWindows();  // test controller: destroys nothing, forgets foreground, capture, cursor

// The popup-menu chooser the test controller sets: the command to choose, 0 to dismiss.
using MenuChooser = std::function<UINT_PTR(HMENU menu, HWND owner, POINT pt)>;
void setMenuChooser(MenuChooser chooser);

}  // namespace desk::detail
