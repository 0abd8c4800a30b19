// Moves every page request off the UI thread: the engine's resource-requested event is wrapped,
// recorded as pending and queued on "plugin-requests-1" (plugin calls) or "http_requests-1"
// (everything else), where the webview's delegate routes it to its handler. Pending requests can
// be cancelled by URL, or all of them, waiting until their handlers are done.
//
// A request always ends: answered by its handler, or failed (no delegate, window or webview
// gone, a URL that does not parse, the task dropped by its queue, the webview closing).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "desk/web/engine.h"

namespace zrk {

class Webview;
class WebRequest;
class WebResponse;

inline constexpr char kPluginRequestQueue[] = "plugin-requests-1";
inline constexpr char kHttpRequestQueue[] = "http_requests-1";

class RequestDispatch : public std::enable_shared_from_this<RequestDispatch> {
 public:
  // Serves the requests of `webview`, which it holds weakly; made under shared ownership, which
  // the queued tasks hold weakly too.
  static std::shared_ptr<RequestDispatch> create(std::weak_ptr<Webview> webview);
  RequestDispatch(const RequestDispatch&) = delete;
  RequestDispatch& operator=(const RequestDispatch&) = delete;

  // The engine's resource-requested handler, on the UI thread. Never throws.
  void onResourceRequested(desk::web::ResourceRequestedEvent& event);
  // Queues an adapter pair made elsewhere (the same road as an engine event).
  void dispatch(std::shared_ptr<WebRequest> request, std::shared_ptr<WebResponse> response);

  // Sets the cancelled flag of every pending request whose full URL, or whose path, equals one of
  // the strings. A string that does not parse as a URL matches by full URL only.
  void cancelRequests(const std::vector<std::string>& urls);
  // On the UI thread: cancels every pending request and waits until none is pending, running
  // the thread's messages meanwhile (main-queue work included). It sleeps until a message comes
  // or a request ends; on WM_QUIT it stops waiting and posts the quit again.
  void cancelAllRequests();

  // From now on new requests are failed; pending ones end as their handlers finish.
  void setClosing();
  bool closing() const { return closing_.load(); }
  size_t pendingCount() const;
  // How often cancelAllRequests woke from its sleep, over the dispatch's life.
  uint64_t drainWakeups() const { return drainWakeups_.load(); }

 private:
  explicit RequestDispatch(std::weak_ptr<Webview> webview);
  friend struct RequestTask;

  void removePending(const WebRequest* request);

  std::weak_ptr<Webview> webview_;
  mutable std::mutex pendingMutex_;
  std::vector<std::shared_ptr<WebRequest>> pending_;
  std::atomic<bool> closing_{false};
  // The thread waiting in cancelAllRequests (0: none), woken when a request ends.
  std::atomic<uint32_t> waitingThread_{0};
  std::atomic<uint64_t> drainWakeups_{0};
};

}  // namespace zrk
