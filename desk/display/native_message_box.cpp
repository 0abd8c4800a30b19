#include "desk/display/native_message_box.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "desk/dialog.h"
#include "desk/dialog_message.h"
#include "desk/message.h"
#include "desk/window.h"

namespace desk::display {

namespace {

struct OpenBox {
  std::function<void(int)> answer;
  std::vector<int> buttons;
  int defaultButton = IDOK;
  bool answered = false;
  bool forced = false;  // closed because the screen went away
};

std::mutex& boxesMutex() {
  static std::mutex m;
  return m;
}

std::map<HWND, OpenBox>& boxes() {
  static std::map<HWND, OpenBox> b;
  return b;
}

const char16_t* buttonText(int id) {
  switch (id) {
    case IDOK: return u"OK";
    case IDCANCEL: return u"Cancel";
    case IDABORT: return u"Abort";
    case IDRETRY: return u"Retry";
    case IDIGNORE: return u"Ignore";
    case IDYES: return u"Yes";
    case IDNO: return u"No";
    case IDTRYAGAIN: return u"Try Again";
    case IDCONTINUE: return u"Continue";
    default: return u"";
  }
}

// Packs a dialog template: the header, then DWORD-aligned items with class atoms.
class TemplateWriter {
 public:
  void header(DWORD style, int count, int cx, int cy, const std::u16string& title) {
    dword(style);
    dword(0);
    word(static_cast<uint16_t>(count));
    word(0), word(0), word(static_cast<uint16_t>(cx)), word(static_cast<uint16_t>(cy));
    word(0);  // no menu
    word(0);  // the dialog class
    string(title);
  }
  void item(DWORD style, int x, int y, int cx, int cy, int id, uint16_t atom, const std::u16string& text) {
    while (bytes_.size() % 4 != 0) bytes_.push_back(0);
    dword(style);
    dword(0);
    word(static_cast<uint16_t>(x)), word(static_cast<uint16_t>(y));
    word(static_cast<uint16_t>(cx)), word(static_cast<uint16_t>(cy));
    word(static_cast<uint16_t>(id));
    word(0xFFFF), word(atom);
    string(text);
    word(0);  // no creation data
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  void word(uint16_t v) {
    bytes_.push_back(static_cast<uint8_t>(v & 0xFF));
    bytes_.push_back(static_cast<uint8_t>(v >> 8));
  }
  void dword(DWORD v) {
    word(static_cast<uint16_t>(v & 0xFFFF));
    word(static_cast<uint16_t>(v >> 16));
  }
  void string(const std::u16string& s) {
    for (char16_t c : s) word(static_cast<uint16_t>(c));
    word(0);
  }
  std::vector<uint8_t> bytes_;
};

// Ends the box once: the answer goes to the waiting MessageBoxW, the dialog goes away.
void finish(HWND dialog, int id) {
  std::function<void(int)> answer;
  {
    std::lock_guard lock(boxesMutex());
    auto it = boxes().find(dialog);
    if (it == boxes().end() || it->second.answered) return;
    it->second.answered = true;
    answer = it->second.answer;
  }
  if (answer) answer(id);
  DestroyWindow(dialog);
}

// What Escape or a close gives: Cancel where there is one, OK for an OK-only box; 0 (ignored)
// otherwise, unless the screen went away (the default button then).
int closeAnswer(const OpenBox& box) {
  if (box.forced) return box.defaultButton;
  if (std::find(box.buttons.begin(), box.buttons.end(), IDCANCEL) != box.buttons.end()) return IDCANCEL;
  if (box.buttons.size() == 1 && box.buttons[0] == IDOK) return IDOK;
  return 0;
}

LRESULT boxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: return 0;  // the focus is put on the default button by present()
    case WM_COMMAND: {
      const int id = static_cast<int>(LOWORD(wParam));
      OpenBox box;
      {
        std::lock_guard lock(boxesMutex());
        auto it = boxes().find(dialog);
        if (it == boxes().end()) return 1;
        box = it->second;
      }
      const bool known = std::find(box.buttons.begin(), box.buttons.end(), id) != box.buttons.end();
      const int answer = known && !box.forced ? id : id == IDCANCEL ? closeAnswer(box) : 0;
      if (answer != 0) finish(dialog, answer);
      return 1;
    }
    case WM_DESTROY: {
      std::function<void(int)> answer;
      int fallback = 0;
      {
        std::lock_guard lock(boxesMutex());
        auto it = boxes().find(dialog);
        if (it != boxes().end()) {
          if (!it->second.answered) {
            answer = it->second.answer;
            fallback = it->second.defaultButton;
          }
          boxes().erase(it);
        }
      }
      // Destroyed from outside (its owner went): the box still ends, with its default button.
      if (answer) answer(fallback);
      return 0;
    }
    default: return 0;
  }
}

// Enter, Escape and Tab on a button work as in any dialog.
LRESULT buttonKeys(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR refData) {
  const bool dialogKey = wParam == static_cast<WPARAM>(VK_RETURN) || wParam == static_cast<WPARAM>(VK_ESCAPE) ||
                         wParam == static_cast<WPARAM>(VK_TAB);
  if (message == WM_KEYDOWN && dialogKey) {
    MSG msg;
    msg.hwnd = hwnd;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    IsDialogMessage(reinterpret_cast<HWND>(refData), &msg);
    return 0;
  }
  if (message == WM_CHAR && dialogKey) return 0;  // already handled as a key
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

}  // namespace

void DialogMessageBoxes::present(const MessageBoxRequest& request, std::function<void(int)> answer) {
  // Dialog units: 4 across and 8 down per average character.
  std::vector<std::u16string> lines{u""};
  for (char16_t c : request.text) {
    if (c == u'\n') lines.emplace_back();
    else if (c != u'\r') lines.back().push_back(c);
  }
  size_t longest = 0;
  for (const auto& line : lines) longest = std::max(longest, line.size());
  const int buttonCount = static_cast<int>(request.buttons.size());
  const int buttonsWidth = buttonCount * 54 - 4;
  const int textWidth = std::clamp(static_cast<int>(longest) * 4 + 4, 60, 400);
  const int width = std::max(textWidth, buttonsWidth) + 14;
  const int textHeight = std::min(static_cast<int>(lines.size()), 40) * 9;
  const int height = 7 + textHeight + 7 + 14 + 7;

  TemplateWriter t;
  t.header(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, 1 + buttonCount, width, height, request.caption);
  int x = width - 7 - buttonsWidth;
  for (int id : request.buttons) {
    const DWORD kind = id == request.defaultButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
    t.item(WS_VISIBLE | WS_TABSTOP | kind, x, 7 + textHeight + 7, 50, 14, id, kButtonAtom, buttonText(id));
    x += 54;
  }
  t.item(WS_VISIBLE, 7, 7, width - 14, textHeight, 0xFFFF, kStaticAtom, request.text);

  HWND owner = request.owner && IsWindow(request.owner) ? request.owner : nullptr;
  HWND dialog = CreateDialogIndirectParamW(nullptr, t.bytes().data(), t.bytes().size(), owner, boxProc, 0);
  if (dialog) {
    // Nothing can answer the box before its thread's loop runs, after this returns.
    std::lock_guard lock(boxesMutex());
    boxes()[dialog] = OpenBox{answer, request.buttons, request.defaultButton};
  }
  if (dialog == nullptr) {
    // No dialog could be made: the box answers its default button, as without a screen.
    answer(request.defaultButton);
    return;
  }
  for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    if (GetDlgCtrlID(c) != 0xFFFF) SetWindowSubclass(c, buttonKeys, 1, reinterpret_cast<DWORD_PTR>(dialog));
  }

  // Centred on the owner, or on the work area of the primary monitor.
  RECT own;
  GetWindowRect(dialog, &own);
  RECT reference{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  MONITORINFO info;
  if (owner && IsWindowVisible(owner)) {
    GetWindowRect(owner, &reference);
  } else if (HMONITOR monitor = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
             monitor && GetMonitorInfo(monitor, &info)) {
    reference = info.rcWork;
  }
  const int w = own.right - own.left, h = own.bottom - own.top;
  SetWindowPos(dialog, HWND_TOP, reference.left + (reference.right - reference.left - w) / 2,
               reference.top + (reference.bottom - reference.top - h) / 2, 0, 0, SWP_NOSIZE);
  ShowWindow(dialog, SW_SHOWNORMAL);
  SetForegroundWindow(dialog);
  if (HWND button = GetDlgItem(dialog, request.defaultButton)) SetFocus(button);
}

void DialogMessageBoxes::closeAll() {
  std::vector<HWND> open;
  {
    std::lock_guard lock(boxesMutex());
    for (auto& [hwnd, box] : boxes()) {
      if (box.answered) continue;
      box.forced = true;
      open.push_back(hwnd);
    }
  }
  // Each box ends on its own thread.
  for (HWND hwnd : open) PostMessage(hwnd, WM_CLOSE, 0, 0);
}

}  // namespace desk::display
