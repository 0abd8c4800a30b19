#include "zrkwebview/browser/src/http-plugins/event/event-plugin.h"

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "vesk/log.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/event-dispatcher.h"
#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http-plugins/window/plugin-replies.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/webview.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk::plugin {

namespace {

using json = nlohmann::json;

// A positive whole number (a fraction cut off); 0 for anything else, a negative number, one
// beyond 64 bits or one below 1 included.
uint64_t idOf(const json& body, const char* key) {
  const json* m = payload::member(body, key);
  if (m == nullptr) return 0;
  return payload::integerOf<uint64_t>(*m).value_or(0);
}

struct Target {
  std::string kind;
  std::string label;
};

Target targetOf(const json* target) {
  if (target == nullptr || !target->is_object()) return {};
  return {payload::stringOr(*target, "kind"), payload::stringOr(*target, "label")};
}

// Null, an empty object and an empty array are no target; a text, a number or a boolean is one.
bool isEmptyTarget(const json& target) {
  return target.is_null() || ((target.is_object() || target.is_array()) && target.empty());
}

void forEveryWindow(const std::function<void(Window&)>& visit) {
  App::instance()->forEachWindow([&](const std::shared_ptr<Window>& window) {
    if (window) visit(*window);
  });
}

}  // namespace

EventPlugin::EventPlugin() {
  name_ = "event";
  description_ = "event system";
  version_ = "1.0";
}

std::shared_ptr<http::HttpResponse> EventPlugin::listen(
    const json& body, const std::shared_ptr<WebviewDelegate>& delegate) {
  const std::string event = payload::stringOr(body, "event");
  const json* targetMember = payload::member(body, "target");
  const json target = targetMember != nullptr ? *targetMember : json();
  const uint64_t callbackId = idOf(body, "handler");
  if (event.empty() || isEmptyTarget(target) || callbackId == 0) {
    return replies::error(400, "Missing parameter");
  }
  const Target where = targetOf(&target);
  std::weak_ptr<Webview> page;
  if (delegate) page = delegate->webview();
  const uint64_t id =
      EventDispatcher::instance().listen(callbackId, event, where.kind, where.label, page);
  if (delegate) {
    delegate->listen(replies::compactJson(target), event, std::to_string(id),
                     "window['_" + std::to_string(callbackId) + "']");
  }
  ZRK_LOG_INFO("event: %s, eventId: %llu, callbackId: %llu", event.c_str(),
               static_cast<unsigned long long>(id), static_cast<unsigned long long>(callbackId));

  if (where.kind == "Window") {
    std::shared_ptr<Window> window;
    if (!where.label.empty()) window = App::instance()->findWindow(where.label);
    if (window) {
      window->addEventListener(id, event);
    } else {
      forEveryWindow([&](Window& w) { w.addEventListener(id, event); });
    }
  } else if (where.kind == "Any") {
    forEveryWindow([&](Window& w) { w.addEventListener(id, event); });
  }
  return std::make_shared<http::HttpMimeResponse>(std::to_string(id), "application/json");
}

std::shared_ptr<http::HttpResponse> EventPlugin::unlisten(
    const json& body, const std::shared_ptr<WebviewDelegate>& delegate) {
  const std::string event = payload::stringOr(body, "event");
  const uint64_t id = idOf(body, "eventId");
  if (event.empty() || id == 0) {
    return std::make_shared<http::HttpMimeResponse>("0", "application/json");
  }
  // Every window list lets go of the id, whatever the listener's kind: a "Window" listener whose
  // label named no window went into every list, and an id the dispatcher hands out again must
  // not inherit an old listener's entries.
  forEveryWindow([id](Window& w) { w.removeEventListeners(id); });
  EventDispatcher::instance().unlisten(id);
  if (delegate) delegate->unlisten(event, std::to_string(id));
  return std::make_shared<http::HttpMimeResponse>("1", "application/json");
}

namespace {

std::shared_ptr<http::HttpResponse> raise(const json& body, const Target& target) {
  const std::string event = payload::stringOr(body, "event");
  if (event.empty()) return replies::error(400, "missing event.");
  try {
    const json* payloadMember = payload::member(body, "payload");
    const std::string text = replies::compactJson(payloadMember != nullptr ? *payloadMember : json());
    App::instance()->emit(event, text, target.label, target.kind);
  } catch (const std::exception& e) {
    return replies::error(400, e.what());
  }
  return std::make_shared<http::HttpMimeResponse>("1", "application/json");
}

}  // namespace

std::shared_ptr<http::HttpResponse> EventPlugin::emit(const json& body) { return raise(body, {}); }

std::shared_ptr<http::HttpResponse> EventPlugin::emitTo(const json& body) {
  return raise(body, targetOf(payload::member(body, "target")));
}

std::shared_ptr<Vesk::TObject> EventPlugin::invoke(const std::string& command,
                                                   zrk::Webview* webview,
                                                   http::HttpResponseConnection* connection,
                                                   http::HttpRequest* request,
                                                   const nlohmann::json& payload) {
  (void)connection;
  std::shared_ptr<WebviewDelegate> delegate;
  if (webview != nullptr) delegate = webview->delegate();
  const CommandTable table{
      {"listen", [&delegate](const json& b, zrk::Webview*,
                             http::HttpRequest*) { return listen(b, delegate); }},
      {"unlisten", [&delegate](const json& b, zrk::Webview*,
                               http::HttpRequest*) { return unlisten(b, delegate); }},
      {"emit", [](const json& b, zrk::Webview*, http::HttpRequest*) { return emit(b); }},
      {"emit_to", [](const json& b, zrk::Webview*, http::HttpRequest*) { return emitTo(b); }},
  };
  return runCommand(table, command, payload, webview, request);
}

void registerEventPlugin() {
  registerPluginOnce<EventPlugin>();
}

}  // namespace zrk::plugin
