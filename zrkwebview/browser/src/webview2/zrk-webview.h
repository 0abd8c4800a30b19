// The webview on the browser engine (desk::web): one page in a child window of its zrk::Window.
//
// One engine environment serves the whole process; `createWebview` is the process-wide webview
// maker. Engine calls are made on the UI thread only: calls from other threads hop there through
// the dispatch main queue, and every engine event and completion arrives there.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "desk/types.h"
#include "desk/web/engine.h"
#include "zrkwebview/browser/src/page-input/drop-target.h"
#include "vesk/tnotification.h"
#include "zrkwebview/browser/src/webview.h"

namespace desk {
class PrintJobSpooler;
}

namespace zrk {

class RequestDispatch;
class ZrkWebview;

// The class name of each webview's own child window, where the page's content is shown.
inline constexpr char16_t kBrowserContentClass[] = u"Chrome_WidgetWin_0";
// The arguments every browser of the program starts with, before the application's own.
inline constexpr char kBaseBrowserArguments[] =
    "--disable-web-security --disable-features=msWebOOUI,msPdfOOUI,msSmartScreenProtection";

// The engine later environments are made from: a test's FakeEngine, or null for Chromium. The
// environment made before is let go (a webview keeps its own while it lives).
void setWebEngine(std::shared_ptr<desk::web::Engine> engine);
// The environment of the process, when one is ready (for tests and benchmarks).
std::shared_ptr<desk::web::Environment> currentWebEnvironment();

// Makes a webview of `window` and starts its creation; see ZrkWebview::create. A window that is
// gone gives std::bad_weak_ptr, as with any webview.
std::shared_ptr<Webview> createWebview(const std::string& label, Window* window, const WebviewOptions& options,
                                       Webview::CreateCompletion completion);
// Installs createWebview as the process's webview maker.
void installZrkWebviewMaker();

// The three colour packings in use, each with its helper.
desk::web::Color colorFromAbgr(uint32_t aabbggrr);  // the options' background colour
desk::web::Color colorFromRgb(uint32_t rrggbb);     // setBackgroundColor (always opaque)
uint32_t argbFromColor(const desk::web::Color& color);  // backgroundColor

// The error page shown for a failed navigation: the window's error message in the page
// template, the failed URL in place of every "%URL%", escaped for script and for HTML.
std::string makeErrorPage(const std::string& errorMessage, const std::string& failedUrl);

// Replacements tests may put in for the webview's own handling; each runs on the UI thread.
// Empty (the default): the webview's own drop zones, printing and script dialogs.
struct ZrkWebviewHooks {
  // A navigation starts: the page's drop zones and their listeners go.
  std::function<void(ZrkWebview&)> clearDropZones;
  // "add_dropzone" / "remove_dropzone".
  std::function<void(ZrkWebview&, const std::string& command, const std::optional<nlohmann::json>& payload)>
      dropZoneCommand;
  // Printing with the page's options.
  std::function<void(ZrkWebview&, const nlohmann::json& options)> print;
  // Presents a script dialog and answers the deferral.
  std::function<void(const std::shared_ptr<ZrkWebview>&, desk::HWND owner, const desk::web::ScriptDialogOpening&,
                     std::shared_ptr<desk::web::ScriptDialogDeferral>)>
      scriptDialog;
};
ZrkWebviewHooks& zrkWebviewHooks();

class ZrkWebview : public Webview {
  VESK_DECLARE_CLASS(ZrkWebview, Webview, "zrk")

 public:
  // Made under shared ownership, with its request dispatch.
  static std::shared_ptr<ZrkWebview> make(const std::string& label, Window* window);
  ZrkWebview(const std::string& label, Window* window);
  ~ZrkWebview() override;

  // Stores the options and the placement, follows the window's size, and starts the engine
  // side. The completion runs once, on the UI thread, whatever happens: (webview, ok), or
  // (null, false) when the webview is gone by then. False when the window is gone.
  bool create(const WebviewOptions& options, CreateCompletion completion) override;

  void navigate(const std::string& url) override;
  bool addScriptOnDocumentCreated(const std::string& script, ScriptIdCallback callback) override;
  // 0 handed over, -1 refused (or the UI thread never ran it), -3 not created yet. The
  // completion is called once in every case.
  int evaluateScript(const std::string& script, EvalCompletion completion, bool flag) override;
  // Runs the script and waits (pumping the thread's messages) at most 3000 ms on the platform
  // clock; the result's JSON text, or "" on failure and time-out.
  std::string evaluateScriptSync(const std::string& script);
  void print(const nlohmann::json& options) override;
  void runCommand(const std::string& command, const std::optional<nlohmann::json>& payload) override;
  void close() override;
  void handleWebMessage(const std::string& message) override;
  void cancelRequests(const std::vector<std::string>& urls) override;
  void cancelAllRequests() override;

  FloatPoint position() override;
  void setPosition(FloatPoint position) override;
  FloatSize size() override;
  void setSize(FloatSize size) override;
  void setZoomControlEnabled(bool enabled) override;
  bool isZoomControlEnabled() override;
  double setZoomFactor(double factor) override;
  void setDevToolsEnabled(bool enabled) override;
  bool isDevToolsEnabled() override;
  void showDevTools() override;
  void closeDevTools() override {}
  bool isDevToolsVisible() override { return false; }
  void focus() override;
  void setBackgroundColor(uint32_t rrggbb) override;
  uint32_t backgroundColor() override;
  desk::HWND browserWindowHandle() override;
  desk::HWND findBrowserContentWindow();

  // Printing with the page's options (UI thread); the outcome goes to the options' "handler".
  void printWithSettings(const nlohmann::json& options);
  // A navigation starts: every drop zone and the page's "zrk://dropzone" listeners go.
  void clearDropZones();
  // Whether the client point (physical pixels of the content window) lies inside the first
  // element matching the selector; every failure answers false. UI thread.
  bool testElementAtPoint(desk::POINT point, const std::string& selector);
  // Raises "zrk://dropzone" with the paths, the accepting zones and the point in page pixels.
  void emitDropEvent(const std::string& label, const std::vector<std::string>& paths,
                     const std::vector<std::string>& targets, desk::POINT point);
  // The drop target on the content window; null before creation completes.
  std::shared_ptr<CDropTarget> dropTarget() const;

  // Sets the view's bounds from the window's inner area and the resizing rules, and its scale
  // from the window's device scale factor. UI thread; nothing before creation or without window.
  void applyAutoResizing();

  const WebviewOptions& options() const { return options_; }
  std::shared_ptr<RequestDispatch> requestDispatch() const { return dispatch_; }
  // The engine's view, null before creation completes.
  std::shared_ptr<desk::web::Webview> engineView() const;
  bool closing() const { return closing_; }

 private:
  using Completion = std::shared_ptr<struct CreateOnce>;
  void observeWindowResize(Window& window);
  void onEnvironmentReady(std::shared_ptr<desk::web::Environment> environment, Completion completion);
  void onControllerCreated(desk::web::Result result, std::shared_ptr<desk::web::Webview> view, Completion completion);
  void setUpController(bool ok, Completion completion);
  desk::web::WebviewEvents makeEvents();
  void navigationStarting(desk::web::NavigationStarting& start);
  void navigationCompleted(const desk::web::NavigationCompleted& done);
  void scriptDialogOpening(desk::web::ScriptDialogOpening& opening);
  bool programUrl(const std::string& url) const;
  void closeOnUiThread();
  void presentScriptDialog(const desk::web::ScriptDialogOpening& opening,
                           std::shared_ptr<desk::web::ScriptDialogDeferral> deferral);
  // Answers every open script dialog as cancelled (closing, navigating).
  void dismissScriptDialogs();
  void watchPrintJob(std::shared_ptr<desk::PrintJobSpooler> spooler, const std::string& printer, int jobId,
                     std::function<void(const nlohmann::json&)> send);

  WebviewOptions options_;
  std::shared_ptr<RequestDispatch> dispatch_;
  std::shared_ptr<desk::web::Environment> environment_;
  std::shared_ptr<desk::web::Webview> view_;  // UI thread
  desk::HWND content_ = nullptr;              // the child window, UI thread
  std::shared_ptr<Vesk::TNotificationCenter::Handler> resizeHandler_;
  mutable std::mutex dropMutex_;
  std::shared_ptr<CDropTarget> dropTarget_;    // under dropMutex_
  std::vector<desk::HWND> scriptDialogs_;      // open script dialogs, UI thread
  void* observedWindow_ = nullptr;
  std::atomic<bool> closing_{false};
  bool closed_ = false;
  float frameX_ = 0, frameY_ = 0, frameWidth_ = 0, frameHeight_ = 0, rightMargin_ = 0, bottomMargin_ = 0;
  std::optional<float> leftRatio_, rightRatio_, topRatio_, bottomRatio_;
};

}  // namespace zrk
