// The Chromium environment inside the engine: one browser process, its DevTools pipe, its
// loopback server and its webviews. Shared by chromium_engine.cpp and chromium_webview.cpp.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "desk/web/app_window.h"
#include "desk/web/browser_process.h"
#include "desk/web/chromium_engine.h"
#include "desk/web/devtools_pipe.h"
#include "desk/web/loopback_transfer.h"

namespace desk::web {

class WebviewImpl;
class ChromiumAppWindow;

class EnvironmentImpl final : public ChromiumEnvironment,
                              public std::enable_shared_from_this<EnvironmentImpl> {
 public:
  EnvironmentImpl(EnvironmentOptions options, Executor executor)
      : options_(std::move(options)), executor_(std::move(executor)), host_(appWindowHost()) {}
  ~EnvironmentImpl() override;

  void start(EnvironmentCompletion done);

  // Sends a command; the continuation runs on the reader thread (or the sender's when the
  // browser is gone) exactly once. It must only post to the executor or send further commands.
  void send(const std::string& method, devtools::json params, const std::string& sessionId,
            devtools::Continuation k) {
    pipe_.send(method, std::move(params), sessionId, std::move(k));
  }
  void sendText(const std::string& method, const std::string& params, const std::string& sessionId,
                devtools::Continuation k) {
    pipe_.sendText(method, params, sessionId, std::move(k));
  }
  void post(std::function<void()> work) { executor_(std::move(work)); }
  const Executor& executor() const { return executor_; }

  void createWebview(std::function<void(Result, std::shared_ptr<Webview>)> done) override;
  void setBrowserExitedHandler(std::function<void(const std::string&)> handler) override {
    std::lock_guard lock(mutex_);
    exitedHandler_ = std::move(handler);
  }
  bool browserAlive() const override { return alive_; }
  std::string browserVersion() const override {
    std::lock_guard lock(mutex_);
    return version_;
  }
  Result addLargeContentPath(const std::string& prefix) override;
  int browserProcessId() const override { return alive_ ? process_.pid() : 0; }
  int loopbackPort() const override { return loopback_.port(); }
  size_t loopbackTransfers() const override { return loopback_.activeTransfers(); }
  uint64_t loopbackRefusals() const override { return loopback_.refusals(); }
  uint64_t loopbackServed() const override { return loopback_.served(); }
  uint64_t loopbackConnections() const override { return loopback_.connections(); }
  void close() override;

  void forgetWebview(const std::string& sessionId, const std::string& targetId);
  // A child target's session (a worker, a frame in another process) belongs to a page.
  void adoptChild(const std::string& sessionId, const std::string& pageSession,
                  std::weak_ptr<WebviewImpl> page);
  void forgetChild(const std::string& sessionId);
  // The browser-wide request filter sees what no page's filter does: the scripts and requests
  // of workers started by workers. Each host any webview filters is added.
  void addBrowserFilter(const std::string& host);
  // The display host when the browser shows windows (null: headless).
  const std::shared_ptr<AppWindowHost>& host() const { return host_; }
  Result goneResult() const { return closing_ ? Result::closed : Result::browserGone; }
  LoopbackServer& loopback() { return loopback_; }
  // Whether the url's path starts with a prefix marked as large-content.
  bool largeContent(const std::string& url) const;

 private:
  void readerMain(EnvironmentCompletion done);
  void onEvent(const std::string& method, const devtools::json& params, const std::string& sessionId);
  void onBrowserRequestPaused(const devtools::json& params);
  void browserEnded();
  using WebviewDone = std::function<void(Result, std::shared_ptr<Webview>)>;
  // Sets an attached page up as a webview and hands it over once ready.
  void setUpWebview(const std::string& targetId, const std::string& session, WebviewDone done,
                    std::shared_ptr<ChromiumAppWindow> window);
  // With windows: a page attached by the browser-wide auto-attach; pairing waiting requests with
  // attached pages, and opening one more window from a page that has one.
  void windowAttached(const devtools::json& params);
  void pairWindows();
  // Fails every request waiting for a window, and says why on stderr.
  void failWaiting(const std::string& why);

  EnvironmentOptions options_;
  Executor executor_;
  mutable std::mutex mutex_;
  std::map<std::string, std::weak_ptr<WebviewImpl>> sessions_;  // by session id
  std::map<std::string, std::string> targets_;                   // target id -> session id
  struct Child {
    std::string pageSession;
    std::weak_ptr<WebviewImpl> page;
  };
  std::map<std::string, Child> children_;  // by child session
  std::map<std::string, std::string> nestedWorkers_;  // worker target -> the page frame it serves
  std::vector<std::string> browserHosts_;
  std::function<void(const std::string&)> exitedHandler_;
  std::string version_;
  std::vector<std::string> largePaths_;  // lower case

  std::shared_ptr<AppWindowHost> host_;
  struct Spare {
    std::string targetId;
    std::string sessionId;
  };
  std::deque<WebviewDone> waiting_;  // createWebview calls waiting for a window
  std::deque<Spare> spares_;         // windows attached but not yet asked for
  bool opening_ = false;             // a window.open is under way
  std::string openerTarget_;         // the page it was opened from
  uint64_t windowCount_ = 0;

  devtools::Pipe pipe_;
  BrowserProcess process_;
  LoopbackServer loopback_;
  std::thread reader_;
  std::atomic<bool> alive_{false};
  std::atomic<bool> closing_{false};
  std::atomic<bool> readerFinished_{false};
  std::mutex finishMutex_;
  std::condition_variable finishCv_;
};

}  // namespace desk::web
