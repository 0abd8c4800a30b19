// A window's saved placement, and the small platform helpers of the window code: DPI of a window
// and of a monitor, the system's dark-application preference, the dark frame, the frame
// extension, and the OS version test.
#pragma once

#include <string>

#include "desk/attributes.h"
#include "desk/types.h"
#include "desk/window.h"

namespace zrk {

// The placement of one window, kept at 96 DPI as REG_DWORD values "left", "top", "right",
// "bottom" and "showCmd" under HKEY_CURRENT_USER\<key>. Saved when the object is destroyed.
class WindowFrameAutosave {
 public:
  WindowFrameAutosave(desk::HWND hwnd, std::u16string key) : hwnd_(hwnd), key_(std::move(key)) {}
  WindowFrameAutosave(const WindowFrameAutosave&) = delete;
  WindowFrameAutosave& operator=(const WindowFrameAutosave&) = delete;
  ~WindowFrameAutosave();

  // Applies the saved placement, scaled to the DPI of the monitor it falls on; nothing unless all
  // five values are there and the monitor's DPI is known.
  void restore();
  // Writes the window's normal rectangle (scaled to 96 DPI) and show command.
  void save();

  bool restored() const { return restored_; }
  const std::u16string& key() const { return key_; }

 private:
  bool restored_ = false;
  desk::HWND hwnd_ = nullptr;
  std::u16string key_;
};

// "SOFTWARE\<application identifier>\windows\<window identifier>".
std::u16string frameAutosaveKey(const std::string& applicationId, const std::string& windowId);

// The DPI of the window's monitor, or the system DPI where per-monitor DPI is unavailable.
unsigned int dpiForWindow(desk::HWND hwnd);
// The effective DPI of the monitor, or the system DPI where that is unavailable.
int dpiForMonitor(desk::HMONITOR monitor);
// Whether the user prefers dark applications ("AppsUseLightTheme" is the DWORD 0).
bool systemUsesDarkTheme();
// The window's dark-frame attribute: non-zero for dark, 0 for light or when it cannot be read.
int isImmersiveDarkMode(desk::HWND hwnd);
// Sets the dark-frame attribute; when that worked, the frame is repainted by sizing the window one
// pixel shorter and back.
void setImmersiveDarkMode(desk::HWND hwnd, desk::BOOL dark);
void extendFrameIntoClientArea(desk::HWND hwnd, desk::MARGINS margins);
// Build 22000 or later of major version 10.
bool isWindows11OrLater();

}  // namespace zrk
