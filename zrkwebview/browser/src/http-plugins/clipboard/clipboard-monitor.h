// The clipboard change listener: while it runs, a hidden message-only window is a clipboard format
// listener; every change of the clipboard's content is classified by kind and sent to every page
// as the event "zrk://clipboard-changed" {"type": kind}. One listener per process.
//
// The window lives on the thread that started the listener (the plugin request thread, whose queue
// loop hands window messages to it). It can be stopped from any thread: the window is destroyed on
// its own thread. At exit a listener still running is taken off the clipboard.
#pragma once

#include "desk/types.h"

namespace zrk::plugin {

// What the clipboard holds, by the first test that holds: 0 it cannot be opened, 1 text, 4 image,
// 5 files, 2 HTML (without any of those), 6 anything else or nothing.
enum ClipboardChangeKind : int {
  kClipboardUnavailable = 0,
  kClipboardText = 1,
  kClipboardHtml = 2,
  kClipboardImage = 4,
  kClipboardFiles = 5,
  kClipboardOther = 6,
};

// Classifies the clipboard's content now (opening it for the look).
int classifyClipboard();

// The process-wide listener record.
struct ClipboardMonitor {
  desk::HWND window = nullptr;       // null while the listener is not running
  desk::DWORD windowThread = 0;      // the thread the window belongs to
  desk::HINSTANCE moduleInstance = nullptr;  // the program's module handle (none here)

  // Made on first use; lives to the end of the process.
  static ClipboardMonitor& instance();
};

// True when the listener runs afterwards (starting twice makes no second window).
bool startClipboardMonitor();
// Stops it when it runs; callable from any thread.
void stopClipboardMonitor();
bool isClipboardMonitorRunning();

desk::LRESULT clipboardMonitorWndProc(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                                      desk::LPARAM lParam);
// On WM_CLIPBOARDUPDATE: classifies and emits. Returns 0.
desk::LRESULT notifyClipboardChanged(ClipboardMonitor* monitor, desk::UINT message);

}  // namespace zrk::plugin
