#include "desk/dialog.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "desk/detail/codec.h"
#include "desk/message.h"
#include "desk/msgbox.h"
#include "desk/test_services.h"
#include "desk/thread.h"
#include "desk/window.h"

namespace desk {

namespace {

struct DialogRecord {
  DLGPROC proc = nullptr;
  HFONT font = nullptr;  // made from the template; deleted with the dialog
  int baseX = 6;         // pixels per 4 horizontal dialog units
  int baseY = 13;        // pixels per 8 vertical dialog units
  DWORD thread = 0;
  uint64_t order = 0;
  bool ended = false;
  intptr_t result = 0;
};

struct Dialogs {
  std::mutex mutex;
  std::map<HWND, DialogRecord> records;
  uint64_t next = 0;
  std::function<void(HWND)> script;
  DialogAnswerer answerer = DialogAnswerer::Nobody;
};

Dialogs& dialogs() {
  static Dialogs* d = new Dialogs();
  return *d;
}

std::optional<DialogRecord> recordOf(HWND hwnd) {
  Dialogs& d = dialogs();
  std::lock_guard<std::mutex> lock(d.mutex);
  auto it = d.records.find(hwnd);
  if (it == d.records.end()) return std::nullopt;
  return it->second;
}

UINT presentMessage() {
  static const UINT m = RegisterWindowMessage(u"deskDialogPresent");
  return m;
}

// Reads a packed template, refusing anything past `end`.
class Reader {
 public:
  Reader(const uint8_t* start, const uint8_t* end) : start_(start), p_(start), end_(end) {}
  bool ok() const { return ok_; }
  uint16_t word() {
    if (!need(2)) return 0;
    uint16_t v = static_cast<uint16_t>(p_[0] | (p_[1] << 8));
    p_ += 2;
    return v;
  }
  uint32_t dword() {
    uint32_t lo = word();
    uint32_t hi = word();
    return lo | (hi << 16);
  }
  int16_t shortValue() { return static_cast<int16_t>(word()); }
  std::u16string string() {
    std::u16string s;
    for (;;) {
      if (!need(2)) return s;
      uint16_t c = word();
      if (c == 0) return s;
      s.push_back(static_cast<char16_t>(c));
    }
  }
  // A menu, class or title field: 0 none, 0xFFFF then an ordinal, else a string.
  void sz_or_ord(std::u16string* text, uint16_t* ordinal) {
    if (!need(2)) return;
    uint16_t first = static_cast<uint16_t>(p_[0] | (p_[1] << 8));
    if (first == 0) {
      word();
    } else if (first == 0xFFFF) {
      word();
      *ordinal = word();
    } else {
      *text = string();
    }
  }
  void align4() {
    size_t offset = static_cast<size_t>(p_ - start_);
    size_t pad = (4 - offset % 4) % 4;
    if (static_cast<size_t>(end_ - p_) < pad) {
      p_ = end_;
      return;
    }
    p_ += pad;
  }
  void skip(size_t n) {
    if (need(n)) p_ += n;
  }

 private:
  bool need(size_t n) {
    if (!ok_ || static_cast<size_t>(end_ - p_) < n) {
      ok_ = false;
      return false;
    }
    return true;
  }
  const uint8_t* start_;
  const uint8_t* p_;
  const uint8_t* end_;
  bool ok_ = true;
};

struct ItemTemplate {
  DWORD style = 0;
  DWORD exStyle = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  int id = 0;
  std::u16string className;
  uint16_t classAtom = 0;
  std::u16string text;
};

struct DialogTemplate {
  DWORD style = 0;
  DWORD exStyle = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  std::u16string title;
  bool hasFont = false;
  int pointSize = 0;
  std::u16string face;
  std::vector<ItemTemplate> items;
};

std::optional<DialogTemplate> parse(const uint8_t* data, size_t length) {
  Reader r(data, data + length);
  DialogTemplate t;
  t.style = r.dword();
  t.exStyle = r.dword();
  const uint16_t count = r.word();
  t.x = r.shortValue();
  t.y = r.shortValue();
  t.cx = r.shortValue();
  t.cy = r.shortValue();
  std::u16string menuName, className;
  uint16_t menuOrdinal = 0, classOrdinal = 0;
  r.sz_or_ord(&menuName, &menuOrdinal);
  r.sz_or_ord(&className, &classOrdinal);
  t.title = r.string();
  if (t.style & DS_SETFONT) {
    t.hasFont = true;
    t.pointSize = r.word();
    t.face = r.string();
  }
  if (!r.ok()) return std::nullopt;
  for (uint16_t i = 0; i < count; ++i) {
    r.align4();
    ItemTemplate item;
    item.style = r.dword();
    item.exStyle = r.dword();
    item.x = r.shortValue();
    item.y = r.shortValue();
    item.cx = r.shortValue();
    item.cy = r.shortValue();
    item.id = r.word();
    r.sz_or_ord(&item.className, &item.classAtom);
    uint16_t titleOrdinal = 0;
    r.sz_or_ord(&item.text, &titleOrdinal);
    const uint16_t extra = r.word();
    r.skip(extra);
    if (!r.ok()) return std::nullopt;
    t.items.push_back(std::move(item));
  }
  return t;
}

const char16_t* classForAtom(uint16_t atom) {
  switch (atom) {
    case kButtonAtom: return u"Button";
    case kEditAtom: return u"Edit";
    case kStaticAtom: return u"Static";
    default: return nullptr;
  }
}

// The dialog base units of a font: the average width of the Latin letters and the line height.
void baseUnits(HFONT font, int* baseX, int* baseY) {
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font ? static_cast<HGDIOBJ>(font) : GetStockObject(DEFAULT_GUI_FONT));
  static const char16_t letters[] = u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  SIZE s;
  GetTextExtentPoint32W(dc, letters, 52, &s);
  TEXTMETRICW tm;
  GetTextMetricsW(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  *baseX = std::max(1, (s.cx / 26 + 1) / 2);
  *baseY = std::max(1, static_cast<int>(tm.tmHeight));
}

std::u16string windowText(HWND hwnd) {
  const int n = GetWindowTextLength(hwnd);
  std::u16string s(static_cast<size_t>(std::max(n, 0)) + 1, u'\0');
  const int got = GetWindowText(hwnd, s.data(), static_cast<int>(s.size()));
  s.resize(static_cast<size_t>(std::max(got, 0)));
  return s;
}

BOOL collectTexts(HWND child, LPARAM lParam) {
  auto* out = reinterpret_cast<std::string*>(lParam);
  const std::u16string text = windowText(child);
  if (!text.empty()) {
    *out += " | ";
    *out += detail::utf16ToUtf8(text);
  }
  return 1;
}

void present(HWND dialog) {
  std::function<void(HWND)> script;
  DialogAnswerer answerer = DialogAnswerer::Nobody;
  {
    Dialogs& d = dialogs();
    std::lock_guard<std::mutex> lock(d.mutex);
    script = d.script;
    answerer = d.answerer;
  }
  if (script) {
    script(dialog);
    return;
  }
  // On screen the dialog waits for the person in front of it.
  if (answerer == DialogAnswerer::Person) return;
  std::string texts;
  EnumChildWindows(dialog, collectTexts, reinterpret_cast<LPARAM>(&texts));
  std::fprintf(stderr, "dialog \"%s\"%s (no answer: closed)\n",
               detail::utf16ToUtf8(windowText(dialog)).c_str(), texts.c_str());
  SendMessage(dialog, WM_CLOSE, 0, 0);
  if (IsWindow(dialog)) DestroyWindow(dialog);
}

bool isCtlColor(UINT message) {
  return message == WM_CTLCOLOREDIT || message == WM_CTLCOLORBTN || message == WM_CTLCOLORDLG ||
         message == WM_CTLCOLORSTATIC;
}

HWND firstTabStop(HWND dialog) { return GetNextDlgTabItem(dialog, nullptr, 0); }

}  // namespace

void registerControlClasses();  // controls.cpp

void registerDialogClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    registerControlClasses();
    WNDCLASSEX wc;
    wc.lpfnWndProc = DefDlgProc;
    wc.lpszClassName = u"#32770";
    RegisterClassEx(&wc);
  });
}

HWND CreateDialogIndirectParamW(HINSTANCE instance, const void* dialogTemplate, HWND owner,
                                DLGPROC proc, LPARAM initParam) {
  // Without a length the template is trusted to be whole (as the platform does).
  return CreateDialogIndirectParamW(instance, dialogTemplate, SIZE_MAX / 2, owner, proc,
                                    initParam);
}

HWND CreateDialogIndirectParamW(HINSTANCE instance, const void* dialogTemplate, size_t length,
                                HWND owner, DLGPROC proc, LPARAM initParam) {
  if (dialogTemplate == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const auto* bytes = static_cast<const uint8_t*>(dialogTemplate);
  // A length that would overflow the end pointer is cut to what the address space allows.
  const size_t room = static_cast<size_t>(UINTPTR_MAX - reinterpret_cast<uintptr_t>(bytes));
  std::optional<DialogTemplate> t = parse(bytes, std::min(length, room));
  if (!t) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  for (const ItemTemplate& item : t->items) {
    if (item.className.empty() && classForAtom(item.classAtom) == nullptr) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
  }
  registerDialogClasses();

  HFONT font = nullptr;
  if (t->hasFont) {
    LOGFONTW lf;
    lf.lfHeight = -MulDiv(t->pointSize, static_cast<int>(GetDpiForSystem()), 72);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    const size_t n = std::min<size_t>(t->face.size(), 31);
    std::memcpy(lf.lfFaceName, t->face.data(), n * sizeof(char16_t));
    font = CreateFontIndirectW(&lf);
  }
  int baseX = 6, baseY = 13;
  baseUnits(font, &baseX, &baseY);
  auto px = [&](int v) { return MulDiv(v, baseX, 4); };
  auto py = [&](int v) { return MulDiv(v, baseY, 8); };

  const DWORD style = t->style & ~WS_VISIBLE;
  RECT frame{0, 0, px(t->cx), py(t->cy)};
  AdjustWindowRectEx(&frame, style, 0, t->exStyle);
  HWND dialog = CreateWindowEx(t->exStyle | WS_EX_CONTROLPARENT, u"#32770", t->title.c_str(),
                               style, px(t->x), py(t->y), frame.right - frame.left,
                               frame.bottom - frame.top, owner, nullptr, instance, nullptr);
  if (dialog == nullptr) {
    if (font) DeleteObject(font);
    return nullptr;
  }
  {
    Dialogs& d = dialogs();
    std::lock_guard<std::mutex> lock(d.mutex);
    DialogRecord rec;
    rec.proc = proc;
    rec.font = font;
    rec.baseX = baseX;
    rec.baseY = baseY;
    rec.thread = GetCurrentThreadId();
    rec.order = d.next++;
    d.records[dialog] = rec;
  }
  if (font) SendMessage(dialog, WM_SETFONT, reinterpret_cast<WPARAM>(font), 0);
  for (const ItemTemplate& item : t->items) {
    const char16_t* cls = item.className.empty() ? classForAtom(item.classAtom)
                                                 : item.className.c_str();
    HWND child = CreateWindowEx(item.exStyle, cls, item.text.c_str(), item.style | WS_CHILD,
                                px(item.x), py(item.y), px(item.cx), py(item.cy), dialog,
                                reinterpret_cast<HMENU>(static_cast<uintptr_t>(item.id)),
                                instance, nullptr);
    if (child == nullptr) {
      DestroyWindow(dialog);
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    // Template order is tab order: each control goes below the ones made before it.
    SetWindowPos(child, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    if (font) SendMessage(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), 0);
  }
  HWND focus = firstTabStop(dialog);
  LRESULT init = proc ? proc(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), initParam)
                      : 1;
  if (!IsWindow(dialog)) return nullptr;
  if (init && focus && IsWindow(focus)) SetFocus(focus);
  if (t->style & WS_VISIBLE) ShowWindow(dialog, SW_SHOWNORMAL);
  PostMessage(dialog, presentMessage(), 0, 0);
  return dialog;
}

LRESULT DefDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  std::optional<DialogRecord> rec = recordOf(dialog);
  if (rec && rec->proc) {
    const LRESULT r = rec->proc(dialog, message, wParam, lParam);
    if (r != 0 && message != WM_NCDESTROY) return r;
    if (!IsWindow(dialog) && message != WM_NCDESTROY) return 0;
  }
  if (message == presentMessage() && presentMessage() != 0) {
    if (rec) present(dialog);
    return 0;
  }
  switch (message) {
    case WM_NCDESTROY: {
      HFONT font = nullptr;
      {
        Dialogs& d = dialogs();
        std::lock_guard<std::mutex> lock(d.mutex);
        auto it = d.records.find(dialog);
        if (it != d.records.end()) {
          font = it->second.font;
          d.records.erase(it);
        }
      }
      if (font) DeleteObject(font);
      return DefWindowProc(dialog, message, wParam, lParam);
    }
    case WM_CLOSE: {
      HWND cancel = GetDlgItem(dialog, IDCANCEL);
      SendMessage(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                  reinterpret_cast<LPARAM>(cancel));
      return 0;
    }
    case WM_NCLBUTTONUP:
      if (static_cast<LRESULT>(wParam) == HTCLOSE) SendMessage(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
      return 0;
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      return static_cast<LRESULT>(COLOR_BTNFACE + 1);
    }
    case WM_CTLCOLOREDIT: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      SetBkColor(dc, GetSysColor(COLOR_WINDOW));
      return static_cast<LRESULT>(COLOR_WINDOW + 1);
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(dialog, &ps);
      if (dc) {
        LRESULT brush = SendMessage(dialog, WM_CTLCOLORDLG, reinterpret_cast<WPARAM>(dc),
                                    reinterpret_cast<LPARAM>(dialog));
        if (brush == 0) brush = static_cast<LRESULT>(COLOR_BTNFACE + 1);
        RECT rc;
        GetClientRect(dialog, &rc);
        FillRect(dc, &rc, reinterpret_cast<HBRUSH>(brush));
        EndPaint(dialog, &ps);
      }
      return DefWindowProc(dialog, message, wParam, lParam);
    }
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE) {
        HWND focus = GetFocus();
        if (!IsChild(dialog, focus)) {
          HWND first = firstTabStop(dialog);
          SetFocus(first ? first : dialog);
        }
      }
      return 0;
    case DM_GETDEFID: {
      for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        char16_t cls[16] = {};
        GetClassName(c, cls, 16);
        const DWORD s = static_cast<DWORD>(GetWindowLongPtr(c, GWL_STYLE));
        if (std::u16string_view(cls) == u"Button" && (s & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
          return MAKELPARAM(GetDlgCtrlID(c), static_cast<int>(DC_HASDEFID));
      }
      return MAKELPARAM(IDOK, static_cast<int>(DC_HASDEFID));
    }
    default: break;
  }
  if (isCtlColor(message)) return 0;
  return DefWindowProc(dialog, message, wParam, lParam);
}

BOOL EndDialog(HWND dialog, intptr_t result) {
  {
    Dialogs& d = dialogs();
    std::lock_guard<std::mutex> lock(d.mutex);
    auto it = d.records.find(dialog);
    if (it == d.records.end()) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    it->second.ended = true;
    it->second.result = result;
  }
  ShowWindow(dialog, SW_HIDE);
  return 1;
}

bool dialogResult(HWND dialog, intptr_t* result) {
  std::optional<DialogRecord> rec = recordOf(dialog);
  if (!rec || !rec->ended) return false;
  if (result) *result = rec->result;
  return true;
}

bool isDialogWindow(HWND hwnd) { return recordOf(hwnd).has_value() && IsWindow(hwnd); }

HWND GetDlgItem(HWND dialog, int id) {
  if (!IsWindow(dialog)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    if (GetWindowLongPtr(c, GWLP_ID) == id) return c;
  }
  SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
  return nullptr;
}

int GetDlgCtrlID(HWND control) { return static_cast<int>(GetWindowLongPtr(control, GWLP_ID)); }

UINT GetDlgItemTextW(HWND dialog, int id, char16_t* buffer, int maxCount) {
  if (buffer && maxCount > 0) buffer[0] = 0;
  HWND c = GetDlgItem(dialog, id);
  if (c == nullptr || buffer == nullptr || maxCount <= 0) return 0;
  return static_cast<UINT>(SendMessage(c, WM_GETTEXT, static_cast<WPARAM>(maxCount),
                                       reinterpret_cast<LPARAM>(buffer)));
}

BOOL SetDlgItemTextW(HWND dialog, int id, const char16_t* text) {
  HWND c = GetDlgItem(dialog, id);
  if (c == nullptr) return 0;
  return SendMessage(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : u"")) != 0;
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
  HWND c = GetDlgItem(dialog, id);
  return c ? static_cast<UINT>(SendMessage(c, BM_GETCHECK, 0, 0)) : 0;
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
  HWND c = GetDlgItem(dialog, id);
  if (c == nullptr) return 0;
  SendMessage(c, BM_SETCHECK, check, 0);
  return 1;
}

HWND GetNextDlgTabItem(HWND dialog, HWND control, BOOL previous) {
  std::vector<HWND> stops;
  for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    const DWORD s = static_cast<DWORD>(GetWindowLongPtr(c, GWL_STYLE));
    if ((s & WS_TABSTOP) && IsWindowVisible(c) && IsWindowEnabled(c)) stops.push_back(c);
  }
  if (stops.empty()) return nullptr;
  size_t at = stops.size();
  for (size_t i = 0; i < stops.size(); ++i) {
    if (stops[i] == control) at = i;
  }
  if (at == stops.size()) return previous ? stops.back() : stops.front();
  if (previous) return stops[(at + stops.size() - 1) % stops.size()];
  return stops[(at + 1) % stops.size()];
}

BOOL MapDialogRect(HWND dialog, RECT* rect) {
  std::optional<DialogRecord> rec = recordOf(dialog);
  if (!rec || rect == nullptr) return 0;
  rect->left = MulDiv(rect->left, rec->baseX, 4);
  rect->right = MulDiv(rect->right, rec->baseX, 4);
  rect->top = MulDiv(rect->top, rec->baseY, 8);
  rect->bottom = MulDiv(rect->bottom, rec->baseY, 8);
  return 1;
}

void setDialogAnswerer(DialogAnswerer answerer) {
  Dialogs& d = dialogs();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.answerer = answerer;
}

DialogAnswerer dialogAnswerer() {
  Dialogs& d = dialogs();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.answerer;
}

namespace {
void compose(HWND hwnd, gfx::Bitmap& out, int ox, int oy) {
  if (std::optional<gfx::Bitmap> own = test::windowBitmap(hwnd)) {
    for (int y = 0; y < own->height(); ++y) {
      for (int x = 0; x < own->width(); ++x) out.setPixel(ox + x, oy + y, own->pixel(x, y));
    }
  }
  std::vector<HWND> children;
  for (HWND c = GetWindow(hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) children.push_back(c);
  // The first child is the top of the z-order: draw from the bottom up.
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    if (!IsWindowVisible(*it)) continue;
    POINT p{0, 0};
    MapWindowPoints(*it, hwnd, &p, 1);
    compose(*it, out, ox + p.x, oy + p.y);
  }
}
}  // namespace

std::optional<gfx::Bitmap> paintedClientArea(HWND hwnd) {
  RECT rc;
  if (!GetClientRect(hwnd, &rc) || rc.right <= 0 || rc.bottom <= 0) return std::nullopt;
  std::optional<gfx::Bitmap> out = gfx::Bitmap::make(rc.right, rc.bottom);
  if (out) compose(hwnd, *out, 0, 0);
  return out;
}

namespace detail {
std::vector<HWND> threadDialogs() {
  const DWORD self = GetCurrentThreadId();
  std::vector<std::pair<uint64_t, HWND>> found;
  {
    Dialogs& d = dialogs();
    std::lock_guard<std::mutex> lock(d.mutex);
    for (const auto& [hwnd, rec] : d.records) {
      if (rec.thread == self) found.emplace_back(rec.order, hwnd);
    }
  }
  std::sort(found.begin(), found.end());
  std::vector<HWND> out;
  for (const auto& f : found) out.push_back(f.second);
  return out;
}
}  // namespace detail

namespace test {

void setDialogScript(std::function<void(HWND dialog)> script) {
  Dialogs& d = dialogs();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.script = std::move(script);
}

namespace {
void paintTree(HWND hwnd) {
  InvalidateRect(hwnd, nullptr, 1);
  UpdateWindow(hwnd);
  for (HWND c = GetWindow(hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    if (IsWindowVisible(c)) paintTree(c);
  }
}
}  // namespace

gfx::Bitmap renderWindow(HWND hwnd) {
  RECT rc;
  if (!GetClientRect(hwnd, &rc) || rc.right <= 0 || rc.bottom <= 0) return gfx::Bitmap();
  paintTree(hwnd);
  std::optional<gfx::Bitmap> out = paintedClientArea(hwnd);
  return out ? std::move(*out) : gfx::Bitmap();
}

}  // namespace test

}  // namespace desk
