#include "zrkwebview/browser/src/webview2/window-frame.h"

#include <atomic>
#include <cstring>

#include "desk/gdi.h"
#include "desk/registry.h"
#include "desk/sysinfo.h"
#include "vesk/strings.h"

namespace zrk {

namespace {

const char16_t* const kPlacementValues[] = {u"left", u"top", u"right", u"bottom", u"showCmd"};

bool readDword(desk::HKEY key, const char16_t* name, desk::DWORD* out) {
  desk::DWORD type = 0;
  desk::DWORD size = sizeof(desk::DWORD);
  desk::DWORD value = 0;
  if (desk::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<desk::BYTE*>(&value),
                             &size) != desk::ERROR_SUCCESS) {
    return false;
  }
  // Only a 4-byte DWORD is a placement value.
  if (type != desk::REG_DWORD || size != sizeof(desk::DWORD)) return false;
  *out = value;
  return true;
}

}  // namespace

std::u16string frameAutosaveKey(const std::string& applicationId, const std::string& windowId) {
  std::u16string key = u"SOFTWARE\\";
  key += toUtf16(applicationId);
  key += u"\\windows\\";
  key += toUtf16(windowId);
  return key;
}

WindowFrameAutosave::~WindowFrameAutosave() { save(); }

void WindowFrameAutosave::restore() {
  if (hwnd_ == nullptr) return;
  desk::HKEY key = nullptr;
  if (desk::RegOpenKeyExW(desk::HKEY_CURRENT_USER, key_.c_str(), 0, desk::KEY_READ, &key) !=
      desk::ERROR_SUCCESS) {
    return;
  }
  desk::DWORD values[5] = {};
  bool complete = true;
  for (int i = 0; i < 5 && complete; ++i) complete = readDword(key, kPlacementValues[i], &values[i]);
  if (complete) {
    desk::WINDOWPLACEMENT placement{};
    placement.length = sizeof(desk::WINDOWPLACEMENT);
    placement.flags = 0;
    placement.showCmd = values[4];
    placement.rcNormalPosition = {static_cast<int32_t>(values[0]), static_cast<int32_t>(values[1]),
                                  static_cast<int32_t>(values[2]), static_cast<int32_t>(values[3])};
    desk::HMONITOR monitor =
        desk::MonitorFromRect(&placement.rcNormalPosition, desk::MONITOR_DEFAULTTOPRIMARY);
    desk::UINT dpiX = 0;
    desk::UINT dpiY = 0;
    if (monitor != nullptr &&
        desk::GetDpiForMonitor(monitor, desk::MDT_EFFECTIVE_DPI, &dpiX, &dpiY) == desk::S_OK &&
        dpiX != 0) {
      const int dpi = static_cast<int>(dpiX);
      desk::RECT& r = placement.rcNormalPosition;
      r = {desk::MulDiv(r.left, dpi, 96), desk::MulDiv(r.top, dpi, 96),
           desk::MulDiv(r.right, dpi, 96), desk::MulDiv(r.bottom, dpi, 96)};
      desk::SetWindowPlacement(hwnd_, &placement);
      restored_ = true;
    }
  }
  desk::RegCloseKey(key);
}

void WindowFrameAutosave::save() {
  if (hwnd_ == nullptr) return;
  desk::WINDOWPLACEMENT placement{};
  placement.length = sizeof(desk::WINDOWPLACEMENT);
  if (!desk::GetWindowPlacement(hwnd_, &placement)) return;
  desk::RECT r = placement.rcNormalPosition;
  desk::HMONITOR monitor = desk::MonitorFromRect(&r, desk::MONITOR_DEFAULTTONEAREST);
  desk::UINT dpiX = 0;
  desk::UINT dpiY = 0;
  if (monitor != nullptr &&
      desk::GetDpiForMonitor(monitor, desk::MDT_EFFECTIVE_DPI, &dpiX, &dpiY) == desk::S_OK &&
      dpiX != 0) {
    const int dpi = static_cast<int>(dpiX);
    r = {desk::MulDiv(r.left, 96, dpi), desk::MulDiv(r.top, 96, dpi), desk::MulDiv(r.right, 96, dpi),
         desk::MulDiv(r.bottom, 96, dpi)};
  }
  desk::HKEY key = nullptr;
  if (desk::RegCreateKeyExW(desk::HKEY_CURRENT_USER, key_.c_str(), 0, nullptr,
                            desk::REG_OPTION_NON_VOLATILE, desk::KEY_WRITE, nullptr, &key,
                            nullptr) != desk::ERROR_SUCCESS) {
    return;
  }
  const desk::DWORD values[5] = {static_cast<desk::DWORD>(r.left), static_cast<desk::DWORD>(r.top),
                                 static_cast<desk::DWORD>(r.right),
                                 static_cast<desk::DWORD>(r.bottom), placement.showCmd};
  for (int i = 0; i < 5; ++i) {
    desk::RegSetValueExW(key, kPlacementValues[i], 0, desk::REG_DWORD,
                         reinterpret_cast<const desk::BYTE*>(&values[i]), sizeof(desk::DWORD));
  }
  desk::RegCloseKey(key);
}

unsigned int dpiForWindow(desk::HWND hwnd) {
  if (desk::PerMonitorDpiAvailable()) return desk::GetDpiForWindow(hwnd);
  desk::HDC dc = desk::GetDC(hwnd);
  const int dpi = desk::GetDeviceCaps(dc, desk::LOGPIXELSX);
  desk::ReleaseDC(hwnd, dc);
  return static_cast<unsigned int>(dpi);
}

int dpiForMonitor(desk::HMONITOR monitor) {
  desk::UINT dpiX = 0;
  desk::UINT dpiY = 0;
  if (desk::PerMonitorDpiAvailable() &&
      desk::GetDpiForMonitor(monitor, desk::MDT_EFFECTIVE_DPI, &dpiX, &dpiY) == desk::S_OK) {
    return static_cast<int>(dpiX);
  }
  desk::HWND desktop = desk::GetDesktopWindow();
  desk::HDC dc = desk::GetDC(desktop);
  const int dpi = desk::GetDeviceCaps(dc, desk::LOGPIXELSX);
  desk::ReleaseDC(desktop, dc);
  return dpi;
}

bool systemUsesDarkTheme() {
  desk::HKEY key = nullptr;
  if (desk::RegOpenKeyExW(desk::HKEY_CURRENT_USER,
                          u"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize", 0,
                          desk::KEY_READ | desk::KEY_WRITE, &key) != desk::ERROR_SUCCESS) {
    return false;
  }
  desk::DWORD value = 1;
  const bool dark = readDword(key, u"AppsUseLightTheme", &value) && value == 0;
  desk::RegCloseKey(key);
  return dark;
}

int isImmersiveDarkMode(desk::HWND hwnd) {
  desk::BOOL value = 0;
  if (desk::DwmGetWindowAttribute(hwnd, desk::DWMWA_USE_IMMERSIVE_DARK_MODE, &value,
                                  sizeof value) != desk::S_OK) {
    return 0;
  }
  return value;
}

void setImmersiveDarkMode(desk::HWND hwnd, desk::BOOL dark) {
  const desk::BOOL value = dark ? 1 : 0;
  if (desk::DwmSetWindowAttribute(hwnd, desk::DWMWA_USE_IMMERSIVE_DARK_MODE, &value,
                                  sizeof value) != desk::S_OK) {
    return;
  }
  desk::RECT r{};
  if (!desk::GetWindowRect(hwnd, &r)) return;
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  const desk::UINT flags = desk::SWP_NOMOVE | desk::SWP_NOZORDER | desk::SWP_NOACTIVATE;
  desk::SetWindowPos(hwnd, nullptr, 0, 0, width, height - 1, flags);
  desk::SetWindowPos(hwnd, nullptr, 0, 0, width, height, flags);
}

void extendFrameIntoClientArea(desk::HWND hwnd, desk::MARGINS margins) {
  desk::DwmExtendFrameIntoClientArea(hwnd, &margins);
}

bool isWindows11OrLater() {
  static std::atomic<int> known{0};
  int answer = known.load();
  if (answer == 0) {
    desk::OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    answer = desk::RtlGetVersion(&info) == 0 && info.dwMajorVersion >= 10 &&
                     info.dwBuildNumber >= 22000
                 ? 1
                 : -1;
    known.store(answer);
  }
  return answer == 1;
}

}  // namespace zrk
