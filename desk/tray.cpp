#include "desk/tray.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "desk/com.h"
#include "desk/errors.h"
#include "desk/icons.h"
#include "desk/message.h"
#include "desk/test.h"
#include "desk/thread.h"
#include "desk/window.h"

namespace desk {
namespace {

struct Record {
  test::NotifyIcon icon;
  uint64_t order = 0;  // when it was added: the layout runs right to left in this order
};

struct Area {
  std::mutex mutex;
  std::map<std::pair<HWND, UINT>, Record> records;
  uint64_t added = 0;
  std::map<DWORD, DWORD> failures;  // message -> error code
  bool failRect = false;
};

Area& area() {
  static Area* a = new Area;
  return *a;
}

std::u16string tipOf(const NOTIFYICONDATAW& data) {
  size_t n = 0;
  while (n < 128 && data.szTip[n] != 0) ++n;
  return std::u16string(data.szTip, n);
}

std::shared_ptr<const gfx::Bitmap> pixelsOf(HICON icon) {
  const gfx::Bitmap* bitmap = icon != nullptr ? iconBitmap(icon) : nullptr;
  return bitmap != nullptr ? std::make_shared<const gfx::Bitmap>(*bitmap) : nullptr;
}

// Applies the members that uFlags names.
void apply(test::NotifyIcon& icon, const NOTIFYICONDATAW& data,
           std::shared_ptr<const gfx::Bitmap> pixels) {
  icon.flags = data.uFlags;
  if (data.uFlags & NIF_MESSAGE) icon.callbackMessage = data.uCallbackMessage;
  if (data.uFlags & NIF_ICON) {
    icon.icon = data.hIcon;
    icon.image = std::move(pixels);
  }
  if (data.uFlags & NIF_TIP) icon.tip = tipOf(data);
  if (data.uFlags & NIF_STATE) {
    icon.state = (icon.state & ~data.dwStateMask) | (data.dwState & data.dwStateMask);
  }
  icon.showTip = (data.uFlags & NIF_SHOWTIP) != 0;
}

BOOL failWith(DWORD code) {
  SetLastError(code);
  return 0;
}

// The bottom-right corner of the notification area and its DPI: below the primary monitor's work
// area, or its last kTrayAreaHeight pixels when the work area leaves no room.
struct Layout {
  int right = 0;
  int top = 0;
  int bottom = 0;
  int slot = kTrayIconSlot;
};

Layout layout() {
  Layout out;
  HMONITOR primary = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
  MONITORINFO info;
  if (primary == nullptr || !GetMonitorInfo(primary, &info)) return out;
  UINT dpiX = USER_DEFAULT_SCREEN_DPI;
  UINT dpiY = USER_DEFAULT_SCREEN_DPI;
  if (FAILED(GetDpiForMonitor(primary, MDT_EFFECTIVE_DPI, &dpiX, &dpiY))) dpiX = GetDpiForSystem();
  out.slot = MulDiv(kTrayIconSlot, static_cast<int>(dpiX), 96);
  out.right = info.rcMonitor.right;
  out.bottom = info.rcMonitor.bottom;
  out.top = info.rcWork.bottom < info.rcMonitor.bottom
                ? info.rcWork.bottom
                : info.rcMonitor.bottom - MulDiv(kTrayAreaHeight, static_cast<int>(dpiX), 96);
  return out;
}

}  // namespace

BOOL Shell_NotifyIconW(DWORD message, NOTIFYICONDATAW* data) {
  if (data == nullptr || data->cbSize != sizeof(NOTIFYICONDATAW)) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  // Copied before the lock: the icon table has a lock of its own.
  std::shared_ptr<const gfx::Bitmap> pixels;
  if ((message == NIM_ADD || message == NIM_MODIFY) && (data->uFlags & NIF_ICON)) {
    pixels = pixelsOf(data->hIcon);
  }
  const bool windowExists = message != NIM_ADD || IsWindow(data->hWnd);
  Area& a = area();
  std::lock_guard<std::mutex> lock(a.mutex);
  auto failure = a.failures.find(message);
  if (failure != a.failures.end()) return failWith(failure->second);
  const auto key = std::make_pair(data->hWnd, data->uID);
  auto it = a.records.find(key);
  switch (message) {
    case NIM_ADD: {
      if (!windowExists) return failWith(ERROR_INVALID_WINDOW_HANDLE);
      if (it != a.records.end()) return failWith(ERROR_ALREADY_EXISTS);
      Record record;
      record.icon.hwnd = data->hWnd;
      record.icon.id = data->uID;
      record.order = a.added++;
      apply(record.icon, *data, std::move(pixels));
      a.records.emplace(key, std::move(record));
      return 1;
    }
    case NIM_MODIFY:
      if (it == a.records.end()) return failWith(ERROR_NOT_FOUND);
      apply(it->second.icon, *data, std::move(pixels));
      return 1;
    case NIM_DELETE:
      if (it == a.records.end()) return failWith(ERROR_NOT_FOUND);
      a.records.erase(it);
      return 1;
    case NIM_SETFOCUS:
      if (it == a.records.end()) return failWith(ERROR_NOT_FOUND);
      return 1;
    case NIM_SETVERSION:
      if (it == a.records.end()) return failWith(ERROR_NOT_FOUND);
      if (data->uVersion != 0 && data->uVersion != NOTIFYICON_VERSION &&
          data->uVersion != NOTIFYICON_VERSION_4) {
        return failWith(ERROR_INVALID_PARAMETER);
      }
      it->second.icon.version = data->uVersion;
      return 1;
    default:
      return failWith(ERROR_INVALID_PARAMETER);
  }
}

HRESULT Shell_NotifyIconGetRect(const NOTIFYICONIDENTIFIER* identifier, RECT* rect) {
  if (identifier == nullptr || rect == nullptr ||
      identifier->cbSize != sizeof(NOTIFYICONIDENTIFIER)) {
    return E_INVALIDARG;
  }
  const Layout place = layout();
  Area& a = area();
  std::lock_guard<std::mutex> lock(a.mutex);
  if (a.failRect) return E_FAIL;
  auto it = a.records.find(std::make_pair(identifier->hWnd, identifier->uID));
  if (it == a.records.end() || (it->second.icon.state & NIS_HIDDEN)) return E_FAIL;
  // Slots go to the shown icons, right to left, in the order they were added.
  int slot = 0;
  for (const auto& [key, record] : a.records) {
    if (record.order < it->second.order && !(record.icon.state & NIS_HIDDEN)) ++slot;
  }
  rect->right = place.right - slot * place.slot;
  rect->left = rect->right - place.slot;
  rect->top = place.top;
  rect->bottom = place.bottom;
  return S_OK;
}

namespace test {

std::vector<NotifyIcon> notifyIcons() {
  Area& a = area();
  std::lock_guard<std::mutex> lock(a.mutex);
  std::vector<const Record*> ordered;
  for (const auto& [key, record] : a.records) ordered.push_back(&record);
  std::sort(ordered.begin(), ordered.end(),
            [](const Record* x, const Record* y) { return x->order < y->order; });
  std::vector<NotifyIcon> out;
  for (const Record* record : ordered) out.push_back(record->icon);
  return out;
}

std::optional<NotifyIcon> notifyIcon(HWND hwnd, UINT id) {
  Area& a = area();
  std::lock_guard<std::mutex> lock(a.mutex);
  auto it = a.records.find(std::make_pair(hwnd, id));
  if (it == a.records.end()) return std::nullopt;
  return it->second.icon;
}

void failNotifyIcon(DWORD message, DWORD error) {
  Area& a = area();
  std::lock_guard<std::mutex> lock(a.mutex);
  if (error == ERROR_SUCCESS) {
    a.failures.erase(message);
  } else {
    a.failures[message] = error;
  }
}

void failNotifyIconGetRect(bool fail) {
  Area& a = area();
  std::lock_guard<std::mutex> lock(a.mutex);
  a.failRect = fail;
}

bool trayCallback(HWND hwnd, UINT id, UINT event, POINT pt) {
  std::optional<NotifyIcon> icon = notifyIcon(hwnd, id);
  if (!icon || icon->callbackMessage == 0) return false;
  SetCursorPos(pt.x, pt.y);
  WPARAM wParam = id;
  LPARAM lParam = static_cast<LPARAM>(event);
  if (icon->version >= NOTIFYICON_VERSION_4) {
    wParam = MAKEWPARAM(pt.x, pt.y);
    lParam = MAKELPARAM(static_cast<int>(event), static_cast<int>(id));
  }
  return PostMessage(hwnd, icon->callbackMessage, wParam, lParam) != 0;
}

void resetNotifyIcons() {
  Area& a = area();
  std::lock_guard<std::mutex> lock(a.mutex);
  a.records.clear();
  a.added = 0;
  a.failures.clear();
  a.failRect = false;
}

}  // namespace test

}  // namespace desk
