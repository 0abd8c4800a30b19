#include "zrkwebview/browser/src/webview-delegate.h"

#include <exception>
#include <vector>

#include "scripts/page_scripts.h"
#include "vesk/log.h"
#include "vesk/strings.h"
#include "vesk/tdata.h"
#include "vesk/tdictionary.h"
#include "vesk/tnotification.h"
#include "vesk/tstring.h"
#include "zrkwebview/browser/src/http-plugins/ipc/ipc-plugin.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/request-router.h"
#include "zrkwebview/browser/src/plugin/plugin.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk {

namespace {

// Replaces the page's alert, confirm and prompt by versions that put their extra arguments into
// option tags ahead of the message, which the native dialogs read.
const char kDialogOverrideScript[] =
    ";(function(){ var window = typeof window==='undefined' ? globalThis : window; "
    "var savedAlert = window.alert, savedConfirm = window.confirm, savedPrompt = window.prompt; "
    "function isText(v){ return typeof v==='string' && v.length > 0; } "
    "function withPrefix(prefix, msg){ return prefix.length > 0 ? prefix + ':' + msg : msg; } "
    "function buttons(title, ok, cancel){ var p = ''; "
    "if( isText(title) ) p += '[TITLE=' + title + ']'; "
    "if( ok ) p += '[OK=' + ok + ']'; "
    "if( cancel ) p += '[CANCEL=' + cancel + ']'; return p; } "
    "window.alert = function(msg, title, closeButton, alterButton, alterOnce, alterCmd){ var p = ''; "
    "if( isText(title) ) p += '[TITLE=' + title + ']'; "
    "if( closeButton ) p += '[CLOSE=' + closeButton + ']'; "
    "if( isText(alterButton) ) p += '[ALTER=' + alterButton + ']'; "
    "if( alterOnce === true ) p += '[ALTER_ONCE=\"1\"]'; "
    "if( isText(alterCmd) ) p += '[ALTER_CMD=\"' + alterCmd + '\"]'; "
    "return savedAlert.call(window, withPrefix(p, msg)); }; "
    "window.confirm = function(msg, title, okButton, cancelButton){ "
    "return savedConfirm.call(window, withPrefix(buttons(title, okButton, cancelButton), msg)); }; "
    "window.prompt = function(msg, title, defaultValue, okButton, cancelButton){ "
    "return savedPrompt.call(window, withPrefix(buttons(title, okButton, cancelButton), msg), "
    "defaultValue); }; })();";

const char kDispatchFunctionScript[] =
    ";(function(){ var window = typeof window==='undefined' ? globalThis : window; "
    "Object.defineProperty(window, '{fn}', { value: function(eventData, ids){ const listeners = "
    "(window['{listeners}'] && window['{listeners}'][eventData.event]) || []; for(const id of ids "
    "){ const listener = listeners[id]; if( listener ){ eventData.id = id; if( typeof "
    "listener.handler==='function' ){ listener.handler(eventData); } else { try{ throw new "
    "Error(\"handler is not a function\"); }catch(err){ console.warn(err.stack); "
    "console.warn(eventData); } } } } } }); })();";

const char kCurrentViewScript[] =
    ";(function(){ var window = typeof window==='undefined' ? globalThis : window; const win = new "
    "window.__zrk__.window.Window('{windowLabel}', {skip: true}); "
    "window.__zrk_internals__.metadata['currentWindow'] = win; const view = new "
    "window.__zrk__.webview.Webview(win,'{webviewLabel}', {skip: true}); "
    "window.__zrk_internals__.metadata['currentWebview'] = view; try{ "
    "view.listen('zrk://webview-closed', function(data){ try{ let idx = "
    "window.__zrk_internals__.metadata.webviews.findIndex(function(v){ return "
    "v.label==data.payload.label; }); if( idx > -1) "
    "window.__zrk_internals__.metadata.webviews.splice(idx, 1); }catch(ex){ console.warn(ex)} }); "
    "}catch(ex){ console.warn(ex) } })();";

const char kWebviewsScript[] =
    ";(function(){ window.__zrk_internals__.metadata.webviews.splice(0, "
    "window.__zrk_internals__.metadata.webviews.length); const webviews = "
    "JSON.parse('{webviews}'); for(const v of webviews ){ "
    "window.__zrk_internals__.metadata.webviews.push(v); } })();";

const char kWindowsScript[] =
    ";(function(){ window.__zrk_internals__.metadata.windows.splice(0, "
    "window.__zrk_internals__.metadata.windows.length); const windows = JSON.parse('{windows}'); "
    "for(const w of windows ){ window.__zrk_internals__.metadata.windows.push(w); } })();";

const char kListenScript[] =
    ";(function(){ var window = typeof window==='undefined' ? globalThis : window; "
    "if(window['{listeners}'] === void 0 ){ Object.defineProperty(window, '{listeners}', { value: "
    "Object.create(null) }) } if( window['{listeners}']['{event}'] === void 0 ){ "
    "Object.defineProperty(window['{listeners}'], '{event}', { value: Object.create(null) }) } "
    "const eventListeners = window['{listeners}']['{event}']; const listener = { target: "
    "JSON.parse('{target}'), handler: {handler} }; Object.defineProperty(eventListeners, "
    "'{event_id}', { value: listener, configurable: true }); })();";

const char kUnlistenScript[] =
    ";(function(){ var window = typeof window==='undefined' ? globalThis : window; const listeners "
    "= (window['{listeners}'] || {})['{event}']; if( listeners ) { delete "
    "window['{listeners}']['{event}'][{event_id}]; } })();";

const char kCallScriptHead[] = "try{window.__zrk_msg__.notify('";
const char kCallScriptTail[] =
    "'); }catch(ex){console.error(ex);console.warn('WebViewJavascriptBridge not found in:' + "
    "window.location.href);console.log(window.WebViewJavascriptBridge);}";
const char kResponseScriptHead[] = "try{window.__zrk_msg__.response('";
const char kResponseScriptTail[] = "'); } catch(ex){console.error(ex); }";
const char kNotifyScriptHead[] = "try{window.__zrk_msg__.notify('";
const char kNotifyScriptTail[] = "'); } catch(ex){console.error(ex); }";

bool isDecimal(const std::string& text) {
  if (text.empty() || text.size() > 20) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// "window['_<digits>']", the only handler expression a listener may have.
bool isPageCallbackExpression(const std::string& text) {
  const std::string head = "window['_";
  const std::string tail = "']";
  if (text.size() <= head.size() + tail.size()) return false;
  if (text.compare(0, head.size(), head) != 0) return false;
  if (text.compare(text.size() - tail.size(), tail.size(), tail) != 0) return false;
  return isDecimal(text.substr(head.size(), text.size() - head.size() - tail.size()));
}

// Runs one step of the script injection; a failure is logged and the next step still runs.
template <typename Step>
void injectionStep(const char* name, Step&& step) {
  try {
    step();
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("script injection, %s: %s", name, e.what());
  } catch (...) {
    ZRK_LOG_ERROR("script injection, %s: %s", name, "unknown exception");
  }
}

std::string messageOf(const std::exception& e) {
  const char* text = e.what();
  return text != nullptr && *text != '\0' ? std::string(text) : std::string("Unknown exception");
}

}  // namespace

WebviewDelegate::WebviewDelegate(std::weak_ptr<Window> window, std::weak_ptr<Webview> webview)
    : webview_(std::move(webview)), window_(std::move(window)) {}

void WebviewDelegate::onTitleChanged(const std::string& title) { (void)title; }

void WebviewDelegate::onClosed() {}

void WebviewDelegate::onNavigationStarting(Webview* webview) { (void)webview; }

void WebviewDelegate::onNavigationCompleted(Webview* webview) { (void)webview; }

void WebviewDelegate::runScript(Webview& webview, const std::string& script) {
  webview.evaluateScript(script, nullptr, true);
}

void WebviewDelegate::injectScripts() {
  auto webview = webview_.lock();
  if (!webview) return;
  auto window = window_.lock();
  if (!window) return;
  WindowDelegate* app = window->delegate();
  auto add = [&](const std::string& script) { webview->addScriptOnDocumentCreated(script, nullptr); };
  auto requireApp = [&] {
    if (app == nullptr) throw std::runtime_error("the window has no application");
  };

  injectionStep("developer tools", [&] { webview->setDevToolsEnabled(false); });
  injectionStep("ipc script", [&] { add(plugin::windowIpcScript()); });
  injectionStep("bootstrap", [&] {
    requireApp();
    std::string script = buildBootstrapScript();
    replaceAll(script, "{URI_SCHEME}", app->uriScheme());
    replaceAll(script, "{URI_DOMAIN}", app->uriDomain());
    add(script);
  });
  injectionStep("dialog overrides", [&] { add(kDialogOverrideScript); });
  injectionStep("bridge module", [&] { add(buildBridgeScript()); });
  injectionStep("document script files", [&] {
    requireApp();
    for (const auto& path : app->documentScripts()) {
      auto data = Vesk::TData::dataWithContentsOfFile(Vesk::TString(path));
      if (!data || data->length() == 0) continue;
      add(std::string(reinterpret_cast<const char*>(data->bytes()), data->length()));
    }
  });
  injectionStep("document script", [&] {
    requireApp();
    const std::string script = app->documentScript();
    if (!script.empty()) add(script);
  });
  injectionStep("dispatch function", [&] {
    std::string script = kDispatchFunctionScript;
    replaceAll(script, "{fn}", kListenersFunctionName);
    replaceAll(script, "{listeners}", kListenersObjectName);
    add(script);
  });
  injectionStep("plugin scripts", [&] {
    std::vector<std::string> scripts;
    plugin::PluginRegistry::forEach([&](const std::shared_ptr<plugin::Plugin>& plugin) {
      std::string script = plugin->initScript();
      if (!script.empty()) scripts.push_back(std::move(script));
    });
    for (const auto& script : scripts) add(script);
  });
  injectionStep("current view", [&] {
    std::string script = kCurrentViewScript;
    replaceAll(script, "{windowLabel}", escapeJsString(window->label()));
    replaceAll(script, "{webviewLabel}", escapeJsString(webview->label()));
    add(script);
  });
  injectionStep("metadata", [&] {
    requireApp();
    nlohmann::json windows = nlohmann::json::array();
    app->forEachWindow([&](const std::shared_ptr<Window>& each) {
      if (each) windows.push_back({{"label", each->label()}});
    });
    nlohmann::json webviews = nlohmann::json::array();
    std::vector<std::shared_ptr<Webview>> siblings;
    const std::string windowLabel = window->label();
    window->forEachWebview([&](const std::shared_ptr<Webview>& each) {
      if (!each) return;
      webviews.push_back({{"label", each->label()}, {"windowLabel", windowLabel}});
      if (each->label() != webview->label()) siblings.push_back(each);
    });
    const auto dump = [](const nlohmann::json& value) {
      return escapeJsString(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    };
    std::string webviewsScript = kWebviewsScript;
    replaceAll(webviewsScript, "{webviews}", dump(webviews));
    std::string windowsScript = kWindowsScript;
    replaceAll(windowsScript, "{windows}", dump(windows));
    add(webviewsScript);
    add(windowsScript);
    for (const auto& sibling : siblings) {
      injectionStep("metadata of a sibling", [&] { runScript(*sibling, webviewsScript); });
    }
  });
}

bool WebviewDelegate::handleRequest(http::HttpRequest* request,
                                    http::HttpResponseConnection* connection) {
  auto window = window_.lock();
  if (!window) return false;
  auto webview = webview_.lock();
  if (!webview) return false;
  WindowDelegate* app = window->delegate();
  if (app == nullptr) return false;
  http::RouteConfig config;
  config.scheme = app->uriScheme();
  config.domain = app->uriDomain();
  config.extraDomains = app->webResourceDomains();
  auto handlers = http::handlerList();
  static const http::HandlerArray kNoHandlers;
  return http::routeRequest(config, handlers ? *handlers : kNoHandlers, nullptr, request,
                            connection, webview.get());
}

void WebviewDelegate::emit(const std::string& event, const std::string& payload,
                           const std::string& ids) {
  auto webview = webview_.lock();
  if (!webview) return;
  const auto parsedIds = nlohmann::json::parse(ids, nullptr, false);
  bool valid = parsedIds.is_array();
  if (valid) {
    for (const auto& id : parsedIds) valid = valid && id.is_number();
  }
  if (!valid) {
    ZRK_LOG_ERROR("emit of %s refused: the listener ids are not an array of numbers",
                  event.c_str());
    return;
  }
  const std::string script = std::string(";(function(){ const fn = window['") +
                             kListenersFunctionName + "']; fn && fn({event: '" +
                             escapeJsString(event) + "', payload: JSON.parse('" +
                             escapeJsString(payload) + "')}, JSON.parse('" +
                             escapeJsString(parsedIds.dump()) + "')); })();";
  runScript(*webview, script);
}

void WebviewDelegate::listen(const std::string& target, const std::string& event,
                             const std::string& eventId, const std::string& handler) {
  auto webview = webview_.lock();
  if (!webview) return;
  if (!isDecimal(eventId)) {
    ZRK_LOG_ERROR("listen refused: the listener id %s is not a decimal number", eventId.c_str());
    return;
  }
  if (!isPageCallbackExpression(handler)) {
    ZRK_LOG_ERROR("listen refused: %s is not a page callback", handler.c_str());
    return;
  }
  std::string script = kListenScript;
  replaceAll(script, "{listeners}", kListenersObjectName);
  replaceAll(script, "{event}", escapeJsString(event));
  replaceAll(script, "{event_id}", eventId);
  replaceAll(script, "{target}", escapeJsString(target));
  replaceAll(script, "{handler}", handler);
  runScript(*webview, script);
}

void WebviewDelegate::unlisten(const std::string& event, const std::string& eventId) {
  auto webview = webview_.lock();
  if (!webview) return;
  if (!isDecimal(eventId)) {
    ZRK_LOG_ERROR("unlisten refused: the listener id %s is not a decimal number", eventId.c_str());
    return;
  }
  std::string script = kUnlistenScript;
  replaceAll(script, "{listeners}", kListenersObjectName);
  replaceAll(script, "{event}", escapeJsString(event));
  replaceAll(script, "{event_id}", eventId);
  runScript(*webview, script);
}

// --- The page-message bridge.

void WebviewDelegate::onWebMessage(const std::string& message) {
  auto webview = webview_.lock();
  if (!webview) return;
  ZRK_LOG_DEBUG("%s", message.c_str());
  try {
    const auto value = nlohmann::json::parse(message);
    if (!value.is_object() || !value.contains("id") || !value["id"].is_string()) {
      throw zrk::exception("unknown type of message id.");
    }
    const auto& data = value.at("data");
    if (!data.is_object()) throw zrk::exception("invalid request data");
    const auto& requestId = data.at("requestId");
    const auto& requestData = data.at("requestData");
    if (!requestId.is_string()) throw zrk::exception("invalid request id");
    const std::string action = requestData.at("action").get<std::string>();
    if (action != "wvjsbridge") throw zrk::exception("unhandled action: " + action);
    const auto& request = requestData.at("request");
    const bool isObject = request.is_object();

    // A reply of the page to a native call.
    if (isObject && request.contains("responseId") && request["responseId"].is_string()) {
      const std::string responseId = request["responseId"].get<std::string>();
      ZRK_LOG_DEBUG("responseId -> %s", responseId.c_str());
      const nlohmann::json responseData =
          request.contains("responseData") ? request["responseData"] : nlohmann::json();
      ReplyCallback callback;
      {
        std::lock_guard<std::mutex> lock(responseCallbacksMutex_);
        auto it = responseCallbacks_.find(responseId);
        if (it == responseCallbacks_.end()) return;
        callback = std::move(it->second);
        responseCallbacks_.erase(it);
      }
      // Outside the lock: the callback may itself make a native call with a reply callback.
      if (callback) callback(responseData);
      return;
    }

    // A call of a native handler.
    ReplyCallback reply = [](const nlohmann::json&) {};
    if (isObject && request.contains("callbackId") && request["callbackId"].is_string()) {
      const std::string callbackId = request["callbackId"].get<std::string>();
      ZRK_LOG_DEBUG("callbackId -> %s", callbackId.c_str());
      reply = [callbackId, requestId = requestId.get<std::string>(),
               target = webview](const nlohmann::json& result) {
        replyToPage(target, requestId, false, {{"responseData", result}, {"responseId", callbackId}});
      };
    }
    std::string handlerName;
    if (isObject && request.contains("handlerName") && request["handlerName"].is_string()) {
      handlerName = request["handlerName"].get<std::string>();
    }
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(handlersMutex_);
      auto it = handlers_.find(handlerName);
      if (it != handlers_.end()) handler = it->second;
    }
    if (!handler) {
      ZRK_LOG_ERROR("[WVJBNoHandlerException] no handler for message from JS: %s",
                    handlerName.c_str());
      return;
    }
    nlohmann::json call = {{"data", isObject && request.contains("data") ? request["data"]
                                                                          : nlohmann::json()},
                           {"event", handlerName}};
    handler(call, reply);
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("Failed to parse message json data: %s", e.what());
  } catch (...) {
    ZRK_LOG_ERROR("Failed to parse message json data: %s", "unknown exception");
  }
}

void WebviewDelegate::registerHandler(const std::string& name, Handler handler) {
  std::lock_guard<std::mutex> lock(handlersMutex_);
  handlers_[name] = std::move(handler);
}

void WebviewDelegate::removeHandler(const std::string& name) {
  Handler removed;  // released after the lock
  std::lock_guard<std::mutex> lock(handlersMutex_);
  auto it = handlers_.find(name);
  if (it == handlers_.end()) return;
  removed = std::move(it->second);
  handlers_.erase(it);
}

void WebviewDelegate::callHandler(const std::string& handlerName) {
  sendData(std::nullopt, nullptr, handlerName);
}

void WebviewDelegate::callHandler(const std::string& handlerName, const nlohmann::json& data) {
  sendData(data, nullptr, handlerName);
}

void WebviewDelegate::callHandler(const std::string& handlerName, const nlohmann::json& data,
                                  ReplyCallback reply) {
  sendData(data, std::move(reply), handlerName);
}

void WebviewDelegate::sendData(const std::optional<nlohmann::json>& data, ReplyCallback reply,
                               const std::optional<std::string>& handlerName) {
  auto webview = webview_.lock();
  if (!webview) return;
  nlohmann::json message = nlohmann::json::object();
  if (data) message["data"] = *data;
  if (reply) {
    const std::string callbackId = "cxx_cb_" + std::to_string(++callbackCounter_);
    {
      std::lock_guard<std::mutex> lock(responseCallbacksMutex_);
      responseCallbacks_[callbackId] = std::move(reply);
    }
    message["callbackId"] = callbackId;
  }
  if (handlerName) message["handlerName"] = *handlerName;
  runScript(*webview, kCallScriptHead + serializeForScript(message, false) + kCallScriptTail);
}

void WebviewDelegate::notify(const nlohmann::json& message, EvalCompletion completion) {
  auto webview = webview_.lock();
  if (!webview) return;
  webview->evaluateScript(kNotifyScriptHead + serializeForScript(message, false) + kNotifyScriptTail,
                          std::move(completion), false);
}

// --- Notifications of the delegate the factory makes.

void Webview2Delegate::onTitleChanged(const std::string& title) {
  auto window = this->window();
  if (!window) return;
  Vesk::TNotificationCenter::defaultCenter()->postNotification(
      "webview_title_changed", window.get(),
      Vesk::TDictionary::create({{"title", std::make_shared<Vesk::TString>(title)}}));
}

void Webview2Delegate::onNavigationCompleted(Webview* webview) {
  auto window = this->window();
  if (!window || webview == nullptr) return;
  Vesk::TNotificationCenter::defaultCenter()->postNotification(
      "webview_loaded", window.get(),
      Vesk::TDictionary::create({{"label", std::make_shared<Vesk::TString>(webview->label())}}));
}

// --- Replies to the page.

void replyToPage(const std::shared_ptr<Webview>& webview, const std::string& requestId, bool failed,
                 const nlohmann::json& response) {
  try {
    postPageResponse(webview, requestId, {{"requestId", requestId}, {"response", response}}, !failed);
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("[JSReply Error]: %s", e.what());
  } catch (...) {
    ZRK_LOG_ERROR("[JSReply Error]: failed to dump json data.");
  }
}

void postPageResponse(const std::shared_ptr<Webview>& webview, const std::string& requestId,
                      const nlohmann::json& data, bool result) {
  if (!webview) return;
  const nlohmann::json reply = {{"data", data}, {"id", requestId}, {"result", result}};
  webview->evaluateScript(kResponseScriptHead + serializeForScript(reply, false) + kResponseScriptTail,
                          nullptr, true);
}

std::string serializeJson(const nlohmann::json& value, bool pretty) {
  try {
    return value.dump(pretty ? 4 : -1);
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("failed to serialize json: %s", messageOf(e).c_str());
  } catch (...) {
    ZRK_LOG_ERROR("failed to serialize json");
  }
  return std::string();
}

std::string serializeForScript(const nlohmann::json& value, bool pretty) {
  const std::string text = serializeJson(value, pretty);
  ZRK_LOG_DEBUG("[SEND]: %s", text.c_str());
  return escapeJsString(text);
}

}  // namespace zrk
