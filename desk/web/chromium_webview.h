// A webview of the Chromium engine: one page target attached as a flattened session.
//
// Its events come from the reader thread (`onEvent`); everything the owner sees goes through the
// environment's executor. A paused request is answered over DevTools (`Fetch.fulfillRequest`) or,
// when its body is large, or its path is marked as large-content and it has a body, sent on to
// the loopback server and answered there. A request to a large-content path without a body is
// answered first: a reply of at most `kInlineReplyLimit` bytes goes over DevTools, a larger one is
// handed to the loopback server and the request sent on to it. The owner gets the same request
// and deferral on every road.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "desk/web/app_window.h"
#include "desk/web/devtools_pipe.h"
#include "desk/web/engine.h"

namespace desk::web {

class EnvironmentImpl;

// Why a page ended when the browser closed it (its window was closed).
inline constexpr const char* kClosedByBrowser = "the page was closed by the browser";

// One paused request: answered once, by its deferral or by the engine when it ends it.
struct Paused {
  std::string requestId;
  std::string sessionId;
  std::atomic<bool> done{false};
  std::atomic<Result> endedWith{Result::failed};
  // Claims the right to end the request; false when it had ended already.
  bool claim() { return !done.exchange(true); }
};

class WebviewImpl final : public Webview, public std::enable_shared_from_this<WebviewImpl> {
 public:
  WebviewImpl(std::shared_ptr<EnvironmentImpl> env, std::string targetId, std::string sessionId);

  // The commands that set a new page up, in order; the webview is ready once all have answered.
  static std::vector<std::pair<std::string, devtools::json>> setupCommands();
  ~WebviewImpl() override { close(); }

  // The browser window the page is shown in, when the browser shows windows (set before use).
  void setAppWindow(std::shared_ptr<AppWindow> window) { appWindow_ = std::move(window); }
  const std::shared_ptr<AppWindow>& appWindow() const { return appWindow_; }

  const std::string& sessionId() const { return sessionId_; }
  const std::string& targetId() const { return targetId_; }

  // Reader thread. `sessionId` is the page's own session or one of its child targets' (workers,
  // frames in other processes).
  void onEvent(const std::string& method, const devtools::json& params, const std::string& sessionId);
  void onTitle(const std::string& title);
  // The page or the browser ended (not by the owner).
  void died(Result why, const std::string& reason);

  // Controller.
  Result setBounds(Rect bounds) override;
  Rect bounds() const override { return lockedGet(bounds_); }
  Result setDeviceScaleFactor(double scale) override;
  double deviceScaleFactor() const override { return lockedGet(scale_); }
  Result setZoomFactor(double zoom) override;
  double zoomFactor() const override { return lockedGet(zoom_); }
  Result setBackgroundColor(Color color) override;
  Color backgroundColor() const override { return lockedGet(background_); }
  Result setVisible(bool visible) override;
  bool visible() const override { return lockedGet(visible_); }
  Result close() override;
  bool closed() const override {
    std::lock_guard lock(mutex_);
    return ownerClosed_ || dead_;
  }

  // Core.
  void setEvents(WebviewEvents events) override {
    std::lock_guard lock(mutex_);
    events_ = std::move(events);
  }
  Settings settings() const override { return lockedGet(settings_); }
  Result setSettings(const Settings& settings) override;
  Result addRequestFilter(const std::string& host) override;
  Result navigate(const std::string& url) override;
  Result navigateToString(const std::string& html) override;
  std::string source() const override { return lockedGet(source_); }
  std::string documentTitle() const override { return lockedGet(title_); }
  Result addScriptOnDocumentCreated(const std::string& script,
                                    std::function<void(Result, const std::string&)> done) override;
  Result removeScriptOnDocumentCreated(const std::string& id) override;
  Result executeScript(const std::string& script,
                       std::function<void(Result, const std::string&)> done) override;
  Result postWebMessageAsJson(const std::string& json) override;
  Result postWebMessageAsString(const std::string& text) override;
  Result capturePng(std::function<void(Result, const std::string&)> done) override;

  Result printToPdf(const PdfSettings& settings, const std::string& path,
                    std::function<void(Result, const std::string& error)> done) override;

  // Ends a paused request on the engine's side (reader or owner thread).
  void endPaused(const std::shared_ptr<Paused>& p, Result why);
  void forgetPaused(const std::string& requestId) {
    std::lock_guard lock(mutex_);
    paused_.erase(requestId);
  }

 private:
  template <typename T>
  T lockedGet(const T& field) const {
    std::lock_guard lock(mutex_);
    return field;
  }
  // Fails when the webview cannot take commands.
  Result usable() const;
  // Sends a command whose outcome the owner waits for: `finish` runs through the executor once,
  // with the reply, or with closed / browserGone when the page or browser went first.
  void call(const std::string& method, devtools::json params,
            std::function<void(Result, const devtools::json& result)> finish);
  void deliver(std::function<void(const WebviewEvents&)> fn);
  void applyMetrics();
  void sendFilters();
  // The request-stage patterns: the filtered hosts, plus top-frame documents on the page itself.
  devtools::json filterPatterns(bool page) const;
  bool hostFiltered(const std::string& url) const;
  void onRequestPaused(const devtools::json& params, const std::string& sessionId);
  // Whether a paused request goes on to the loopback server before the owner sees it: its body
  // is not in the message, or it has one and its path is large-content.
  bool sendsOnLoopback(const Request& request, bool bodyMissing) const;
  // The group a large reply to the request goes to the loopback server under (0: none, the
  // reply goes over DevTools whatever its size).
  uint64_t largeReplyGroup(const Request& request) const;
  // Hands a paused request to the owner (or to the loopback road).
  void answerPaused(const std::shared_ptr<Paused>& paused, Request request, bool bodyMissing);
  // A top-frame document: the owner's navigation-starting handler decides whether it goes on.
  void startNavigation(const std::shared_ptr<Paused>& paused, Request request, bool bodyMissing);
  // A worker or frame target attached under this page (or under one of its children): its
  // requests get the same patterns, its own children are attached too, then it runs.
  void attachChild(const devtools::json& params);
  void onScriptDialog(const devtools::json& params);
  // Sends a paused request on to the loopback server, where it is answered.
  void redirect(const std::shared_ptr<Paused>& paused, Request request);
  // Hands a request and its deferral to the webview's owner, through the executor.
  static void raise(const Executor& executor, std::weak_ptr<WebviewImpl> weak, Request request,
                    std::shared_ptr<Deferral> deferral);
  void endEverything(Result why);
  // Tells the display host the window is gone (once).
  void windowGone();
  // Reads the next piece of a printed PDF's stream into its file (owner thread).
  void readPdfStream(const std::shared_ptr<struct PdfTransfer>& transfer);

  std::shared_ptr<EnvironmentImpl> env_;
  const std::string targetId_;
  const std::string sessionId_;
  uint64_t group_ = 0;
  std::shared_ptr<AppWindow> appWindow_;
  std::atomic<bool> windowGone_{false};  // names this webview's transfers on the loopback server

  mutable std::mutex mutex_;
  WebviewEvents events_;
  bool ownerClosed_ = false;
  bool dead_ = false;
  Rect bounds_;
  double scale_ = 1.0;
  double zoom_ = 1.0;
  Color background_;
  bool visible_ = true;
  Settings settings_;
  std::vector<std::string> filters_;
  std::string source_ = "about:blank";
  std::string title_;
  uint64_t navigationId_ = 0;
  std::string failedUrl_;
  std::string navigationError_;
  std::map<std::string, std::weak_ptr<Paused>> paused_;
  std::map<uint64_t, std::function<void(Result, const devtools::json&)>> calls_;
  std::vector<std::string> children_;  // child sessions
  uint64_t announced_ = 0;             // the last navigation id raised as starting
  uint64_t nextCall_ = 1;
};

}  // namespace desk::web
