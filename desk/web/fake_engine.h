// An in-process engine for unit tests: scripted and deterministic.
//
// The test raises what a browser would (requests with any method, URL, headers and body,
// navigation, title and page-message events, a dead browser) and reads back what the owner did
// (replies and the thread each came from, navigations, scripts, bounds, settings ...). Every event
// and completion goes through the owner's executor, as with the real engine. Any single call can
// be made to fail, and the engine can drop a paused request on its side.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "desk/web/engine.h"

namespace desk::web {

// The calls a test can make fail (the next one of its kind fails, once per `failNext`).
enum class FakeCall {
  createEnvironment,
  createWebview,
  setBounds,
  setDeviceScaleFactor,
  setZoomFactor,
  setBackgroundColor,
  setVisible,
  close,
  setSettings,
  addRequestFilter,
  navigate,
  navigateToString,
  addScript,
  removeScript,
  executeScript,
  postWebMessage,
  getRequest,    // the raised event cannot give its request
  getDeferral,   // the raised event cannot give its deferral
  complete,      // the deferral's complete fails (the request is failed)
  printToPdf,    // the call itself is refused
};

// What became of one raised request.
class FakeRequestRecord {
 public:
  enum class State {
    pending,   // still paused
    answered,  // complete() with a status other than 0
    failed,    // fail(), complete() with status 0, or a failing complete
    dropped,   // the deferral was released without a reply: the request was failed
    lost,      // ended on the engine's side (webview closed, browser died, dropDeferral)
  };
  State state() const;
  // The reply as the engine passed it on (after sanitising); valid once answered.
  Response response() const;
  // The thread that answered, failed or dropped it.
  std::thread::id thread() const;
  const Request& request() const { return request_; }

 private:
  friend class FakeWebview;
  friend class FakeDeferral;
  explicit FakeRequestRecord(Request r) : request_(std::move(r)) {}
  bool settle(State s, const Response* response);
  Request request_;
  mutable std::mutex mutex_;
  State state_ = State::pending;
  Response response_;
  std::thread::id thread_;
};

// What the owner's navigation-starting handler decided (raised navigations only).
struct FakeNavigationRecord {
  enum class State { pending, allowed, cancelled, lost };
  std::atomic<State> state{State::pending};
  uint64_t navigationId = 0;
  std::string url;
};

// The menu as the owner left it; `shown` is false when it set `handled` (no menu at all).
struct FakeMenuRecord {
  std::atomic<bool> done{false};
  bool shown = true;
  std::vector<ContextMenuItem> items;
};

// How a raised script dialog was answered.
class FakeDialogRecord {
 public:
  enum class State {
    pending,
    accepted,
    dismissed,
    defaulted,  // nobody answered: the engine's own answer
    lost,       // the webview closed first
  };
  State state() const;
  std::string text() const;             // a prompt's answer
  std::thread::id thread() const;       // where it was answered
  bool defaultAccepted() const;         // what the engine's own answer was (for `defaulted`)

 private:
  friend class FakeWebview;
  friend class FakeDialogDeferral;
  bool settle(State s, const std::string& text);
  mutable std::mutex mutex_;
  State state_ = State::pending;
  std::string text_;
  std::thread::id thread_;
  bool defaultAccepted_ = false;
};

class FakeEngine;

class FakeWebview final : public Webview, public std::enable_shared_from_this<FakeWebview> {
 public:
  // --- test side ---
  // Raises resource-requested for a request that passes a filter; a request whose host no filter
  // names is not raised and gives null.
  std::shared_ptr<FakeRequestRecord> raiseRequest(Request request);
  // A top-frame navigation starts; the record tells what the owner decided. A navigation to a
  // scheme the engine does not load over the network cannot be cancelled (`cancellable` false).
  std::shared_ptr<FakeNavigationRecord> raiseNavigationStarting(const std::string& url, bool cancellable = true);
  // A request made by one of the page's workers: it reaches this webview like the page's own.
  std::shared_ptr<FakeRequestRecord> raiseWorkerRequest(Request request) { return raiseRequest(std::move(request)); }
  std::shared_ptr<FakeMenuRecord> raiseContextMenu(ContextMenuRequested menu);
  std::shared_ptr<FakeDialogRecord> raiseScriptDialog(ScriptDialogKind kind, const std::string& message,
                                                      const std::string& defaultText = "");
  // Each call the owner made on this webview, with the thread it came from, in order.
  std::vector<std::pair<std::string, std::thread::id>> calls() const;
  void raiseNavigationCompleted(bool success, const std::string& url, const std::string& errorText = "");
  void raiseTitleChanged(const std::string& title);
  void raiseWebMessageJson(const std::string& json);
  void raiseWebMessageString(const std::string& text);
  // The engine ends a paused request itself; a later complete() answers `closed`.
  void dropDeferral(const std::shared_ptr<FakeRequestRecord>& record);
  // How scripts evaluate: the runner gives the JSON result ("null" without a runner).
  void setScriptRunner(std::function<std::string(const std::string& script)> runner);
  // While held, script results wait; releasing sends the waiting ones on, in order.
  void holdScriptResults(bool hold);
  // How the next prints to PDF end (ok by default: a small PDF is written to the path).
  void setPrintResult(Result result);
  // The settings and path of each print to PDF, in order.
  std::vector<std::pair<PdfSettings, std::string>> pdfPrints() const;

  std::vector<std::string> navigations() const;          // URLs, and "html:" + text for strings
  std::vector<std::pair<std::string, std::string>> documentScripts() const;  // (id, script), in order
  std::vector<std::string> executedScripts() const;
  std::vector<std::string> postedMessages() const;       // "json:" / "string:" + payload
  std::vector<std::string> requestFilters() const;
  std::vector<std::shared_ptr<FakeRequestRecord>> requests() const;
  size_t pendingRequests() const;

  // --- engine interface ---
  Result setBounds(Rect bounds) override;
  Rect bounds() const override;
  Result setDeviceScaleFactor(double scale) override;
  double deviceScaleFactor() const override;
  Result setZoomFactor(double zoom) override;
  double zoomFactor() const override;
  Result setBackgroundColor(Color color) override;
  Color backgroundColor() const override;
  Result setVisible(bool visible) override;
  bool visible() const override;
  Result close() override;
  bool closed() const override;

  void setEvents(WebviewEvents events) override;
  Settings settings() const override;
  Result setSettings(const Settings& settings) override;
  Result addRequestFilter(const std::string& host) override;
  Result navigate(const std::string& url) override;
  Result navigateToString(const std::string& html) override;
  std::string source() const override;
  std::string documentTitle() const override;
  Result addScriptOnDocumentCreated(const std::string& script,
                                    std::function<void(Result, const std::string& id)> done) override;
  Result removeScriptOnDocumentCreated(const std::string& id) override;
  Result executeScript(const std::string& script,
                       std::function<void(Result, const std::string& json)> done) override;
  Result postWebMessageAsJson(const std::string& json) override;
  Result postWebMessageAsString(const std::string& text) override;
  Result printToPdf(const PdfSettings& settings, const std::string& path,
                    std::function<void(Result, const std::string& error)> done) override;

  FakeWebview(std::shared_ptr<FakeEngine> engine, Executor executor);

 private:
  friend class FakeEngine;
  bool shouldFail(FakeCall call);
  void note(const char* call) const;
  // Posts a handler call; it runs only while the webview is open.
  void deliver(std::function<void(const WebviewEvents&)> call);
  void endAll(FakeRequestRecord::State state, const std::string& processFailure);

  std::weak_ptr<FakeEngine> engine_;
  Executor executor_;
  mutable std::mutex mutex_;
  WebviewEvents events_;
  bool closed_ = false;
  Rect bounds_;
  double scale_ = 1.0;
  double zoom_ = 1.0;
  Color background_;
  bool visible_ = true;
  Settings settings_;
  std::vector<std::string> filters_;
  std::string source_ = "about:blank";
  std::string title_;
  std::vector<std::string> navigations_;
  std::vector<std::pair<std::string, std::string>> scripts_;
  uint64_t nextScriptId_ = 1;
  uint64_t nextNavigationId_ = 1;
  std::vector<std::string> executed_;
  std::vector<std::string> posted_;
  std::function<std::string(const std::string&)> runner_;
  bool holdScripts_ = false;
  std::vector<std::function<void()>> heldScripts_;
  std::vector<std::shared_ptr<FakeRequestRecord>> requests_;
  std::vector<std::shared_ptr<FakeDialogRecord>> dialogs_;
  Result printResult_ = Result::ok;
  std::vector<std::pair<PdfSettings, std::string>> pdfPrints_;
  mutable std::mutex callsMutex_;
  mutable std::vector<std::pair<std::string, std::thread::id>> calls_;
};

class FakeEnvironment;

class FakeEngine final : public Engine, public std::enable_shared_from_this<FakeEngine> {
 public:
  static std::shared_ptr<FakeEngine> create();

  void createEnvironment(EnvironmentOptions options, Executor executor,
                         EnvironmentCompletion done) override;

  // The next call of that kind fails (calls accumulate: failNext twice fails two calls).
  void failNext(FakeCall call);
  // The browser dies: every webview fails its paused requests and reports it, and every
  // environment reports it.
  void killBrowser();

  std::vector<std::shared_ptr<FakeWebview>> webviews() const;
  std::vector<EnvironmentOptions> environments() const;

 private:
  friend class FakeWebview;
  friend class FakeEnvironment;
  friend class FakeDeferral;
  FakeEngine() = default;
  bool consumeFailure(FakeCall call);
  mutable std::mutex mutex_;
  std::map<FakeCall, int> failures_;
  std::vector<std::weak_ptr<FakeWebview>> webviews_;
  std::vector<std::weak_ptr<FakeEnvironment>> envs_;
  std::vector<EnvironmentOptions> options_;
};

}  // namespace desk::web
