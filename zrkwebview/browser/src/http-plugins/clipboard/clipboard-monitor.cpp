#include "zrkwebview/browser/src/http-plugins/clipboard/clipboard-monitor.h"

#include <cstdlib>
#include <mutex>

#include <nlohmann/json.hpp>

#include "desk/clipboard.h"
#include "desk/message.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "zrkwebview/browser/src/app.h"

namespace zrk::plugin {
namespace {

constexpr char16_t kClassName[] = u"ClipboardMonitorWnd";

// Guards the record's fields; never held while a window is created, destroyed or sent to.
std::mutex& recordMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

// Asks the window's own thread to take the window down.
desk::UINT stopMessage() {
  static const desk::UINT message = desk::RegisterWindowMessage("ClipboardMonitorWnd.stop");
  return message;
}

void destroyOnOwnThread(desk::HWND hwnd) {
  desk::RemoveClipboardFormatListener(hwnd);
  desk::DestroyWindow(hwnd);
}

void releaseAtExit() {
  // The window's thread has usually ended by now: the window only leaves the clipboard.
  desk::HWND hwnd = nullptr;
  {
    std::lock_guard<std::mutex> lock(recordMutex());
    hwnd = ClipboardMonitor::instance().window;
    ClipboardMonitor::instance().window = nullptr;
  }
  if (hwnd != nullptr) desk::RemoveClipboardFormatListener(hwnd);
}

const bool registeredAtExit = [] {
  std::atexit(&releaseAtExit);
  return true;
}();

}  // namespace

ClipboardMonitor& ClipboardMonitor::instance() {
  static ClipboardMonitor* record = [] {
    (void)registeredAtExit;
    return new ClipboardMonitor;  // lives to the end of the process, for the exit-time release
  }();
  return *record;
}

int classifyClipboard() {
  if (!desk::OpenClipboard(nullptr)) return kClipboardUnavailable;
  int kind = kClipboardOther;
  const desk::UINT html = desk::RegisterClipboardFormatW(u"HTML Format");
  if (desk::IsClipboardFormatAvailable(desk::CF_UNICODETEXT) ||
      desk::IsClipboardFormatAvailable(desk::CF_TEXT)) {
    kind = kClipboardText;
  } else if (desk::IsClipboardFormatAvailable(desk::CF_DIB) ||
             desk::IsClipboardFormatAvailable(desk::CF_BITMAP) ||
             desk::IsClipboardFormatAvailable(desk::CF_DIBV5)) {
    kind = kClipboardImage;
  } else if (desk::IsClipboardFormatAvailable(desk::CF_HDROP)) {
    kind = kClipboardFiles;
  } else if (html != 0 && desk::IsClipboardFormatAvailable(html)) {
    kind = kClipboardHtml;
  }
  desk::CloseClipboard();
  return kind;
}

bool startClipboardMonitor() {
  ClipboardMonitor& record = ClipboardMonitor::instance();
  {
    std::lock_guard<std::mutex> lock(recordMutex());
    if (record.window != nullptr) return true;
  }
  desk::WNDCLASS wc;
  wc.lpfnWndProc = &clipboardMonitorWndProc;
  wc.hInstance = record.moduleInstance;
  wc.lpszClassName = kClassName;
  desk::RegisterClass(&wc);  // fails harmlessly once it exists
  desk::HWND hwnd = desk::CreateWindowEx(0, kClassName, u"", 0, 0, 0, 0, 0, desk::HWND_MESSAGE,
                                         nullptr, record.moduleInstance, &record);
  if (hwnd == nullptr) return false;
  if (!desk::AddClipboardFormatListener(hwnd)) {
    desk::DestroyWindow(hwnd);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(recordMutex());
    if (record.window == nullptr) {
      record.window = hwnd;
      record.windowThread = desk::GetCurrentThreadId();
      return true;
    }
  }
  // Another thread started it meanwhile: keep that one.
  destroyOnOwnThread(hwnd);
  return true;
}

void stopClipboardMonitor() {
  ClipboardMonitor& record = ClipboardMonitor::instance();
  desk::HWND hwnd = nullptr;
  desk::DWORD thread = 0;
  {
    std::lock_guard<std::mutex> lock(recordMutex());
    hwnd = record.window;
    thread = record.windowThread;
    record.window = nullptr;
    record.windowThread = 0;
  }
  if (hwnd == nullptr) return;
  // Off the clipboard at once, whichever thread asks: no event after the stop.
  desk::RemoveClipboardFormatListener(hwnd);
  if (thread == desk::GetCurrentThreadId()) {
    desk::DestroyWindow(hwnd);
  } else {
    // Served by the window's thread; 0 at once when that thread or the window is gone.
    desk::SendMessage(hwnd, stopMessage(), 0, 0);
  }
}

bool isClipboardMonitorRunning() {
  std::lock_guard<std::mutex> lock(recordMutex());
  return ClipboardMonitor::instance().window != nullptr;
}

desk::LRESULT clipboardMonitorWndProc(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                                      desk::LPARAM lParam) {
  if (message == desk::WM_NCCREATE) {
    const auto* create = reinterpret_cast<const desk::CREATESTRUCT*>(lParam);
    desk::SetWindowLongPtr(hwnd, desk::GWLP_USERDATA,
                           reinterpret_cast<desk::LONG_PTR>(create->lpCreateParams));
    return desk::DefWindowProc(hwnd, message, wParam, lParam);
  }
  if (message == stopMessage()) {
    destroyOnOwnThread(hwnd);
    return 0;
  }
  auto* record = reinterpret_cast<ClipboardMonitor*>(desk::GetWindowLongPtr(hwnd, desk::GWLP_USERDATA));
  if (record == nullptr || message != desk::WM_CLIPBOARDUPDATE) {
    return desk::DefWindowProc(hwnd, message, wParam, lParam);
  }
  return notifyClipboardChanged(record, message);
}

desk::LRESULT notifyClipboardChanged(ClipboardMonitor* monitor, desk::UINT message) {
  (void)monitor;
  if (message != desk::WM_CLIPBOARDUPDATE) return 0;
  // A change posted before a stop may still arrive: a stopped listener says nothing.
  if (!isClipboardMonitorRunning()) return 0;
  const std::string payload = nlohmann::json{{"type", classifyClipboard()}}.dump();
  try {
    if (auto app = zrk::App::instance()) app->emit("zrk://clipboard-changed", payload, "", "");
  } catch (...) {
    // The page event is lost; the listener keeps running.
  }
  return 0;
}

}  // namespace zrk::plugin
