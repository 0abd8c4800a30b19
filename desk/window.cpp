// The window table: classes, creation and destruction, procedures, sends, window data,
// relations, subclassing and the observer.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <thread>
#include <cstring>

#include "desk/clock.h"
#include "desk/detail/queue.h"
#include "desk/detail/window_table.h"
#include "desk/detail/windows.h"
#include "desk/message.h"
#include "desk/thread.h"

namespace desk {
namespace detail {

Globals& globals() {
  static Globals* g = [] {
    auto* made = new Globals;
    Monitor m;
    m.id = made->nextMonitor++;
    m.name = u"\\\\.\\DISPLAY1";
    m.rect = RECT{0, 0, 1920, 1080};
    m.work = RECT{0, 0, 1920, 1040};
    m.dpi = 96;
    m.primary = true;
    made->monitors.push_back(m);
    return made;
  }();
  return *g;
}

namespace {

std::u16string lowerKey(const std::u16string& s) {
  std::u16string out = s;
  for (char16_t& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return out;
}

bool isAtom(const char16_t* name) { return reinterpret_cast<uintptr_t>(name) < 0x10000; }

std::u16string fromUtf8(const char* s) {
  std::u16string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p;) {
    uint32_t c = *p;
    int extra = 0;
    if (c >= 0xF0) {
      c &= 0x07;
      extra = 3;
    } else if (c >= 0xE0) {
      c &= 0x0F;
      extra = 2;
    } else if (c >= 0xC0) {
      c &= 0x1F;
      extra = 1;
    }
    ++p;
    for (int i = 0; i < extra && (*p & 0xC0) == 0x80; ++i, ++p) c = (c << 6) | (*p & 0x3F);
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::shared_ptr<ClassInfo> findClassLocked(const char16_t* name) {
  Globals& g = globals();
  if (!name) return nullptr;
  if (isAtom(name)) {
    auto atom = static_cast<ATOM>(reinterpret_cast<uintptr_t>(name));
    for (auto& [key, cls] : g.classes)
      if (cls->atom == atom) return cls;
    return nullptr;
  }
  auto it = g.classes.find(lowerKey(name));
  return it == g.classes.end() ? nullptr : it->second;
}

// ---- observers ---------------------------------------------------------------------------------

struct Observers {
  std::mutex mutex;
  std::vector<WindowObserver*> list;
  std::deque<WindowEvent> pending;
  bool delivering = false;
  std::thread::id deliverer;
  uint64_t sequence = 0;
  uint64_t delivered = 0;
  std::condition_variable done;
  std::atomic<bool> any{false};
};

Observers& observers() {
  static Observers* o = new Observers;
  return *o;
}

// Calls procedures through their subclasses: the frames say which subclass a DefSubclassProc
// call passes on from.
struct SubclassFrame {
  HWND hwnd;
  size_t index;  // the subclass being called
};
thread_local std::vector<SubclassFrame> t_subclassFrames;

class RealTable final : public WindowTable {
 public:
  DWORD windowThread(HWND hwnd) override { return threadOf(hwnd); }
  LRESULT dispatch(const MSG& msg) override {
    return callProcedure(msg.hwnd, msg.message, msg.wParam, msg.lParam, false);
  }
  LRESULT deliverSent(const MSG& msg) override {
    return callProcedure(msg.hwnd, msg.message, msg.wParam, msg.lParam, true);
  }
  std::vector<HWND> broadcastTargets() override {
    Globals& g = globals();
    std::lock_guard<std::mutex> guard(g.m);
    return g.top;
  }
  void threadEnded(DWORD threadId) override;
};

RealTable& realTable() {
  static RealTable* t = new RealTable;
  return *t;
}

// Installed when the windows are linked in.
const bool g_installed = [] {
  setWindowTable(&realTable());
  return true;
}();

}  // namespace

std::shared_ptr<Win> findLocked(HWND hwnd) {
  Globals& g = globals();
  auto it = g.windows.find(reinterpret_cast<uintptr_t>(hwnd));
  return it == g.windows.end() ? nullptr : it->second;
}

std::shared_ptr<Win> find(HWND hwnd) {
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  return findLocked(hwnd);
}

DWORD threadOf(HWND hwnd) {
  auto w = find(hwnd);
  return w ? w->thread : 0;
}

bool observed() { return observers().any.load(std::memory_order_relaxed); }

void emit(WindowEvent event) {
  Observers& o = observers();
  if (!o.any.load()) return;
  std::unique_lock<std::mutex> lock(o.mutex);
  uint64_t mine = event.sequence = ++o.sequence;
  o.pending.push_back(std::move(event));
  if (o.delivering) {
    // Whoever is delivering takes it, in order. An observer's own changes are delivered after
    // it returns; any other thread waits until its event has been seen, so a change is observed
    // by the time the call that made it returns.
    if (o.deliverer == std::this_thread::get_id()) return;
    o.done.wait(lock, [&] { return o.delivered >= mine; });
    return;
  }
  o.delivering = true;
  o.deliverer = std::this_thread::get_id();
  while (!o.pending.empty()) {
    WindowEvent next = std::move(o.pending.front());
    o.pending.pop_front();
    std::vector<WindowObserver*> list = o.list;
    lock.unlock();
    for (WindowObserver* observer : list) observer->onWindowEvent(next);
    lock.lock();
    o.delivered = next.sequence;
    o.done.notify_all();
  }
  o.delivering = false;
  o.deliverer = std::thread::id();
}

std::shared_ptr<WindowSnapshot> snapshotLocked(const Win& w) {
  auto s = std::make_shared<WindowSnapshot>();
  s->hwnd = w.hwnd;
  s->threadId = w.thread;
  s->className = w.cls ? w.cls->name : u"";
  s->text = w.text;
  s->style = w.style;
  s->exStyle = w.exStyle;
  s->window = w.rc;
  s->client = w.client;
  s->visible = (w.style & WS_VISIBLE) != 0;
  s->enabled = (w.style & WS_DISABLED) == 0;
  s->iconic = (w.style & WS_MINIMIZE) != 0;
  s->zoomed = (w.style & WS_MAXIMIZE) != 0;
  s->messageOnly = w.messageOnly;
  s->restore = w.restore;
  s->owner = w.owner;
  s->parent = w.parent;
  s->dpi = w.dpi;
  s->props = w.props;
  if (w.sysMenu) {
    auto it = globals().menus.find(reinterpret_cast<uintptr_t>(w.sysMenu));
    if (it != globals().menus.end())
      for (const MenuItem& item : it->second->items)
        s->systemMenu[static_cast<UINT>(item.id)] = item.state;
  }
  s->layeredFrame = w.frame;
  s->layeredAlpha = w.alpha;
  s->bigIcon = w.bigIcon;
  s->smallIcon = w.smallIcon;
  return s;
}

void emitChanged(HWND hwnd) {
  if (!observed()) return;
  WindowEvent e;
  e.kind = WindowEvent::Kind::Changed;
  e.hwnd = hwnd;
  {
    Globals& g = globals();
    std::lock_guard<std::mutex> guard(g.m);
    auto w = findLocked(hwnd);
    if (!w) return;
    e.threadId = w->thread;
    e.state = snapshotLocked(*w);
  }
  emit(std::move(e));
}

void emitZOrder() {
  if (!observed()) return;
  WindowEvent e;
  e.kind = WindowEvent::Kind::ZOrder;
  {
    Globals& g = globals();
    std::lock_guard<std::mutex> guard(g.m);
    e.zOrder = g.top;
  }
  emit(std::move(e));
}

LRESULT callProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, bool sent) {
  WNDPROC proc = nullptr;
  SUBCLASSPROC sub = nullptr;
  UINT_PTR subId = 0;
  DWORD_PTR subRef = 0;
  size_t subIndex = 0;
  DWORD thread = 0;
  {
    Globals& g = globals();
    std::lock_guard<std::mutex> guard(g.m);
    auto w = findLocked(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    thread = w->thread;
    proc = w->proc;
    if (!w->subclasses.empty()) {
      subIndex = w->subclasses.size() - 1;
      sub = w->subclasses[subIndex].proc;
      subId = w->subclasses[subIndex].id;
      subRef = w->subclasses[subIndex].refData;
    }
  }
  if (observed()) {
    WindowEvent e;
    e.kind = WindowEvent::Kind::Message;
    e.hwnd = hwnd;
    e.threadId = thread;
    e.message = message;
    e.wParam = wParam;
    e.lParam = lParam;
    e.sent = sent;
    emit(std::move(e));
  }
  if (sub) {
    t_subclassFrames.push_back(SubclassFrame{hwnd, subIndex});
    LRESULT r = sub(hwnd, message, wParam, lParam, subId, subRef);
    t_subclassFrames.pop_back();
    return r;
  }
  if (!proc) return DefWindowProc(hwnd, message, wParam, lParam);
  return proc(hwnd, message, wParam, lParam);
}

LRESULT send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return SendMessage(hwnd, message, wParam, lParam);
}

bool runOnOwner(HWND hwnd, const std::function<LRESULT()>& fn, LRESULT* result) {
  DWORD owner = threadOf(hwnd);
  if (!owner) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  if (owner == GetCurrentThreadId()) {
    LRESULT r = fn();
    if (result) *result = r;
    return true;
  }
  bool ok = false;
  LRESULT r = sendToThread(owner, hwnd, WM_NULL, 0, 0, fn, SendOptions{}, &ok);
  if (result) *result = r;
  return ok;
}

namespace {

// Removes a window from the table and every list, with no messages (its thread is gone, or its
// WM_NCDESTROY has been sent). Returns the last snapshot when observed.
std::shared_ptr<WindowSnapshot> unlinkLocked(const std::shared_ptr<Win>& w) {
  Globals& g = globals();
  std::shared_ptr<WindowSnapshot> last = observed() ? snapshotLocked(*w) : nullptr;
  removeFromZLocked(w->hwnd);
  if (w->parent) {
    if (auto p = findLocked(w->parent)) {
      auto& c = p->children;
      c.erase(std::remove(c.begin(), c.end(), w->hwnd), c.end());
    }
  }
  dropWindowInputLocked(w->hwnd);
  if (w->sysMenu) g.menus.erase(reinterpret_cast<uintptr_t>(w->sysMenu));
  g.windows.erase(reinterpret_cast<uintptr_t>(w->hwnd));
  return last;
}

void emitDestroyed(HWND hwnd, DWORD thread, std::shared_ptr<WindowSnapshot> last) {
  if (!observed()) return;
  WindowEvent e;
  e.kind = WindowEvent::Kind::Destroyed;
  e.hwnd = hwnd;
  e.threadId = thread;
  e.state = std::move(last);
  emit(std::move(e));
}

void RealTable::threadEnded(DWORD threadId) {
  std::vector<std::pair<HWND, std::shared_ptr<WindowSnapshot>>> gone;
  std::vector<std::pair<HWND, DWORD>> others;
  {
    Globals& g = globals();
    std::lock_guard<std::mutex> guard(g.m);
    // The thread's windows, and their children wherever those were made.
    std::vector<std::shared_ptr<Win>> mine;
    for (auto& [id, w] : g.windows)
      if (w->thread == threadId) mine.push_back(w);
    for (size_t i = 0; i < mine.size(); ++i) {
      for (HWND c : mine[i]->children) {
        auto cw = findLocked(c);
        if (cw && cw->thread != threadId) mine.push_back(cw);
      }
    }
    for (auto it = mine.rbegin(); it != mine.rend(); ++it) {
      others.emplace_back((*it)->hwnd, (*it)->thread);
      gone.emplace_back((*it)->hwnd, unlinkLocked(*it));
    }
    g.input.erase(threadId);
  }
  for (auto& [hwnd, thread] : others)
    if (thread != threadId) purgeWindow(thread, hwnd);
  for (auto& [hwnd, last] : gone) emitDestroyed(hwnd, threadId, last);
  if (!gone.empty()) emitZOrder();
}

// Sends WM_DESTROY to the window and then its children, depth first.
void sendDestroy(HWND hwnd) {
  send(hwnd, WM_DESTROY, 0, 0);
  std::vector<HWND> children;
  if (auto w = find(hwnd)) children = w->children;
  for (HWND c : children) sendDestroy(c);
}

// Sends WM_NCDESTROY to the children first, then the window, and unlinks each.
void sendNcDestroy(HWND hwnd) {
  std::vector<HWND> children;
  if (auto w = find(hwnd)) children = w->children;
  for (HWND c : children) sendNcDestroy(c);
  DWORD thread = threadOf(hwnd);
  if (!thread) return;
  send(hwnd, WM_NCDESTROY, 0, 0);
  std::shared_ptr<WindowSnapshot> last;
  {
    Globals& g = globals();
    std::lock_guard<std::mutex> guard(g.m);
    auto w = findLocked(hwnd);
    if (!w) return;
    last = unlinkLocked(w);
  }
  purgeWindow(thread, hwnd);
  emitDestroyed(hwnd, thread, last);
}

}  // namespace

}  // namespace detail

using namespace detail;

// ---- classes -----------------------------------------------------------------------------------

ATOM RegisterClassEx(const WNDCLASSEX* wc) {
  if (!wc || wc->cbSize != sizeof(WNDCLASSEX) || !wc->lpszClassName ||
      isAtom(wc->lpszClassName) || !*wc->lpszClassName || wc->cbWndExtra < 0 ||
      wc->cbClsExtra < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  std::u16string name = wc->lpszClassName;
  std::u16string key = lowerKey(name);
  if (g.classes.count(key)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  auto cls = std::make_shared<ClassInfo>();
  cls->name = name;
  cls->key = key;
  cls->atom = g.nextAtom++;
  cls->wc = *wc;
  if (wc->lpszMenuName && !isAtom(wc->lpszMenuName)) cls->menuName = wc->lpszMenuName;
  cls->wc.lpszClassName = nullptr;
  cls->wc.lpszMenuName = nullptr;
  g.classes[key] = cls;
  return cls->atom;
}

ATOM RegisterClass(const WNDCLASS* wc) {
  if (!wc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WNDCLASSEX ex;
  ex.style = wc->style;
  ex.lpfnWndProc = wc->lpfnWndProc;
  ex.cbClsExtra = wc->cbClsExtra;
  ex.cbWndExtra = wc->cbWndExtra;
  ex.hInstance = wc->hInstance;
  ex.hIcon = wc->hIcon;
  ex.hCursor = wc->hCursor;
  ex.hbrBackground = wc->hbrBackground;
  ex.lpszMenuName = wc->lpszMenuName;
  ex.lpszClassName = wc->lpszClassName;
  return RegisterClassEx(&ex);
}

BOOL UnregisterClass(const char16_t* className, HINSTANCE instance) {
  (void)instance;
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  auto cls = findClassLocked(className);
  if (!cls) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return 0;
  }
  for (auto& [id, w] : g.windows) {
    if (w->cls == cls) {
      SetLastError(ERROR_CLASS_HAS_WINDOWS);
      return 0;
    }
  }
  g.classes.erase(cls->key);
  return 1;
}

BOOL GetClassInfoEx(HINSTANCE instance, const char16_t* className, WNDCLASSEX* out) {
  (void)instance;
  if (!out) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  auto cls = findClassLocked(className);
  if (!cls) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return 0;
  }
  *out = cls->wc;
  out->lpszClassName = cls->name.c_str();
  out->lpszMenuName = cls->menuName.empty() ? nullptr : cls->menuName.c_str();
  return cls->atom;
}

namespace {
int copyText(const std::u16string& text, char16_t* buffer, int maxCount) {
  if (!buffer || maxCount <= 0) return 0;
  int n = std::min<int>(static_cast<int>(text.size()), maxCount - 1);
  std::copy(text.begin(), text.begin() + n, buffer);
  buffer[n] = 0;
  return n;
}
}  // namespace

int GetClassName(HWND hwnd, char16_t* buffer, int maxCount) {
  auto w = find(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (!buffer || maxCount <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return copyText(w->cls->name, buffer, maxCount);
}

// ---- creation and destruction ------------------------------------------------------------------

HWND CreateWindowEx(DWORD exStyle, const char16_t* className, const char16_t* windowName,
                    DWORD style, int x, int y, int width, int height, HWND parent, HMENU menu,
                    HINSTANCE instance, void* param) {
  Globals& g = globals();
  ensureQueue();
  DWORD self = GetCurrentThreadId();
  bool messageOnly = parent == HWND_MESSAGE;
  bool child = (style & WS_CHILD) != 0 && !messageOnly;
  auto w = std::make_shared<Win>();
  {
    std::lock_guard<std::mutex> guard(g.m);
    auto cls = findClassLocked(className);
    if (!cls) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    std::shared_ptr<Win> p;
    if (parent && !messageOnly) {
      p = findLocked(parent);
      if (!p) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
      }
    }
    if (child && !p) {
      SetLastError(ERROR_TLW_WITH_WSCHILD);
      return nullptr;
    }
    if (!child && p) {
      // The owner of a top-level window is always a top-level window.
      while (p->parent) p = findLocked(p->parent);
    }
    w->hwnd = reinterpret_cast<HWND>(g.nextHandle);
    g.nextHandle += 2;
    w->thread = self;
    w->cls = cls;
    w->proc = cls->wc.lpfnWndProc;
    w->instance = instance;
    w->extra.assign(static_cast<size_t>(cls->wc.cbWndExtra), 0);
    w->messageOnly = messageOnly;
    if (!child && !messageOnly && !(style & WS_POPUP)) style |= WS_CAPTION | WS_CLIPSIBLINGS;
    if (child) {
      w->parent = p->hwnd;
      w->id = reinterpret_cast<LONG_PTR>(menu);
    } else if (p) {
      w->owner = p->hwnd;
    }
    // Shown, minimised and maximised come from the show sequence below.
    w->style = style & ~(WS_VISIBLE | WS_MINIMIZE | WS_MAXIMIZE);
    w->exStyle = exStyle;
    if ((style & WS_CAPTION) == WS_CAPTION || (exStyle & WS_EX_DLGMODALFRAME) ||
        (style & WS_THICKFRAME))
      w->exStyle |= WS_EX_WINDOWEDGE;
    // Position: CW_USEDEFAULT cascades top-level windows over the primary work area.
    const Monitor* prim = primaryLocked();
    RECT work = prim ? prim->work : RECT{0, 0, 1920, 1040};
    int cx = width, cy = height;
    if (child) {
      if (x == CW_USEDEFAULT) x = y = 0;
      if (width == CW_USEDEFAULT) cx = cy = 0;
    } else {
      if (x == CW_USEDEFAULT) {
        int step = 26 * (g.cascade++ % 8);
        x = work.left + step;
        y = work.top + step;
      }
      if (width == CW_USEDEFAULT) {
        cx = (work.right - work.left) * 3 / 4;
        cy = (work.bottom - work.top) * 3 / 4;
      }
    }
    cx = std::max(cx, 0);
    cy = std::max(cy, 0);
    POINT origin{0, 0};
    if (child) origin = POINT{p->client.left, p->client.top};
    w->rc = RECT{origin.x + x, origin.y + y, origin.x + x + cx, origin.y + y + cy};
    w->client = w->rc;
    w->restore = w->rc;
    const Monitor* mon = monitorForRectLocked(w->rc, MONITOR_DEFAULTTONEAREST);
    w->dpi = child ? p->dpi : (mon ? mon->dpi : 96);
    g.windows[reinterpret_cast<uintptr_t>(w->hwnd)] = w;
    if (child) {
      p->children.insert(p->children.begin(), w->hwnd);
    } else if (!messageOnly) {
      // New top-level windows go to the top of their band.
      auto pos = g.top.begin();
      if (!(exStyle & WS_EX_TOPMOST)) {
        while (pos != g.top.end()) {
          auto o = findLocked(*pos);
          if (!o || !(o->exStyle & WS_EX_TOPMOST)) break;
          ++pos;
        }
      }
      g.top.insert(pos, w->hwnd);
    }
  }
  HWND hwnd = w->hwnd;
  if (observed()) {
    WindowEvent e;
    e.kind = WindowEvent::Kind::Created;
    e.hwnd = hwnd;
    e.threadId = self;
    {
      std::lock_guard<std::mutex> guard(g.m);
      e.state = snapshotLocked(*w);
    }
    emit(std::move(e));
    if (!child && !messageOnly) emitZOrder();
  }

  CREATESTRUCT cs;
  cs.lpCreateParams = param;
  cs.hInstance = instance;
  cs.hMenu = menu;
  cs.hwndParent = messageOnly ? HWND_MESSAGE : parent;
  cs.x = w->rc.left;
  cs.y = w->rc.top;
  cs.cx = w->rc.right - w->rc.left;
  cs.cy = w->rc.bottom - w->rc.top;
  cs.style = static_cast<int32_t>(style);
  cs.lpszName = windowName;
  cs.lpszClass = className;
  cs.dwExStyle = exStyle;

  auto fail = [&](bool sendDestroyFirst) -> HWND {
    if (!IsWindow(hwnd)) return nullptr;
    if (sendDestroyFirst) DestroyWindow(hwnd);
    else sendNcDestroy(hwnd);
    emitZOrder();
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  };

  if (!child && !messageOnly) {
    MINMAXINFO mmi = minMaxInfo(hwnd);
    std::lock_guard<std::mutex> guard(g.m);
    if (auto cur = findLocked(hwnd)) {
      int cw = std::clamp<int>(cur->rc.right - cur->rc.left, 0, mmi.ptMaxTrackSize.x);
      int ch = std::clamp<int>(cur->rc.bottom - cur->rc.top, 0, mmi.ptMaxTrackSize.y);
      cur->rc.right = cur->rc.left + cw;
      cur->rc.bottom = cur->rc.top + ch;
      cs.cx = cw;
      cs.cy = ch;
    }
  }
  w->created = true;
  if (!send(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) return fail(false);
  if (!IsWindow(hwnd)) return nullptr;
  // The client area from WM_NCCALCSIZE, in the parent's client coordinates.
  {
    RECT r;
    POINT origin{0, 0};
    {
      std::lock_guard<std::mutex> guard(g.m);
      auto cur = findLocked(hwnd);
      if (!cur) return nullptr;
      if (cur->parent)
        if (auto p = findLocked(cur->parent)) origin = POINT{p->client.left, p->client.top};
      r = cur->rc;
    }
    RECT rel{r.left - origin.x, r.top - origin.y, r.right - origin.x, r.bottom - origin.y};
    send(hwnd, WM_NCCALCSIZE, 0, reinterpret_cast<LPARAM>(&rel));
    std::lock_guard<std::mutex> guard(g.m);
    if (auto cur = findLocked(hwnd))
      cur->client = RECT{rel.left + origin.x, rel.top + origin.y, rel.right + origin.x,
                         rel.bottom + origin.y};
  }
  if (send(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) return fail(true);
  if (!IsWindow(hwnd)) return nullptr;
  {
    RECT client;
    POINT origin{0, 0};
    {
      std::lock_guard<std::mutex> guard(g.m);
      auto cur = findLocked(hwnd);
      if (!cur) return nullptr;
      client = cur->client;
      if (cur->parent)
        if (auto p = findLocked(cur->parent)) origin = POINT{p->client.left, p->client.top};
    }
    emitChanged(hwnd);
    send(hwnd, WM_SIZE, SIZE_RESTORED,
         MAKELPARAM(client.right - client.left, client.bottom - client.top));
    send(hwnd, WM_MOVE, 0, MAKELPARAM(client.left - origin.x, client.top - origin.y));
  }
  if (child && !(exStyle & WS_EX_NOPARENTNOTIFY) && IsWindow(hwnd)) {
    send(parent, WM_PARENTNOTIFY, MAKEWPARAM(WM_CREATE, static_cast<int>(w->id)),
         reinterpret_cast<LPARAM>(hwnd));
  }
  if (!IsWindow(hwnd)) return nullptr;
  if (style & WS_MAXIMIZE) {
    ShowWindow(hwnd, (style & WS_VISIBLE) ? SW_SHOWMAXIMIZED : SW_MAXIMIZE);
    if (!(style & WS_VISIBLE)) ShowWindow(hwnd, SW_HIDE);
  } else if (style & WS_MINIMIZE) {
    ShowWindow(hwnd, SW_SHOWMINNOACTIVE);
    if (!(style & WS_VISIBLE)) ShowWindow(hwnd, SW_HIDE);
  } else if (style & WS_VISIBLE) {
    ShowWindow(hwnd, SW_SHOW);
  }
  return IsWindow(hwnd) ? hwnd : nullptr;
}

BOOL DestroyWindow(HWND hwnd) {
  Globals& g = globals();
  std::vector<HWND> owned;
  HWND parent = nullptr;
  LONG_PTR id = 0;
  bool notifyParent = false;
  {
    std::lock_guard<std::mutex> guard(g.m);
    auto w = findLocked(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (w->thread != GetCurrentThreadId()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return 0;
    }
    if (w->destroying) return 1;  // already on its way
    w->destroying = true;
    for (auto& [key, o] : g.windows)
      if (o->owner == hwnd && !o->destroying) owned.push_back(o->hwnd);
    parent = w->parent;
    id = w->id;
    notifyParent = parent && !(w->exStyle & WS_EX_NOPARENTNOTIFY);
  }
  if (notifyParent) send(parent, WM_PARENTNOTIFY, MAKEWPARAM(WM_DESTROY, static_cast<int>(id)),
                         reinterpret_cast<LPARAM>(hwnd));
  // Owned windows go first; one of another thread is destroyed on its own thread.
  for (HWND o : owned) {
    DWORD t = threadOf(o);
    if (t == GetCurrentThreadId()) {
      DestroyWindow(o);
    } else if (t) {
      runOnOwner(o, [o] { return static_cast<LRESULT>(DestroyWindow(o)); }, nullptr);
    }
  }
  // Hidden, and no longer active, focused or captured.
  bool wasVisible = false;
  {
    std::lock_guard<std::mutex> guard(g.m);
    if (auto w = findLocked(hwnd)) {
      wasVisible = (w->style & WS_VISIBLE) != 0;
      w->style &= ~WS_VISIBLE;
    }
  }
  if (wasVisible) emitChanged(hwnd);
  HWND nextActive = nullptr;
  bool wasActive = false;
  {
    std::lock_guard<std::mutex> guard(g.m);
    ThreadInput& in = g.input[GetCurrentThreadId()];
    wasActive = in.active == hwnd;
    if (wasActive) {
      in.active = nullptr;
      // The owner, else the next visible top-level window of this thread, takes over.
      auto w = findLocked(hwnd);
      HWND owner = w ? w->owner : nullptr;
      auto o = owner ? findLocked(owner) : nullptr;
      if (o && (o->style & WS_VISIBLE) && !o->destroying) {
        nextActive = owner;
      } else {
        for (HWND t : g.top) {
          auto c = findLocked(t);
          if (c && c->hwnd != hwnd && !c->destroying && (c->style & WS_VISIBLE) &&
              !(c->style & WS_DISABLED) && c->thread == GetCurrentThreadId()) {
            nextActive = t;
            break;
          }
        }
      }
    }
    if (g.foreground == hwnd) g.foreground = nullptr;
    if (in.focus == hwnd || isChildLocked(hwnd, in.focus)) in.focus = nullptr;
    if (g.capture == hwnd) g.capture = nullptr;
  }
  if (wasActive) {
    send(hwnd, WM_NCACTIVATE, 0, 0);
    send(hwnd, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(nextActive));
    if (nextActive) activate(nextActive, true);
  }
  sendDestroy(hwnd);
  sendNcDestroy(hwnd);
  emitZOrder();
  return 1;
}

BOOL IsWindow(HWND hwnd) { return find(hwnd) ? 1 : 0; }

DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId) {
  auto w = find(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (processId) *processId = 1;
  return w->thread;
}

LRESULT CallWindowProc(WNDPROC proc, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!proc) return 0;
  return proc(hwnd, message, wParam, lParam);
}

// ---- sends -------------------------------------------------------------------------------------

namespace {
void broadcastSend(UINT message, WPARAM wParam, LPARAM lParam, UINT timeoutMs) {
  std::vector<HWND> targets = realTable().broadcastTargets();
  for (HWND target : targets) {
    DWORD t = threadOf(target);
    if (!t) continue;
    if (t == GetCurrentThreadId()) {
      callProcedure(target, message, wParam, lParam, true);
      continue;
    }
    if (threadHung(t)) {
      std::fprintf(stderr, "desk: broadcast %#x skips window %p: thread %lu is not responding\n",
                   message, static_cast<void*>(target), static_cast<unsigned long>(t));
      continue;
    }
    SendOptions options;
    options.abortIfHung = true;
    if (timeoutMs) options.timeoutMs = timeoutMs;
    sendToThread(t, target, message, wParam, lParam, {}, options, nullptr);
  }
}
}  // namespace

LRESULT SendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (hwnd == HWND_BROADCAST) {
    broadcastSend(message, wParam, lParam, 0);
    return 1;
  }
  DWORD owner = threadOf(hwnd);
  if (!owner) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (owner == GetCurrentThreadId()) return callProcedure(hwnd, message, wParam, lParam, true);
  return sendToThread(owner, hwnd, message, wParam, lParam, {}, SendOptions{}, nullptr);
}

LRESULT SendMessageTimeout(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                           UINT timeoutMs, DWORD_PTR* result) {
  if (hwnd == HWND_BROADCAST) {
    broadcastSend(message, wParam, lParam, timeoutMs);
    if (result) *result = 0;
    return 1;
  }
  DWORD owner = threadOf(hwnd);
  if (!owner) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (owner == GetCurrentThreadId()) {
    LRESULT r = callProcedure(hwnd, message, wParam, lParam, true);
    if (result) *result = static_cast<DWORD_PTR>(r);
    return 1;
  }
  SendOptions options;
  options.timeoutMs = timeoutMs;
  options.abortIfHung = (flags & SMTO_ABORTIFHUNG) != 0;
  bool ok = false;
  LRESULT r = sendToThread(owner, hwnd, message, wParam, lParam, {}, options, &ok);
  if (!ok) return 0;
  if (result) *result = static_cast<DWORD_PTR>(r);
  return 1;
}

BOOL InSendMessage() { return inSendMessage() ? 1 : 0; }

// ---- window data -------------------------------------------------------------------------------

LONG_PTR GetWindowLongPtr(HWND hwnd, int index) {
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  auto w = findLocked(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  switch (index) {
    case GWL_STYLE: return static_cast<LONG_PTR>(static_cast<int32_t>(w->style));
    case GWL_EXSTYLE: return static_cast<LONG_PTR>(static_cast<int32_t>(w->exStyle));
    case GWLP_USERDATA: return w->userData;
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
    case GWLP_HWNDPARENT: return reinterpret_cast<LONG_PTR>(w->parent ? w->parent : w->owner);
    case GWLP_ID: return w->id;
    default: break;
  }
  if (index >= 0 && static_cast<size_t>(index) + sizeof(LONG_PTR) <= w->extra.size()) {
    LONG_PTR v;
    std::memcpy(&v, w->extra.data() + index, sizeof v);
    return v;
  }
  SetLastError(ERROR_INVALID_INDEX);
  return 0;
}

LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value) {
  Globals& g = globals();
  if (index == GWL_STYLE || index == GWL_EXSTYLE) {
    // Style changes tell the window: they run on its thread.
    LRESULT previous = 0;
    bool ok = runOnOwner(hwnd, [&]() -> LRESULT {
      STYLESTRUCT ss;
      {
        std::lock_guard<std::mutex> guard(g.m);
        auto w = findLocked(hwnd);
        if (!w) return 0;
        ss.styleOld = index == GWL_STYLE ? w->style : w->exStyle;
      }
      ss.styleNew = static_cast<DWORD>(value);
      send(hwnd, WM_STYLECHANGING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&ss));
      {
        std::lock_guard<std::mutex> guard(g.m);
        auto w = findLocked(hwnd);
        if (!w) return 0;
        DWORD& field = index == GWL_STYLE ? w->style : w->exStyle;
        DWORD keep = index == GWL_STYLE ? (field & (WS_VISIBLE | WS_MINIMIZE | WS_MAXIMIZE)) : 0;
        DWORD next = ss.styleNew;
        if (index == GWL_STYLE) next = (next & ~(WS_VISIBLE | WS_MINIMIZE | WS_MAXIMIZE)) | keep;
        field = next;
      }
      send(hwnd, WM_STYLECHANGED, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&ss));
      emitChanged(hwnd);
      return static_cast<LRESULT>(static_cast<int32_t>(ss.styleOld));
    }, &previous);
    if (!ok) return 0;
    SetLastError(ERROR_SUCCESS);
    return previous;
  }
  LONG_PTR old = 0;
  {
    std::lock_guard<std::mutex> guard(g.m);
    auto w = findLocked(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    switch (index) {
      case GWLP_USERDATA:
        old = w->userData;
        w->userData = value;
        break;
      case GWLP_WNDPROC:
        old = reinterpret_cast<LONG_PTR>(w->proc);
        w->proc = reinterpret_cast<WNDPROC>(value);
        break;
      case GWLP_HINSTANCE:
        old = reinterpret_cast<LONG_PTR>(w->instance);
        w->instance = reinterpret_cast<HINSTANCE>(value);
        break;
      case GWLP_ID:
        old = w->id;
        w->id = value;
        break;
      case GWLP_HWNDPARENT: {
        // For a top-level window: its owner.
        old = reinterpret_cast<LONG_PTR>(w->parent ? w->parent : w->owner);
        if (w->parent) break;
        HWND owner = reinterpret_cast<HWND>(value);
        if (owner) {
          auto o = findLocked(owner);
          if (!o) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
          }
          while (o->parent) o = findLocked(o->parent);
          // A window may not own itself, directly or through a chain.
          for (auto c = o; c; c = c->owner ? findLocked(c->owner) : nullptr) {
            if (c->hwnd == hwnd) {
              SetLastError(ERROR_INVALID_PARAMETER);
              return 0;
            }
          }
          owner = o->hwnd;
        }
        w->owner = owner;
        break;
      }
      default:
        if (index >= 0 && static_cast<size_t>(index) + sizeof(LONG_PTR) <= w->extra.size()) {
          std::memcpy(&old, w->extra.data() + index, sizeof old);
          std::memcpy(w->extra.data() + index, &value, sizeof value);
          break;
        }
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
  }
  SetLastError(ERROR_SUCCESS);
  emitChanged(hwnd);
  return old;
}

LONG_PTR GetClassLongPtr(HWND hwnd, int index) {
  auto w = find(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  constexpr int GCW_ATOM = -32;
  constexpr int GCL_STYLE = -26;
  constexpr int GCLP_WNDPROC = -24;
  switch (index) {
    case GCW_ATOM: return w->cls->atom;
    case GCL_STYLE: return w->cls->wc.style;
    case GCLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->cls->wc.lpfnWndProc);
    default: SetLastError(ERROR_INVALID_INDEX); return 0;
  }
}

BOOL SetProp(HWND hwnd, const char16_t* name, HANDLE data) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  {
    Globals& g = globals();
    std::lock_guard<std::mutex> guard(g.m);
    auto w = findLocked(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    w->props[name] = data;
  }
  emitChanged(hwnd);
  return 1;
}

HANDLE GetProp(HWND hwnd, const char16_t* name) {
  if (!name) return nullptr;
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  auto w = findLocked(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  auto it = w->props.find(name);
  return it == w->props.end() ? nullptr : it->second;
}

HANDLE RemoveProp(HWND hwnd, const char16_t* name) {
  if (!name) return nullptr;
  HANDLE out = nullptr;
  {
    Globals& g = globals();
    std::lock_guard<std::mutex> guard(g.m);
    auto w = findLocked(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    auto it = w->props.find(name);
    if (it == w->props.end()) return nullptr;
    out = it->second;
    w->props.erase(it);
  }
  emitChanged(hwnd);
  return out;
}

BOOL SetProp(HWND hwnd, const char* name, HANDLE data) {
  if (!name) return SetProp(hwnd, static_cast<const char16_t*>(nullptr), data);
  return SetProp(hwnd, fromUtf8(name).c_str(), data);
}
HANDLE GetProp(HWND hwnd, const char* name) {
  if (!name) return nullptr;
  return GetProp(hwnd, fromUtf8(name).c_str());
}
HANDLE RemoveProp(HWND hwnd, const char* name) {
  if (!name) return nullptr;
  return RemoveProp(hwnd, fromUtf8(name).c_str());
}

BOOL SetWindowText(HWND hwnd, const char16_t* text) {
  if (!IsWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return SendMessage(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : u"")) ? 1 : 0;
}

int GetWindowText(HWND hwnd, char16_t* buffer, int maxCount) {
  // The stored text is read directly, from any thread.
  auto w = find(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    if (buffer && maxCount > 0) buffer[0] = 0;
    return 0;
  }
  std::u16string text;
  {
    std::lock_guard<std::mutex> guard(globals().m);
    text = w->text;
  }
  return copyText(text, buffer, maxCount);
}

int GetWindowTextLength(HWND hwnd) {
  auto w = find(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> guard(globals().m);
  return static_cast<int>(w->text.size());
}

// ---- relations ---------------------------------------------------------------------------------

HWND GetParent(HWND hwnd) {
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  auto w = findLocked(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (w->style & WS_CHILD) return w->parent;
  if (w->style & WS_POPUP) return w->owner;
  return nullptr;
}

HWND GetWindow(HWND hwnd, UINT cmd) {
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  auto w = findLocked(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  const std::vector<HWND>* siblings = &g.top;
  if (w->parent) {
    auto p = findLocked(w->parent);
    siblings = p ? &p->children : nullptr;
  }
  switch (cmd) {
    case GW_OWNER: return w->owner;
    case GW_CHILD: return w->children.empty() ? nullptr : w->children.front();
    case GW_HWNDFIRST: return siblings && !siblings->empty() ? siblings->front() : nullptr;
    case GW_HWNDLAST: return siblings && !siblings->empty() ? siblings->back() : nullptr;
    case GW_HWNDNEXT:
    case GW_HWNDPREV: {
      if (!siblings) return nullptr;
      auto it = std::find(siblings->begin(), siblings->end(), hwnd);
      if (it == siblings->end()) return nullptr;
      if (cmd == GW_HWNDNEXT) return (it + 1) == siblings->end() ? nullptr : *(it + 1);
      return it == siblings->begin() ? nullptr : *(it - 1);
    }
    default: SetLastError(ERROR_INVALID_GW_COMMAND); return nullptr;
  }
}

HWND GetDesktopWindow() { return reinterpret_cast<HWND>(0x10010); }

HWND GetAncestor(HWND hwnd, UINT flags) {
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  auto w = findLocked(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  switch (flags) {
    case GA_PARENT: return w->parent ? w->parent : GetDesktopWindow();
    case GA_ROOT: {
      while (w->parent) w = findLocked(w->parent);
      return w->hwnd;
    }
    case GA_ROOTOWNER: {
      while (w->parent) w = findLocked(w->parent);
      while (w->owner) {
        auto o = findLocked(w->owner);
        if (!o) break;
        w = o;
      }
      return w->hwnd;
    }
    default: SetLastError(ERROR_INVALID_PARAMETER); return nullptr;
  }
}

namespace detail {
bool isChildLocked(HWND parent, HWND hwnd) {
  if (!parent || !hwnd) return false;
  auto w = findLocked(hwnd);
  while (w && w->parent) {
    if (w->parent == parent) return true;
    w = findLocked(w->parent);
  }
  return false;
}
}  // namespace detail

BOOL IsChild(HWND parent, HWND hwnd) {
  std::lock_guard<std::mutex> guard(globals().m);
  return isChildLocked(parent, hwnd) ? 1 : 0;
}

namespace {
bool enumerate(std::vector<HWND> list, WNDENUMPROC proc, LPARAM lParam) {
  for (HWND h : list) {
    if (!IsWindow(h)) continue;
    if (!proc(h, lParam)) return false;
  }
  return true;
}

void descendantsLocked(const Win& w, std::vector<HWND>& out) {
  for (HWND c : w.children) {
    out.push_back(c);
    if (auto cw = findLocked(c)) descendantsLocked(*cw, out);
  }
}
}  // namespace

BOOL EnumWindows(WNDENUMPROC proc, LPARAM lParam) {
  if (!proc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::vector<HWND> list;
  {
    std::lock_guard<std::mutex> guard(globals().m);
    list = globals().top;
  }
  enumerate(list, proc, lParam);
  return 1;
}

BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM lParam) {
  if (!proc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!parent) return EnumWindows(proc, lParam);
  std::vector<HWND> list;
  {
    std::lock_guard<std::mutex> guard(globals().m);
    auto w = findLocked(parent);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    descendantsLocked(*w, list);
  }
  enumerate(list, proc, lParam);
  return 1;
}

BOOL EnumThreadWindows(DWORD threadId, WNDENUMPROC proc, LPARAM lParam) {
  if (!proc) return 0;
  std::vector<HWND> list;
  {
    std::lock_guard<std::mutex> guard(globals().m);
    for (HWND h : globals().top)
      if (auto w = findLocked(h); w && w->thread == threadId) list.push_back(h);
  }
  return enumerate(list, proc, lParam) ? 1 : 0;
}

HWND FindWindowEx(HWND parent, HWND childAfter, const char16_t* className,
                  const char16_t* windowName) {
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  std::vector<HWND> list;
  if (parent == HWND_MESSAGE) {
    for (auto& [id, w] : g.windows)
      if (w->messageOnly) list.push_back(w->hwnd);
    std::sort(list.begin(), list.end());
  } else if (parent) {
    auto p = findLocked(parent);
    if (!p) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    list = p->children;
  } else {
    list = g.top;
  }
  std::shared_ptr<ClassInfo> cls;
  if (className) {
    cls = findClassLocked(className);
    if (!cls) return nullptr;
  }
  bool started = childAfter == nullptr;
  for (HWND h : list) {
    if (!started) {
      started = h == childAfter;
      continue;
    }
    auto w = findLocked(h);
    if (!w) continue;
    if (cls && w->cls != cls) continue;
    if (windowName && w->text != windowName) continue;
    return h;
  }
  return nullptr;
}

HWND FindWindow(const char16_t* className, const char16_t* windowName) {
  return FindWindowEx(nullptr, nullptr, className, windowName);
}

namespace {
bool contains(const RECT& r, POINT p) {
  return p.x >= r.left && p.x < r.right && p.y >= r.top && p.y < r.bottom;
}

// The deepest visible child under the point, starting at `w`; a disabled child is passed over
// (its parent answers for it).
HWND deepestLocked(const std::shared_ptr<Win>& w, POINT pt) {
  for (HWND c : w->children) {
    auto cw = findLocked(c);
    if (!cw || !(cw->style & WS_VISIBLE) || !contains(cw->rc, pt)) continue;
    if (cw->style & WS_DISABLED) return w->hwnd;
    return deepestLocked(cw, pt);
  }
  return w->hwnd;
}
}  // namespace

HWND WindowFromPoint(POINT point) {
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  for (HWND h : g.top) {
    auto w = findLocked(h);
    if (!w || !(w->style & WS_VISIBLE) || !contains(w->rc, point)) continue;
    if (w->exStyle & WS_EX_TRANSPARENT) continue;
    return deepestLocked(w, point);
  }
  return nullptr;
}

HWND ChildWindowFromPoint(HWND parent, POINT point) {
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  auto p = findLocked(parent);
  if (!p) return nullptr;
  POINT screen{point.x + p->client.left, point.y + p->client.top};
  if (!contains(p->rc, screen)) return nullptr;
  for (HWND c : p->children) {
    auto cw = findLocked(c);
    if (cw && contains(cw->rc, screen)) return c;
  }
  return parent;
}

// ---- subclasses --------------------------------------------------------------------------------

BOOL SetWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR id, DWORD_PTR refData) {
  if (!proc) return 0;
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  auto w = findLocked(hwnd);
  if (!w || w->thread != GetCurrentThreadId()) return 0;
  for (Subclass& s : w->subclasses) {
    if (s.proc == proc && s.id == id) {
      s.refData = refData;
      return 1;
    }
  }
  w->subclasses.push_back(Subclass{proc, id, refData});
  return 1;
}

BOOL GetWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR id, DWORD_PTR* refData) {
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  auto w = findLocked(hwnd);
  if (!w) return 0;
  for (Subclass& s : w->subclasses) {
    if (s.proc == proc && s.id == id) {
      if (refData) *refData = s.refData;
      return 1;
    }
  }
  return 0;
}

BOOL RemoveWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR id) {
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  auto w = findLocked(hwnd);
  if (!w || w->thread != GetCurrentThreadId()) return 0;
  for (auto it = w->subclasses.begin(); it != w->subclasses.end(); ++it) {
    if (it->proc == proc && it->id == id) {
      size_t index = static_cast<size_t>(it - w->subclasses.begin());
      w->subclasses.erase(it);
      // Calls under way below the removed one keep their place.
      for (SubclassFrame& f : t_subclassFrames)
        if (f.hwnd == hwnd && f.index > index) --f.index;
      return 1;
    }
  }
  return 0;
}

LRESULT DefSubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  SubclassFrame* frame = nullptr;
  for (size_t i = t_subclassFrames.size(); i-- > 0;) {
    if (t_subclassFrames[i].hwnd == hwnd) {
      frame = &t_subclassFrames[i];
      break;
    }
  }
  WNDPROC proc = nullptr;
  SUBCLASSPROC sub = nullptr;
  UINT_PTR subId = 0;
  DWORD_PTR subRef = 0;
  size_t next = 0;
  {
    Globals& g = globals();
    std::lock_guard<std::mutex> guard(g.m);
    auto w = findLocked(hwnd);
    if (!w) return 0;
    proc = w->proc;
    if (frame && frame->index > 0 && frame->index - 1 < w->subclasses.size()) {
      next = frame->index - 1;
      sub = w->subclasses[next].proc;
      subId = w->subclasses[next].id;
      subRef = w->subclasses[next].refData;
    }
  }
  if (sub) {
    t_subclassFrames.push_back(SubclassFrame{hwnd, next});
    LRESULT r = sub(hwnd, message, wParam, lParam, subId, subRef);
    t_subclassFrames.pop_back();
    return r;
  }
  if (!proc) return DefWindowProc(hwnd, message, wParam, lParam);
  // The window procedure itself: calls made from it are no longer inside a subclass.
  t_subclassFrames.push_back(SubclassFrame{nullptr, 0});
  LRESULT r = proc(hwnd, message, wParam, lParam);
  t_subclassFrames.pop_back();
  return r;
}

// ---- observers ---------------------------------------------------------------------------------

void addWindowObserver(WindowObserver* observer) {
  if (!observer) return;
  Observers& o = observers();
  std::lock_guard<std::mutex> guard(o.mutex);
  o.list.push_back(observer);
  o.any.store(true);
}

void removeWindowObserver(WindowObserver* observer) {
  Observers& o = observers();
  std::lock_guard<std::mutex> guard(o.mutex);
  o.list.erase(std::remove(o.list.begin(), o.list.end(), observer), o.list.end());
  o.any.store(!o.list.empty());
}

std::shared_ptr<const WindowSnapshot> windowSnapshot(HWND hwnd) {
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  auto w = findLocked(hwnd);
  return w ? snapshotLocked(*w) : nullptr;
}

std::vector<HWND> zOrder() {
  Globals& g = globals();
  std::lock_guard<std::mutex> guard(g.m);
  return g.top;
}

}  // namespace desk

namespace desk::detail {
void resetWindows() {
  std::vector<std::pair<HWND, DWORD>> gone;
  {
    Globals& g = globals();
    std::lock_guard<std::mutex> guard(g.m);
    std::vector<std::shared_ptr<Win>> all;
    for (auto& [id, w] : g.windows) all.push_back(w);
    for (auto& w : all) {
      gone.emplace_back(w->hwnd, w->thread);
      unlinkLocked(w);
    }
    g.input.clear();
    g.foreground = nullptr;
    g.capture = nullptr;
    g.cursor = POINT{0, 0};
    g.monitors.clear();
    Monitor m;
    m.id = g.nextMonitor++;
    m.name = u"\\\\.\\DISPLAY1";
    m.rect = RECT{0, 0, 1920, 1080};
    m.work = RECT{0, 0, 1920, 1040};
    m.dpi = 96;
    m.primary = true;
    g.monitors.push_back(m);
    g.perMonitorOff = false;
    g.systemDpi = 96;
    g.cascade = 0;
  }
  for (auto& [h, t] : gone) purgeWindow(t, h);
}
}  // namespace desk::detail
