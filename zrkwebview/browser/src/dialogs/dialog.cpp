#include "zrkwebview/browser/src/dialogs/dialog.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>

#include "desk/attributes.h"
#include "desk/dialog.h"
#include "desk/gdi.h"
#include "desk/icons.h"
#include "desk/message.h"
#include "desk/sysinfo.h"
#include "desk/window.h"
#include "desk/thread.h"
#include "libdispatch/src/dispatch.h"
#include "vesk/log.h"
#include "vesk/tstring.h"
#include "vesk/utf.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/dialogs/layout.h"
#include "zrkwebview/browser/src/timers.h"

namespace zrk {

using namespace desk;

// ---- the template --------------------------------------------------------------------------------

void DialogTemplateBuilder::appendBytes(const void* bytes, size_t length) {
  if (length == 0) return;
  if (buffer_.size() - position_ < length) {
    try {
      const size_t grow = (length / 1024) * 1024 + 1024;
      buffer_.resize(buffer_.size() + grow, 0);
    } catch (const std::bad_alloc&) {
      throw std::runtime_error("not enough memory to copy");
    } catch (const std::length_error&) {
      throw std::runtime_error("not enough memory to copy");
    }
    if (buffer_.size() - position_ < length) throw std::runtime_error("not enough memory to copy");
  }
  if (bytes) {
    std::memcpy(buffer_.data() + position_, bytes, length);
  } else {
    std::memset(buffer_.data() + position_, 0, length);
  }
  position_ += length;
}

void DialogTemplateBuilder::appendWord(uint16_t v) {
  const uint8_t b[2] = {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)};
  appendBytes(b, 2);
}

void DialogTemplateBuilder::appendDword(uint32_t v) {
  appendWord(static_cast<uint16_t>(v & 0xFFFF));
  appendWord(static_cast<uint16_t>(v >> 16));
}

void DialogTemplateBuilder::appendString(const std::u16string& text) {
  for (char16_t c : text) appendWord(static_cast<uint16_t>(c));
  appendWord(0);
}

void DialogTemplateBuilder::beginDialog(const std::u16string& title, int16_t x, int16_t y,
                                        int16_t cx, int16_t cy, uint32_t style, uint32_t exStyle,
                                        const char16_t* faceName, uint16_t pointSize) {
  const bool font = faceName != nullptr;
  style = font ? (style | DS_SETFONT) : (style & ~DS_SETFONT);
  appendDword(style);
  appendDword(exStyle);
  header_ = position_;
  appendWord(0);  // item count
  appendWord(static_cast<uint16_t>(x));
  appendWord(static_cast<uint16_t>(y));
  appendWord(static_cast<uint16_t>(cx));
  appendWord(static_cast<uint16_t>(cy));
  appendWord(0);  // menu
  appendWord(0);  // window class
  appendString(title);
  if (font) {
    appendWord(pointSize);
    appendString(faceName);
  }
}

void DialogTemplateBuilder::addItem(uint16_t classAtom, int id, int16_t x, int16_t y, int16_t cx,
                                    int16_t cy, uint32_t style, uint32_t exStyle,
                                    const std::u16string& text, const void* creationData,
                                    uint16_t creationDataLength) {
  ids_.push_back(id);
  const size_t pad = (4 - position_ % 4) % 4;
  appendBytes(nullptr, pad);
  if (header_ != SIZE_MAX) {
    uint16_t count = static_cast<uint16_t>(buffer_[header_] | (buffer_[header_ + 1] << 8));
    ++count;
    buffer_[header_] = static_cast<uint8_t>(count & 0xFF);
    buffer_[header_ + 1] = static_cast<uint8_t>(count >> 8);
  }
  appendDword(style);
  appendDword(exStyle);
  appendWord(static_cast<uint16_t>(x));
  appendWord(static_cast<uint16_t>(y));
  appendWord(static_cast<uint16_t>(cx));
  appendWord(static_cast<uint16_t>(cy));
  appendWord(static_cast<uint16_t>(id));
  appendWord(0xFFFF);
  appendWord(classAtom);
  appendString(text);
  appendWord(creationData ? creationDataLength : 0);
  if (creationData && creationDataLength) appendBytes(creationData, creationDataLength);
}

// ---- owners ------------------------------------------------------------------------------------

namespace {

std::mutex& ownersMutex() {
  static std::mutex m;
  return m;
}
std::map<HWND, int>& owners() {
  static std::map<HWND, int>* m = new std::map<HWND, int>();
  return *m;
}

HICON& dialogIcon() {
  static HICON icon = nullptr;
  return icon;
}

void loadDialogIcon() {
  char16_t path[260] = {};
  if (GetModuleFileNameW(nullptr, path, 260) == 0) return;
  HICON large = nullptr;
  if (ExtractIconExW(path, 0, &large, nullptr, 1) > 0 && large) dialogIcon() = large;
}

COLORREF colorOf(const std::optional<uint32_t>& value, uint32_t fallback) {
  const uint32_t v = value.value_or(fallback);
  return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
}

BOOL ownerDrawButtons(HWND child, LPARAM) {
  char16_t cls[16] = {};
  GetClassName(child, cls, 16);
  if (std::u16string_view(cls) != u"Button") return 1;
  const LONG_PTR style = GetWindowLongPtr(child, GWL_STYLE);
  // Check boxes keep their own drawing: as owner-drawn buttons they could no longer be checked.
  const LONG_PTR type = style & BS_TYPEMASK;
  if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX) return 1;
  SetWindowLongPtr(child, GWL_STYLE, style | 0xB);
  return 1;
}

std::u16string systemMessageFace() {
  NONCLIENTMETRICSW metrics;
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return {};
  const char16_t* face = metrics.lfMessageFont.lfFaceName;
  return std::u16string(face, std::find(face, face + 32, u'\0'));
}

ModalDialog* objectOf(HWND dialog) {
  return static_cast<ModalDialog*>(GetProp(dialog, "kszThis"));
}

HBRUSH cachedBrush(HWND dialog, const char* name, COLORREF color) {
  if (HANDLE h = GetProp(dialog, name)) return static_cast<HBRUSH>(h);
  HBRUSH brush = CreateSolidBrush(color);
  SetProp(dialog, name, static_cast<HANDLE>(brush));
  return brush;
}

}  // namespace

int openDialogsOf(HWND owner) {
  std::lock_guard<std::mutex> lock(ownersMutex());
  auto it = owners().find(owner);
  return it == owners().end() ? 0 : it->second;
}

// ---- the dialog ----------------------------------------------------------------------------------

ModalDialog::ModalDialog(const std::string& title, const std::string& message,
                         const std::string& defaultButtonText)
    : title(title), message(message), defaultButtonText(defaultButtonText) {}

ModalDialog::~ModalDialog() { ZRK_LOG_INFO("ModalDialog destructor~~~"); }

void ModalDialog::show(HWND owner, Completion done, int dark) {
  styled = dark == 1;
  completion = std::move(done);
  closing_ = false;
  if (title.empty()) title = " ";
  const DialogAttributes attributes = dialogAttributes();
  const uint16_t pointSize = attributes.fontSize != 0 ? attributes.fontSize : 11;
  std::u16string face = attributes.fontFace.empty() ? systemMessageFace()
                                                     : Vesk::utf::fromUtf8(attributes.fontFace);
  DialogTemplateBuilder builder;
  builder.beginDialog(Vesk::utf::fromUtf8(title), 0, 0, 269, 71, kDialogStyle, 0,
                      face.empty() ? nullptr : face.c_str(), pointSize);
  buildTemplate(builder);
  controlIds = builder.ids();

  HWND dialog = CreateDialogIndirectParamW(nullptr, builder.data(), builder.size(), owner,
                                           modalDialogProc, reinterpret_cast<LPARAM>(this));
  if (dialog == nullptr) {
    const DWORD code = GetLastError();
    ZRK_LOG_ERROR("Failed to create dialog(%d): %s", static_cast<int>(code),
                  Vesk::TString::fromSystemError(code).utf8String().c_str());
    onCancel();
    completion = nullptr;
    return;
  }
  static dispatch_once_t once;
  dispatch_once(&once, loadDialogIcon);
  if (HICON icon = dialogIcon()) {
    SendMessage(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessage(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  }
  layoutDialog(dialog, controlIds);
  if (owner != nullptr && IsWindow(owner)) {
    SetProp(dialog, "kszOwner", static_cast<HANDLE>(owner));
    SetWindowLongPtr(dialog, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner));
    {
      std::lock_guard<std::mutex> lock(ownersMutex());
      ++owners()[owner];
    }
    ownerHeld_ = true;
    EnableWindow(owner, 0);
  }
  if (styled) {
    const BOOL on = 1;
    DwmSetWindowAttribute(dialog, DWMWA_USE_IMMERSIVE_DARK_MODE, &on, sizeof on);
    EnumChildWindows(dialog, ownerDrawButtons, 0);
  }
  ShowWindow(dialog, SW_SHOWNORMAL);

  RECT reference{};
  RECT own{};
  GetWindowRect(dialog, &own);
  HWND parent = GetParent(dialog);
  MONITORINFO info;
  if (parent && GetWindowRect(parent, &reference)) {
  } else if (HMONITOR monitor = MonitorFromWindow(dialog, MONITOR_DEFAULTTONEAREST);
             monitor && GetMonitorInfo(monitor, &info)) {
    reference = info.rcWork;
  } else {
    reference = RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  }
  const int width = own.right - own.left;
  const int height = own.bottom - own.top;
  const int left = reference.left + (reference.right - reference.left - width) / 2;
  const int top = reference.top + (reference.bottom - reference.top - height) / 2;
  SetWindowPos(dialog, nullptr, left, top, 0, 0, SWP_SHOWWINDOW | SWP_NOZORDER | SWP_NOSIZE);
  UpdateWindow(dialog);
}

void ModalDialog::close(HWND dialog) {
  closing_ = true;
  SendMessage(dialog, WM_CLOSE, 0, 0);
  if (completion) onResult();
}

void ModalDialog::releaseOwner(HWND dialog) {
  HWND owner = static_cast<HWND>(GetProp(dialog, "kszOwner"));
  if (!ownerHeld_) return;
  ownerHeld_ = false;
  int left = 0;
  {
    std::lock_guard<std::mutex> lock(ownersMutex());
    auto it = owners().find(owner);
    if (it != owners().end()) {
      left = --it->second;
      if (left <= 0) owners().erase(it);
    }
  }
  // The owner stays disabled while another of its dialogs is open.
  if (left <= 0 && owner && IsWindow(owner)) {
    EnableWindow(owner, 1);
    SetActiveWindow(owner);
  }
}

void ModalDialog::drawButton(const void* item) {
  const auto* dis = static_cast<const DRAWITEMSTRUCT*>(item);
  const DialogAttributes a = dialogAttributes();
  HDC dc = dis->hDC;
  HBRUSH fill = CreateSolidBrush(colorOf(a.controlBackgroundColor, 0x2D2D2D));
  FillRect(dc, &dis->rcItem, fill);
  if (HPEN pen = CreatePen(PS_SOLID, 1, colorOf(a.controlBorderColor, 0x555555))) {
    HGDIOBJ oldPen = SelectObject(dc, pen);
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, dis->rcItem.left, dis->rcItem.top, dis->rcItem.right, dis->rcItem.bottom);
    if (dis->itemState & ODS_FOCUS) {
      RECT focus{dis->rcItem.left + 4, dis->rcItem.top + 3, dis->rcItem.right - 4,
                 dis->rcItem.bottom - 3};
      DrawFocusRect(dc, &focus);
    }
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    DeleteObject(pen);
  }
  SetTextColor(dc, colorOf(a.textColor, 0xFFFFFF));
  SetBkMode(dc, TRANSPARENT);
  char16_t text[100] = {};
  GetWindowText(dis->hwndItem, text, 99);
  RECT rc = dis->rcItem;
  DrawTextW(dc, text, -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  DeleteObject(fill);
}

LRESULT ModalDialog::handleMessage(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      PostMessage(HWND_BROADCAST, wmAddDialog(), 0, reinterpret_cast<LPARAM>(dialog));
      onInitDialog(dialog);
      return 1;
    case WM_COMMAND: onCommand(dialog, static_cast<int>(LOWORD(wParam)), wParam); return 1;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) {
        onCommand(dialog, IDCLOSE, wParam);
        return 1;
      }
      return 0;
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT: {
      if (!styled) return 0;
      const DialogAttributes a = dialogAttributes();
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, colorOf(a.textColor, 0xFFFFFF));
      if (msg == WM_CTLCOLOREDIT) {
        const COLORREF bg = colorOf(a.controlBackgroundColor, 0x2D2D2D);
        SetBkColor(dc, bg);
        return reinterpret_cast<LRESULT>(cachedBrush(dialog, "editbgcolor", bg));
      }
      const COLORREF bg = colorOf(a.backgroundColor, 0x000000);
      SetBkColor(dc, bg);
      return reinterpret_cast<LRESULT>(cachedBrush(dialog, "ctrlbgcolor", bg));
    }
    case WM_DRAWITEM: {
      const auto* dis = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (!styled || dis == nullptr || dis->CtlType != ODT_BUTTON) return 0;
      drawButton(dis);
      return 1;
    }
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      if (suggested) {
        std::printf("width: %d\theight: %d  dpi behavior: %d\n",
                    suggested->right - suggested->left, suggested->bottom - suggested->top, 0);
        std::fflush(stdout);
        SetWindowPos(dialog, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
      }
      layoutDialog(dialog, controlIds);
      return 1;
    }
    default: return 0;
  }
}

LRESULT modalDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
  ModalDialog* self = objectOf(dialog);
  switch (msg) {
    case WM_DESTROY: {
      RemoveProp(dialog, "kszThis");
      if (self) self->releaseOwner(dialog);
      RemoveProp(dialog, "kszOwner");
      for (const char* name : {"editbgcolor", "ctrlbgcolor"}) {
        if (HANDLE brush = RemoveProp(dialog, name)) DeleteObject(brush);
      }
      PostMessage(HWND_BROADCAST, wmRemoveDialog(), 0, reinterpret_cast<LPARAM>(dialog));
      // Gone without a button (closed or destroyed by other code, or with its owner): the
      // caller still gets an answer. This may release the object: it is not used afterwards.
      if (self && !self->closing_ && self->completion) {
        self->closing_ = true;
        self->onCancel();
      }
      return 0;
    }
    case WM_CLOSE:
      if (self) self->releaseOwner(dialog);
      return DestroyWindow(dialog);
    case WM_SETFONT:
      if (wParam) {
        LOGFONTW lf;
        if (GetObjectW(reinterpret_cast<HGDIOBJ>(wParam), sizeof lf, &lf)) {
          const char16_t* face = lf.lfFaceName;
          std::printf("Dialog font: %s\n",
                      Vesk::utf::toUtf8(std::u16string(face, std::find(face, face + 32, u'\0')))
                          .c_str());
          std::fflush(stdout);
        }
      }
      break;
    case WM_INITDIALOG:
      self = reinterpret_cast<ModalDialog*>(lParam);
      SetProp(dialog, "kszThis", static_cast<HANDLE>(self));
      break;
    default: break;
  }
  if (self) return self->handleMessage(dialog, msg, wParam, lParam);
  return 1;
}

}  // namespace zrk
