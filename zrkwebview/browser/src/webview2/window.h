// The native window of the framework: one top-level window of the platform layer hosting the
// webviews of one zrk::Window. Creation and teardown, the window procedure, the window operations
// and the factories that make windows and further webviews.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "desk/types.h"
#include "desk/window.h"
#include "vesk/tnotification.h"
#include "zrkwebview/browser/src/webview.h"
#include "zrkwebview/browser/src/window-options.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk {

class WindowAnimator;
class WindowFrameAutosave;

// The window class names (their casing is the classes' registered name).
inline constexpr char16_t kWindowClassName[] = u"_zrkWindowCLass";
inline constexpr char16_t kRoundedWindowClassName[] = u"_zrkRoundedWindowCLass";
// The caption of a window whose options carry no title.
inline constexpr char kDefaultWindowTitle[] = "ZRKUI Window";
// Window properties: set on every framework window; the parent's handle; set while modal.
inline constexpr char kWindowBrowserProp[] = "kszWindowBrowser";
inline constexpr char kParentWindowProp[] = "kszParentWindow";
inline constexpr char kIsModalProp[] = "kszIsModal";
// Sent once by create: the window makes its main webview.
constexpr desk::UINT kCreateMainWebviewMessage = 0x0400 + 101;
// Posted by runOnWindowThread; wParam owns a heap-allocated std::function<void()>.
constexpr desk::UINT kRunOnWindowThreadMessage = 0x8100;
// The label of a window's first webview.
inline constexpr char kMainWebviewLabel[] = "main_webview";

class WinWindow : public Window {
 public:
  WinWindow();
  ~WinWindow() override;

  // The window procedure's work for one message of this window.
  desk::LRESULT handleMessage(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                              desk::LPARAM lParam);

  // Makes the native window; 0 on success, -1 when the native window was not made, -3 without a
  // delegate. On the UI thread.
  int create(WindowDelegate* delegate, const std::string& url, WindowOptions options) override;
  // Creates the first webview ("main_webview"); run on kCreateMainWebviewMessage.
  void createMainWebview();

  // Notification handlers.
  void onWebviewClosed(const std::shared_ptr<Vesk::TNotification>& notification);
  void onCommand(const std::shared_ptr<Vesk::TNotification>& notification);
  void onWebviewLoaded(const std::shared_ptr<Vesk::TNotification>& notification);
  void onTitleChanged(const std::shared_ptr<Vesk::TNotification>& notification);
  void removeObservers();
  // Posts kWindowResizedNotification for this window.
  void postResized();

  // Attaches the placement autosave once (only with an identifier), restoring a saved placement.
  void attachFrameAutosave();

  // Whether the window is a frameless window with rounded corners.
  bool isRoundedFrameless() const;

  // ---- window operations
  bool isUIThread() override;
  void show(int command) override;
  bool isVisible() override;
  bool isClosable() override;
  bool isMinimizable() override;
  bool isMaximizable() override;
  bool isResizable() override;
  bool isMaximized() override;
  void setMaximized(bool maximized) override;
  bool isMinimized() override;
  bool isRestored() override;
  bool hasTitleBar() override;
  double scaleFactor() override;
  double deviceScaleFactor() override;
  void center(bool toScreen) override;
  void centerToParent() override;
  void setMaxSize(FloatSize size) override;
  void setMinSize(FloatSize size) override;
  FloatSize maxSize() const { return maxSize_.load(); }
  FloatSize minSize() const { return minSize_.load(); }
  void setTitle(const std::string& title) override;

  // Centres the window in the work area of the reference window's monitor (its own without one).
  void centerInWorkArea(desk::HWND reference);
  // The parent: the stored parent property, else the native parent, else the owner.
  desk::HWND findParentHandle();

  bool darkTheme() const { return darkTheme_; }

 protected:
  bool darkTheme_ = false;
  std::atomic<bool> forcedClose_{false};
  double lastScaleFactor_ = 1.0;
  std::shared_ptr<Vesk::TNotificationCenter::Handler> webviewClosedHandler_;
  std::shared_ptr<Vesk::TNotificationCenter::Handler> commandHandler_;
  std::shared_ptr<Vesk::TNotificationCenter::Handler> loadedHandler_;
  std::shared_ptr<Vesk::TNotificationCenter::Handler> titleHandler_;
  std::optional<FloatPoint> pendingPosition_;
  std::optional<FloatSize> pendingSize_;
  std::atomic<FloatSize> maxSize_{FloatSize{}};
  std::atomic<FloatSize> minSize_{FloatSize{}};
  std::atomic<bool> fullscreen_{false};
  std::atomic<bool> enteringFullscreen_{false};
  desk::WINDOWPLACEMENT savedPlacement_{};
  std::mutex savedPlacementMutex_;
  std::atomic<bool> closing_{false};
  desk::DWORD creatorThread_ = 0;
  int lastSizeType_ = 0;
  std::shared_ptr<WindowFrameAutosave> frameAutosave_;
  WindowAnimator* animator_ = nullptr;
};

// Registers the window classes once per process; returns the class name either way.
const char16_t* registerWindowClass(int iconId);
const char16_t* registerRoundedWindowClass();
desk::LRESULT windowProc(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                         desk::LPARAM lParam);
desk::LRESULT roundedWindowProc(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                                desk::LPARAM lParam);

// Makes, labels, creates and lists a window on the UI thread (waiting for it from another
// thread). The label wanted is taken when no window has it, else a generated one. Empty when
// creation failed.
std::shared_ptr<Window> createWindow(WindowDelegate* app, const std::string& label,
                                     const std::string& url, WindowOptions options);

// Makes a further webview in the window of that label (on the UI thread); empty when there is
// no such window or no webview was made.
std::shared_ptr<Webview> createWebviewInWindow(const std::string& windowLabel,
                                               const std::string& webviewLabel,
                                               WebviewOptions options);

}  // namespace zrk
