#include "zrkwebview/browser/src/webview2/request-dispatch.h"

#include <algorithm>
#include <exception>
#include <utility>

#include <Poco/URI.h>

#include "desk/message.h"
#include "desk/thread.h"
#include "libdispatch/src/dispatch.h"
#include "vesk/log.h"
#include "zrkwebview/browser/src/http/request-router.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/webview.h"
#include "zrkwebview/browser/src/webview2/web-request.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk {

// One queued request. It ends exactly once, when it has run or when its queue drops it: the reply
// is handed over (or the request failed) and the pending entry removed.
struct RequestTask {
  RequestTask(std::weak_ptr<RequestDispatch> owner, std::weak_ptr<Webview> webview,
              std::shared_ptr<WebRequest> request, std::shared_ptr<WebResponse> response)
      : owner(std::move(owner)),
        webview(std::move(webview)),
        request(std::move(request)),
        response(std::move(response)) {}
  RequestTask(const RequestTask&) = delete;
  RequestTask& operator=(const RequestTask&) = delete;
  ~RequestTask() { end(); }

  void run() {
    try {
      if (auto view = webview.lock()) {
        if (auto delegate = view->delegate()) {
          delegate->handleRequest(request.get(), response.get());
        }
      }
    } catch (const std::exception& e) {
      ZRK_LOG_ERROR("request %s failed: %s", request->uri().c_str(), e.what());
    } catch (...) {
      ZRK_LOG_ERROR("request %s failed: %s", request->uri().c_str(), "unknown exception");
    }
    end();
  }

  void end() {
    if (!response) return;
    // Unanswered (no delegate, window or webview gone, nothing written): the request fails.
    std::shared_ptr<WebResponse> reply = std::move(response);
    try {
      reply->fail();
    } catch (...) {
    }
    reply.reset();
    if (auto dispatch = owner.lock()) dispatch->removePending(request.get());
  }

  std::weak_ptr<RequestDispatch> owner;
  std::weak_ptr<Webview> webview;
  std::shared_ptr<WebRequest> request;
  std::shared_ptr<WebResponse> response;
};

std::shared_ptr<RequestDispatch> RequestDispatch::create(std::weak_ptr<Webview> webview) {
  return std::shared_ptr<RequestDispatch>(new RequestDispatch(std::move(webview)));
}

RequestDispatch::RequestDispatch(std::weak_ptr<Webview> webview) : webview_(std::move(webview)) {}

void RequestDispatch::onResourceRequested(desk::web::ResourceRequestedEvent& event) {
  try {
    desk::web::Request request;
    if (!event.getRequest(request)) {
      ZRK_LOG_ERROR("a page request without its request was dropped");
      return;  // nobody takes the deferral: the engine fails the request
    }
    std::shared_ptr<desk::web::Deferral> deferral = event.getDeferral();
    if (!deferral) {
      ZRK_LOG_ERROR("a page request without its deferral was dropped: %s", request.url.c_str());
      return;
    }
    dispatch(std::make_shared<WebRequest>(std::move(request)),
             std::make_shared<WebResponse>(std::move(deferral)));
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("a page request could not be queued: %s", e.what());
  } catch (...) {
    ZRK_LOG_ERROR("a page request could not be queued: %s", "unknown exception");
  }
}

void RequestDispatch::dispatch(std::shared_ptr<WebRequest> request,
                               std::shared_ptr<WebResponse> response) {
  if (!request || !response) return;
  const std::string url = request->uri();
  auto fail = [&](const char* why) {
    ZRK_LOG_WARN("page request %s failed: %s", url.c_str(), why);
    response->fail();
  };
  if (closing_.load()) return fail("the webview is closing");
  auto view = webview_.lock();
  if (!view) return fail("the webview is gone");
  if (!view->delegate()) return fail("the webview has no delegate");
  auto window = view->window();
  if (!window || window->delegate() == nullptr) return fail("the window is gone");
  try {
    Poco::URI parsed(url);
    (void)parsed;
  } catch (...) {
    return fail("the URL does not parse");
  }
  const char* queueName =
      http::isPluginCall(url, window->delegate()->uriDomain()) ? kPluginRequestQueue : kHttpRequestQueue;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    pending_.push_back(request);
  }
  // From here the task owns the request's end: it runs, or its queue drops it, or queueing
  // fails; each way it fails what is left unanswered and removes the pending entry.
  auto task = std::make_shared<RequestTask>(weak_from_this(), webview_, std::move(request),
                                            std::move(response));
  view.reset();
  window.reset();
  try {
    dispatch_async(dispatch_create_queue(queueName), [task] { task->run(); });
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("page request %s could not be queued: %s", url.c_str(), e.what());
  }
}

void RequestDispatch::removePending(const WebRequest* request) {
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    auto it = std::find_if(pending_.begin(), pending_.end(),
                           [&](const auto& entry) { return entry.get() == request; });
    if (it == pending_.end()) return;
    pending_.erase(it);
  }
  // Wakes a drain waiting for this request.
  if (const uint32_t waiter = waitingThread_.load()) {
    desk::PostThreadMessage(waiter, desk::WM_NULL, 0, 0);
  }
}

size_t RequestDispatch::pendingCount() const {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  return pending_.size();
}

void RequestDispatch::cancelRequests(const std::vector<std::string>& urls) {
  if (urls.empty()) return;
  std::vector<std::shared_ptr<WebRequest>> snapshot;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    snapshot = pending_;
  }
  std::vector<std::pair<std::shared_ptr<WebRequest>, std::string>> requests;  // request, its path
  for (auto& request : snapshot) {
    std::string path;
    try {
      path = Poco::URI(request->uri()).getPath();
    } catch (...) {
    }
    requests.emplace_back(std::move(request), std::move(path));
  }
  for (const auto& text : urls) {
    try {
      Poco::URI parsed(text);
      (void)parsed;
    } catch (...) {
      continue;  // not a URL nor a path: matches nothing
    }
    for (const auto& [request, path] : requests) {
      if (text == request->uri() || (!path.empty() && text == path)) request->cancel();
    }
  }
}

void RequestDispatch::cancelAllRequests() {
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    if (pending_.empty()) return;
    for (const auto& request : pending_) request->cancel();
  }
  waitingThread_.store(desk::GetCurrentThreadId());
  bool quit = false;
  desk::WPARAM quitCode = 0;
  for (;;) {
    desk::MSG msg;
    while (!quit && desk::PeekMessage(&msg, nullptr, 0, 0, desk::PM_REMOVE)) {
      if (msg.message == desk::WM_QUIT) {
        quit = true;
        quitCode = msg.wParam;
        break;
      }
      desk::TranslateMessage(&msg);
      desk::DispatchMessage(&msg);
    }
    if (quit || pendingCount() == 0) break;
    // Sleeps until a message comes: a request that ends posts one.
    desk::MsgWaitForMultipleObjects(0, nullptr, false, desk::INFINITE, desk::QS_ALLINPUT);
    ++drainWakeups_;
  }
  waitingThread_.store(0);
  if (quit) desk::PostQuitMessage(static_cast<int>(quitCode));
}

void RequestDispatch::setClosing() { closing_.store(true); }

}  // namespace zrk
