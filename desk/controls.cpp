// The dialog controls: push buttons and check boxes, single-line (or multi-line) edit fields and
// static text. Their text is the window text; the rest of their state lives here by handle.
#include <map>
#include <mutex>

#include "desk/dialog.h"
#include "desk/message.h"
#include "desk/window.h"

namespace desk {

namespace {

struct ControlState {
  HFONT font = nullptr;
  UINT check = BST_UNCHECKED;
  bool pressed = false;  // the left button went down on it
};

struct Controls {
  std::mutex mutex;
  std::map<HWND, ControlState> states;
};

Controls& controls() {
  static Controls* c = new Controls();
  return *c;
}

ControlState stateOf(HWND hwnd) {
  Controls& c = controls();
  std::lock_guard<std::mutex> lock(c.mutex);
  auto it = c.states.find(hwnd);
  return it == c.states.end() ? ControlState{} : it->second;
}

template <typename F>
void update(HWND hwnd, F f) {
  Controls& c = controls();
  std::lock_guard<std::mutex> lock(c.mutex);
  f(c.states[hwnd]);
}

DWORD styleOf(HWND hwnd) { return static_cast<DWORD>(GetWindowLongPtr(hwnd, GWL_STYLE)); }

std::u16string textOf(HWND hwnd) {
  const int n = GetWindowTextLength(hwnd);
  std::u16string s(static_cast<size_t>(std::max(n, 0)) + 1, u'\0');
  const int got = GetWindowText(hwnd, s.data(), static_cast<int>(s.size()));
  s.resize(static_cast<size_t>(std::max(got, 0)));
  return s;
}

// Asks the parent for the colours: it sets the DC's text colour and returns the background brush.
HBRUSH parentBrush(HWND hwnd, HDC dc, UINT message, int fallbackColor) {
  HWND parent = GetParent(hwnd);
  LRESULT brush = parent ? SendMessage(parent, message, reinterpret_cast<WPARAM>(dc),
                                       reinterpret_cast<LPARAM>(hwnd))
                         : 0;
  if (brush == 0) {
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    brush = static_cast<LRESULT>(fallbackColor + 1);
  }
  return reinterpret_cast<HBRUSH>(brush);
}

void selectFont(HWND hwnd, HDC dc) {
  HFONT font = stateOf(hwnd).font;
  SelectObject(dc, font ? static_cast<HGDIOBJ>(font) : GetStockObject(DEFAULT_GUI_FONT));
}

LRESULT commonMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, bool* handled) {
  *handled = true;
  switch (message) {
    case WM_SETFONT:
      update(hwnd, [&](ControlState& s) { s.font = reinterpret_cast<HFONT>(wParam); });
      if (LOWORD(static_cast<uintptr_t>(lParam))) InvalidateRect(hwnd, nullptr, 1);
      return 0;
    case WM_GETFONT: return reinterpret_cast<LRESULT>(stateOf(hwnd).font);
    case WM_SETTEXT: {
      LRESULT r = DefWindowProc(hwnd, message, wParam, lParam);
      InvalidateRect(hwnd, nullptr, 1);
      return r;
    }
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
    case WM_ENABLE: InvalidateRect(hwnd, nullptr, 1); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_NCDESTROY: {
      Controls& c = controls();
      std::lock_guard<std::mutex> lock(c.mutex);
      c.states.erase(hwnd);
      break;
    }
    default: break;
  }
  *handled = false;
  return 0;
}

void notifyParent(HWND hwnd, UINT code) {
  HWND parent = GetParent(hwnd);
  if (parent == nullptr) return;
  SendMessage(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hwnd), static_cast<int>(code)),
              reinterpret_cast<LPARAM>(hwnd));
}

// ---- button ----

void clickButton(HWND hwnd) {
  if (!IsWindowEnabled(hwnd)) return;
  if ((styleOf(hwnd) & BS_TYPEMASK) == BS_AUTOCHECKBOX) {
    update(hwnd, [](ControlState& s) { s.check = s.check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED; });
    InvalidateRect(hwnd, nullptr, 1);
  }
  notifyParent(hwnd, BN_CLICKED);
}

void paintButton(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  if (dc == nullptr) return;
  RECT rc;
  GetClientRect(hwnd, &rc);
  const DWORD type = styleOf(hwnd) & BS_TYPEMASK;
  const bool focused = GetFocus() == hwnd;
  selectFont(hwnd, dc);
  const std::u16string text = textOf(hwnd);
  if (type == BS_OWNERDRAW) {
    DRAWITEMSTRUCT dis;
    dis.CtlType = ODT_BUTTON;
    dis.CtlID = static_cast<UINT>(GetDlgCtrlID(hwnd));
    dis.itemAction = ODA_DRAWENTIRE;
    dis.itemState = (focused ? ODS_FOCUS : 0) | (IsWindowEnabled(hwnd) ? 0 : ODS_DISABLED) |
                    (stateOf(hwnd).pressed ? ODS_SELECTED : 0);
    dis.hwndItem = hwnd;
    dis.hDC = dc;
    dis.rcItem = rc;
    if (HWND parent = GetParent(hwnd))
      SendMessage(parent, WM_DRAWITEM, dis.CtlID, reinterpret_cast<LPARAM>(&dis));
  } else if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX) {
    HBRUSH bg = parentBrush(hwnd, dc, WM_CTLCOLORSTATIC, COLOR_BTNFACE);
    FillRect(dc, &rc, bg);
    const int box = 13;
    const int top = (rc.bottom - box) / 2;
    HBRUSH white = CreateSolidBrush(GetSysColor(COLOR_WINDOW));
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(0x33, 0x33, 0x33));
    HGDIOBJ oldBrush = SelectObject(dc, white);
    HGDIOBJ oldPen = SelectObject(dc, pen);
    Rectangle(dc, 0, top, box, top + box);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(pen);
    DeleteObject(white);
    if (stateOf(hwnd).check == BST_CHECKED) {
      RECT mark{3, top + 3, box - 3, top + box - 3};
      FillRect(dc, &mark, reinterpret_cast<HBRUSH>(COLOR_WINDOWTEXT + 1));
    }
    RECT tr{box + 4, 0, rc.right, rc.bottom};
    SetBkMode(dc, TRANSPARENT);
    DrawTextW(dc, text.c_str(), -1, &tr, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    if (focused) {
      RECT fr{box + 2, 0, rc.right, rc.bottom};
      DrawFocusRect(dc, &fr);
    }
  } else {
    parentBrush(hwnd, dc, WM_CTLCOLORBTN, COLOR_BTNFACE);
    HBRUSH face = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    HPEN pen = CreatePen(PS_SOLID, type == BS_DEFPUSHBUTTON ? 2 : 1,
                         type == BS_DEFPUSHBUTTON ? RGB(0, 120, 215) : RGB(0xAD, 0xAD, 0xAD));
    HGDIOBJ oldBrush = SelectObject(dc, face);
    HGDIOBJ oldPen = SelectObject(dc, pen);
    Rectangle(dc, rc.left, rc.top, rc.right, rc.bottom);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(pen);
    DeleteObject(face);
    SetTextColor(dc, GetSysColor(IsWindowEnabled(hwnd) ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
    SetBkMode(dc, TRANSPARENT);
    DrawTextW(dc, text.c_str(), -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    if (focused) {
      RECT fr{rc.left + 3, rc.top + 3, rc.right - 3, rc.bottom - 3};
      DrawFocusRect(dc, &fr);
    }
  }
  EndPaint(hwnd, &ps);
}

LRESULT buttonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  bool handled = false;
  LRESULT r = commonMessage(hwnd, message, wParam, lParam, &handled);
  if (handled) return r;
  const DWORD type = styleOf(hwnd) & BS_TYPEMASK;
  switch (message) {
    case WM_GETDLGCODE:
      if (type == BS_DEFPUSHBUTTON) return DLGC_BUTTON | DLGC_DEFPUSHBUTTON;
      if (type == BS_PUSHBUTTON || type == BS_OWNERDRAW) return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON;
      return DLGC_BUTTON;
    case WM_LBUTTONDOWN:
      SetFocus(hwnd);
      SetCapture(hwnd);
      update(hwnd, [](ControlState& s) { s.pressed = true; });
      InvalidateRect(hwnd, nullptr, 1);
      return 0;
    case WM_LBUTTONUP: {
      const bool was = stateOf(hwnd).pressed;
      update(hwnd, [](ControlState& s) { s.pressed = false; });
      if (GetCapture() == hwnd) ReleaseCapture();
      RECT rc;
      GetClientRect(hwnd, &rc);
      const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
      if (was && x >= rc.left && x < rc.right && y >= rc.top && y < rc.bottom) clickButton(hwnd);
      return 0;
    }
    case WM_KEYDOWN:
      if (wParam == static_cast<WPARAM>(VK_SPACE)) clickButton(hwnd);
      return 0;
    case BM_CLICK: clickButton(hwnd); return 0;
    case BM_GETCHECK: return stateOf(hwnd).check;
    case BM_SETCHECK:
      update(hwnd, [&](ControlState& s) { s.check = wParam == BST_CHECKED ? BST_CHECKED : BST_UNCHECKED; });
      InvalidateRect(hwnd, nullptr, 1);
      return 0;
    case WM_PAINT: paintButton(hwnd); return DefWindowProc(hwnd, message, wParam, lParam);
    default: return DefWindowProc(hwnd, message, wParam, lParam);
  }
}

// ---- edit field ----

void paintEdit(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  if (dc == nullptr) return;
  RECT rc;
  GetClientRect(hwnd, &rc);
  selectFont(hwnd, dc);
  HBRUSH bg = parentBrush(hwnd, dc, WM_CTLCOLOREDIT, COLOR_WINDOW);
  FillRect(dc, &rc, bg);
  HPEN pen = CreatePen(PS_SOLID, 1, RGB(0x7A, 0x7A, 0x7A));
  HGDIOBJ oldPen = SelectObject(dc, pen);
  HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
  Rectangle(dc, rc.left, rc.top, rc.right, rc.bottom);
  SelectObject(dc, oldPen);
  SelectObject(dc, oldBrush);
  DeleteObject(pen);
  if (!IsWindowEnabled(hwnd)) SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
  SetBkMode(dc, TRANSPARENT);
  const std::u16string text = textOf(hwnd);
  RECT tr{rc.left + 2, rc.top + 1, rc.right - 2, rc.bottom - 1};
  const UINT format = (styleOf(hwnd) & ES_MULTILINE) ? (DT_WORDBREAK | DT_NOPREFIX)
                                                      : (DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
  DrawTextW(dc, text.c_str(), -1, &tr, format);
  EndPaint(hwnd, &ps);
}

LRESULT editProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  bool handled = false;
  LRESULT r = commonMessage(hwnd, message, wParam, lParam, &handled);
  if (handled) return r;
  switch (message) {
    case WM_GETDLGCODE: {
      LRESULT code = DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
      const DWORD s = styleOf(hwnd);
      if ((s & ES_MULTILINE) && (s & ES_WANTRETURN)) code |= DLGC_WANTALLKEYS;
      return code;
    }
    case WM_LBUTTONDOWN: SetFocus(hwnd); return 0;
    case WM_CHAR: {
      if (!IsWindowEnabled(hwnd)) return 0;
      std::u16string text = textOf(hwnd);
      const char16_t c = static_cast<char16_t>(wParam);
      if (c == 8) {
        if (text.empty()) return 0;
        // A surrogate pair goes as one character.
        text.pop_back();
        if (!text.empty() && text.back() >= 0xD800 && text.back() < 0xDC00) text.pop_back();
      } else if (c == u'\r') {
        const DWORD s = styleOf(hwnd);
        if (!((s & ES_MULTILINE) && (s & ES_WANTRETURN))) return 0;
        text += u"\r\n";
      } else if (c < 0x20 && c != u'\t') {
        return 0;
      } else {
        text.push_back(c);
      }
      SendMessage(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
      return 0;
    }
    case WM_PAINT: paintEdit(hwnd); return DefWindowProc(hwnd, message, wParam, lParam);
    default: return DefWindowProc(hwnd, message, wParam, lParam);
  }
}

// ---- static text ----

void paintStatic(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  if (dc == nullptr) return;
  RECT rc;
  GetClientRect(hwnd, &rc);
  selectFont(hwnd, dc);
  HBRUSH bg = parentBrush(hwnd, dc, WM_CTLCOLORSTATIC, COLOR_BTNFACE);
  FillRect(dc, &rc, bg);
  SetBkMode(dc, TRANSPARENT);
  const std::u16string text = textOf(hwnd);
  // The text is drawn as the dialogs measured it: no "&" prefixes.
  DrawTextW(dc, text.c_str(), -1, &rc, DT_LEFT | DT_WORDBREAK | DT_NOPREFIX);
  EndPaint(hwnd, &ps);
}

LRESULT staticProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  bool handled = false;
  LRESULT r = commonMessage(hwnd, message, wParam, lParam, &handled);
  if (handled) return r;
  switch (message) {
    case WM_GETDLGCODE: return DLGC_STATIC;
    case WM_PAINT: paintStatic(hwnd); return DefWindowProc(hwnd, message, wParam, lParam);
    default: return DefWindowProc(hwnd, message, wParam, lParam);
  }
}

}  // namespace

void registerControlClasses() {
  struct Entry {
    const char16_t* name;
    WNDPROC proc;
  };
  for (const Entry& e : {Entry{u"Button", buttonProc}, Entry{u"Edit", editProc},
                         Entry{u"Static", staticProc}}) {
    WNDCLASSEX wc;
    wc.lpfnWndProc = e.proc;
    wc.lpszClassName = e.name;
    RegisterClassEx(&wc);
  }
}

}  // namespace desk
