// The X11 driver for the windows the layer draws itself: dialogs (message boxes among them) and
// layered windows (the popup menus). Each shown top-level window of that kind gets an X11 window
// of its bounds, painted from its bitmaps through Cairo's Xlib surface; popup windows without a
// caption are override-redirect. The driver follows the windows through the window observer:
// moved, resized, retitled, hidden and destroyed with them, and painted again after they painted.
// What the user does to an X11 window comes back through desk::injectInput, the entry the test
// controller uses, so a click on a message box button or a menu row takes the same road as in
// headless tests.
//
// Windows that host webviews are not drawn by the layer and are left to the webview windows'
// driver. The driver has a connection of its own and one event thread that sleeps in poll();
// when the X server goes away the driver stops painting, closes the message boxes it shows
// (their Escape answer) and never blocks a caller.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "desk/display/x11_connection.h"
#include "desk/window.h"

namespace desk::display {

class X11NativeWindows {
 public:
  // Null, with `error` saying why, when the X server cannot be reached. While it runs, message
  // boxes are shown as dialogs on screen and dialogs stay up until the user answers them.
  static std::unique_ptr<X11NativeWindows> start(const std::string& displayName, std::string& error);
  ~X11NativeWindows();
  X11NativeWindows(const X11NativeWindows&) = delete;
  X11NativeWindows& operator=(const X11NativeWindows&) = delete;

  // The X11 window showing `hwnd` now (0 when none is shown).
  XWindowId windowOf(HWND hwnd) const;
  bool lost() const;

  struct Impl;

 private:
  explicit X11NativeWindows(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

namespace native {

// Whether the driver shows this window: a visible, top-level window that the layer draws (a
// dialog, or a layered window once it has a frame).
bool drawnByLayer(const WindowSnapshot& window);
// A popup without a caption (a menu) is placed by us, not by a window manager.
bool overrideRedirect(const WindowSnapshot& window);
// The screen rectangle the X11 window covers: the client area (a window manager draws the
// frame), or the whole window for a layered one.
XRect placement(const WindowSnapshot& window);

// The virtual key of an X keysym; 0 for a key the layer has no virtual key for.
int virtualKeyOf(unsigned long keysym);
// The character a key press types (`keysym` as the modifiers made it), for characters
// TranslateMessage does not make from the virtual key itself (punctuation, letters beyond
// ASCII); 0 otherwise, and always 0 with Control held.
char16_t typedCharacter(int virtualKey, unsigned long keysym, bool control);

// An X pointer event as the layer's input: `origin` is the screen point of the X11 window's
// top-left corner, (x, y) the event's point inside it. False for a button the layer has none for.
enum class PointerKind { Press, Release, Motion, Enter };
bool pointerInput(PointerKind kind, unsigned button, POINT origin, int x, int y, InputEvent& out);

}  // namespace native

}  // namespace desk::display
