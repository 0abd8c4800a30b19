// The window plugin's platform side for what is not an operation of one window: the monitors,
// the cursor, and a window's icon from a page's image.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "desk/types.h"

namespace zrk {
class Webview;
class Window;
}  // namespace zrk

namespace zrk::plugin {

// One monitor: its device name, its whole rectangle (not the work area) in physical pixels of the
// virtual screen, and its DPI over 96.
struct MonitorRecord {
  std::string name;
  float width = 0;
  float height = 0;
  float x = 0;
  float y = 0;
  double scaleFactor = 1.0;
};

// The DPI of a monitor: the effective DPI, or the system DPI where that cannot be had.
int monitorDpi(desk::HMONITOR monitor);

// A monitor whose information cannot be read has zeros and an empty name (its scale factor is
// still that of monitorDpi). The scale factor is computed in single precision, then widened.
MonitorRecord describeMonitor(desk::HMONITOR monitor);
// Every monitor in enumeration order; writes each one's rectangle to standard output as
// "left: L, top: T, right: R, bottom: B".
std::vector<MonitorRecord> enumerateMonitors();
// The monitor holding the larger part of the window (nearest to it); the primary one without a
// window.
MonitorRecord describeWindowMonitor(Window* window);
MonitorRecord describePrimaryMonitor();
// The monitor nearest to the point, each coordinate truncated toward zero.
MonitorRecord describeMonitorAtPoint(float x, float y);
// The cursor's screen position.
std::pair<float, float> cursorScreenPosition();

// {"name", "position": {"x", "y"}, "scaleFactor", "size": {"height", "width"}}, numbers as doubles.
nlohmann::json monitorToJson(const MonitorRecord& record);

// Gives the window, as its big and small icon, the icon image `rid` of the webview's resources.
// False (nothing changed) without a window or webview, for rid 0, for a rid the webview does not
// hold, for a resource that is no icon image or holds no image, and when no icon can be made.
// The window owns the icon it now shows and destroys the one it replaces.
bool setWindowIcon(Window* window, Webview* webview, int32_t rid);

}  // namespace zrk::plugin
