// Which backend shows the windows: the headless model (nothing is drawn; the default without a
// display and in every test) or the X11 display backend (DISPLAY names an X server, which may be
// XWayland). PELMORA_HEADLESS forces the headless model whatever DISPLAY says.
#pragma once

#include <string>
#include <vector>

#include "desk/test.h"

namespace desk::display {

enum class Backend { Headless, X11 };

struct BackendChoice {
  Backend backend = Backend::Headless;
  std::string display;  // the X display name for X11
  std::string reason;   // why, in words a log line can carry
};

// Decides from the two variables' values (null when unset). PELMORA_HEADLESS counts as set
// when it is neither empty nor "0".
BackendChoice chooseBackend(const char* display, const char* forceHeadless);
// The same from this process's environment.
BackendChoice chooseBackendFromEnvironment();

// The backend the process runs with: headless until start-up has started the display backend.
Backend activeBackend();
const char* backendName(Backend backend);

struct XMonitor;
// The X server's monitors as the window model keeps them (primary first, names as UTF-16).
std::vector<desk::test::MonitorSpec> monitorSpecs(const std::vector<XMonitor>& monitors);
// Hands the X server's monitors to the window model (windows on a monitor whose DPI changed get
// WM_DPICHANGED). Start-up does it once the connection is open.
void applyMonitors(const std::vector<XMonitor>& monitors);

// Starts the display backend for an X11 choice: connects to the X server and takes its monitors. False, with `error`
// saying why, when it cannot; the process then stays headless. A headless choice does nothing
// and succeeds.
bool startBackend(const BackendChoice& choice, std::string& error);
// Closes the connection and returns to headless (also at exit).
void stopBackend();

}  // namespace desk::display
