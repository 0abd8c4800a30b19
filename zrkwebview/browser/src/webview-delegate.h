// The object between a webview and the rest of the framework. The webview calls it for each
// request, for each page message, when its controller is ready (to add the page scripts), when
// its title changes and when a navigation starts or completes; native code calls it to deliver
// events to the page's listener table and to talk to page handlers over the page-message bridge.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "vesk/tobject.h"
#include "zrkwebview/browser/src/webview.h"

namespace http {
class HttpRequest;
class HttpResponseConnection;
}  // namespace http

namespace zrk {

class Window;

// The error the page-message bridge raises for a message that breaks its protocol.
class exception : public std::exception {
 public:
  explicit exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// The page globals of the listener table and of the function that delivers one event to it.
inline constexpr char kListenersObjectName[] = "__internal_listeners_object_id";
inline constexpr char kListenersFunctionName[] = "__internal_listeners_function_id__";

class WebviewDelegate : public Vesk::TObject {
  VESK_DECLARE_CLASS(WebviewDelegate, Vesk::TObject, "zrk")

 public:
  // Sends one reply to the page; may be called any number of times, from any thread.
  using ReplyCallback = std::function<void(const nlohmann::json& value)>;
  // A native handler of page calls: the message is {"data": call data, "event": handler name}.
  using Handler = std::function<void(const nlohmann::json& message, const ReplyCallback& reply)>;

  // Holds both only weakly: the webview holds the delegate.
  WebviewDelegate(std::weak_ptr<Window> window, std::weak_ptr<Webview> webview);
  ~WebviewDelegate() override = default;

  virtual void onTitleChanged(const std::string& title);
  // Adds the document-created scripts, in their fixed order. A step that fails is logged and the
  // later steps still run.
  virtual void injectScripts();
  virtual void onClosed();
  // Handles one page message of the bridge protocol (see the .cpp); never throws.
  virtual void onWebMessage(const std::string& message);
  // Routes one request to its handler, which answers the connection. False, with nothing written,
  // when the window, its application or the webview is gone.
  virtual bool handleRequest(http::HttpRequest* request, http::HttpResponseConnection* connection);
  virtual void onNavigationStarting(Webview* webview);
  virtual void onNavigationCompleted(Webview* webview);
  // Delivers one event to the page listeners whose ids the JSON array text lists.
  virtual void emit(const std::string& event, const std::string& payload, const std::string& ids);
  // Adds a page listener: `target` is JSON text, `eventId` a decimal number and `handler` the
  // page callback expression "window['_<number>']". Anything else is refused with a log line.
  virtual void listen(const std::string& target, const std::string& event,
                      const std::string& eventId, const std::string& handler);
  virtual void unlisten(const std::string& event, const std::string& eventId);

  // The webview, or empty when it is gone.
  std::shared_ptr<Webview> webview() const { return webview_.lock(); }
  std::shared_ptr<Window> window() const { return window_.lock(); }

  // --- The page-message bridge.
  void registerHandler(const std::string& name, Handler handler);
  void removeHandler(const std::string& name);
  void callHandler(const std::string& handlerName);
  void callHandler(const std::string& handlerName, const nlohmann::json& data);
  void callHandler(const std::string& handlerName, const nlohmann::json& data, ReplyCallback reply);
  // Sends a call message to the page; a reply callback is kept under a new "cxx_cb_<n>" id until
  // the page answers it.
  void sendData(const std::optional<nlohmann::json>& data, ReplyCallback reply,
                const std::optional<std::string>& handlerName);
  // Sends a plain notification to the page.
  void notify(const nlohmann::json& message, EvalCompletion completion);

 private:
  void runScript(Webview& webview, const std::string& script);

  std::weak_ptr<Webview> webview_;
  std::weak_ptr<Window> window_;
  std::atomic<uint64_t> callbackCounter_{0};
  std::mutex responseCallbacksMutex_;
  std::map<std::string, ReplyCallback> responseCallbacks_;
  std::mutex handlersMutex_;
  std::map<std::string, Handler> handlers_;
};

// The delegate the webview factory makes: it also posts the in-process notifications
// "webview_title_changed" {"title"} and "webview_loaded" {"label"}, with the window as object.
class Webview2Delegate : public WebviewDelegate {
  VESK_DECLARE_CLASS(Webview2Delegate, WebviewDelegate, "zrk")

 public:
  using WebviewDelegate::WebviewDelegate;

  void onTitleChanged(const std::string& title) override;
  void onNavigationCompleted(Webview* webview) override;
};

// Answers the page request `requestId` with `response` (the reply callbacks pass
// {"responseData", "responseId"}): wrapped as {"requestId", "response"} and posted with the
// result !failed. Failures are logged; nothing is sent then.
void replyToPage(const std::shared_ptr<Webview>& webview, const std::string& requestId, bool failed,
                 const nlohmann::json& response);
// Runs the page's response function with {"data": data, "id": requestId, "result": result}.
void postPageResponse(const std::shared_ptr<Webview>& webview, const std::string& requestId,
                      const nlohmann::json& data, bool result);
// Compact (or, with `pretty`, 4-space indented) JSON with sorted keys, escaped for a
// single-quoted script string; empty when the value cannot be serialised.
std::string serializeForScript(const nlohmann::json& value, bool pretty);
// The same, unescaped; failures are logged and give the empty text.
std::string serializeJson(const nlohmann::json& value, bool pretty);

}  // namespace zrk
