#include "zrkwebview/browser/src/http-plugins/window/window-native.h"

#include <cstdio>
#include <memory>

#include <nlohmann/json.hpp>

#include "desk/icons.h"
#include "desk/window.h"
#include "vesk/strings.h"
#include "zrkwebview/browser/src/http-plugins/image/image-resource.h"
#include "zrkwebview/browser/src/http-plugins/window/window-values.h"
#include "zrkwebview/browser/src/resource.h"
#include "zrkwebview/browser/src/webview.h"
#include "zrkwebview/browser/src/webview2/window-frame.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk::plugin {

int monitorDpi(desk::HMONITOR monitor) { return dpiForMonitor(monitor); }

MonitorRecord describeMonitor(desk::HMONITOR monitor) {
  MonitorRecord record;
  desk::MONITORINFOEX info;
  if (monitor != nullptr && desk::GetMonitorInfo(monitor, &info)) {
    std::u16string device;
    for (char16_t c : info.szDevice) {
      if (c == 0) break;
      device.push_back(c);
    }
    record.name = toUtf8(device);
    const desk::RECT& r = info.rcMonitor;
    record.width = static_cast<float>(r.right - r.left);
    record.height = static_cast<float>(r.bottom - r.top);
    record.x = static_cast<float>(r.left);
    record.y = static_cast<float>(r.top);
  }
  const float dpi = static_cast<float>(monitorDpi(monitor));
  record.scaleFactor = static_cast<double>(dpi / 96.0f);
  return record;
}

namespace {

desk::BOOL collectMonitor(desk::HMONITOR monitor, desk::HDC, desk::RECT* rect,
                          desk::LPARAM lParam) {
  if (rect != nullptr) {
    std::printf("left: %d, top: %d, right: %d, bottom: %d\n", static_cast<int>(rect->left),
                static_cast<int>(rect->top), static_cast<int>(rect->right),
                static_cast<int>(rect->bottom));
  }
  reinterpret_cast<std::vector<MonitorRecord>*>(lParam)->push_back(describeMonitor(monitor));
  return 1;
}

}  // namespace

std::vector<MonitorRecord> enumerateMonitors() {
  std::vector<MonitorRecord> records;
  desk::EnumDisplayMonitors(nullptr, nullptr, &collectMonitor,
                            reinterpret_cast<desk::LPARAM>(&records));
  std::fflush(stdout);
  return records;
}

MonitorRecord describeWindowMonitor(Window* window) {
  if (window == nullptr) return describePrimaryMonitor();
  return describeMonitor(
      desk::MonitorFromWindow(window->nativeHandle(), desk::MONITOR_DEFAULTTONEAREST));
}

MonitorRecord describePrimaryMonitor() {
  return describeMonitor(desk::MonitorFromWindow(nullptr, desk::MONITOR_DEFAULTTOPRIMARY));
}

MonitorRecord describeMonitorAtPoint(float x, float y) {
  const desk::POINT point{truncateToInt(x), truncateToInt(y)};
  return describeMonitor(desk::MonitorFromPoint(point, desk::MONITOR_DEFAULTTONEAREST));
}

std::pair<float, float> cursorScreenPosition() {
  desk::POINT point{0, 0};
  desk::GetCursorPos(&point);
  return {static_cast<float>(point.x), static_cast<float>(point.y)};
}

nlohmann::json monitorToJson(const MonitorRecord& record) {
  return nlohmann::json{{"name", record.name},
                        {"position", positionToJson({record.x, record.y})},
                        {"scaleFactor", record.scaleFactor},
                        {"size", sizeToJson({record.width, record.height})}};
}

bool setWindowIcon(Window* window, Webview* webview, int32_t rid) {
  if (window == nullptr || webview == nullptr || rid == 0) return false;
  std::shared_ptr<ResourceManager> manager = webview->resourceManager();
  if (!manager) return false;
  std::shared_ptr<Resource> resource = manager->find(static_cast<uint32_t>(rid));
  if (!resource || !resource->isKindOfClass(&IcoResource::classDescriptor)) return false;
  auto icon = std::dynamic_pointer_cast<IcoResource>(resource);
  if (!icon) return false;
  ImagePointer image = icon->image();
  if (!image) return false;
  desk::HICON handle = desk::createIcon(*image);
  if (handle == nullptr) return false;
  desk::HWND hwnd = window->nativeHandle();
  if (!desk::IsWindow(hwnd)) {
    // Nothing would show it: it is not kept.
    desk::DestroyIcon(handle);
    return false;
  }
  const auto lParam = reinterpret_cast<desk::LPARAM>(handle);
  desk::SendMessage(hwnd, desk::WM_SETICON, desk::ICON_BIG, lParam);
  desk::SendMessage(hwnd, desk::WM_SETICON, desk::ICON_SMALL, lParam);
  // The window shows the new icon now; the one it replaces, if it was ours, goes.
  window->adoptIcon(handle);
  return true;
}

}  // namespace zrk::plugin
