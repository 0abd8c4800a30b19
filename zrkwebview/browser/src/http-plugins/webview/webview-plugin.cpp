#include "zrkwebview/browser/src/http-plugins/webview/webview-plugin.h"

#include <cmath>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "libdispatch/src/dispatch.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http-plugins/window/plugin-replies.h"
#include "zrkwebview/browser/src/timers.h"
#include "zrkwebview/browser/src/webview.h"
#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk::plugin {

namespace {

using json = nlohmann::json;
using Reply = std::shared_ptr<http::HttpResponse>;

// Runs `work` on the UI thread and waits for it (inline on the UI thread itself). Without a main
// queue the work runs on the calling thread.
void onUiThread(const std::function<void()>& work) {
  if (isMainThread()) {
    work();
    return;
  }
  dispatch_queue_t main = dispatch_get_main_queue();
  if (main == nullptr) {
    work();
    return;
  }
  dispatch_sync(main, work);
}

// The member "Logical", else "Physical", of a position or size value; throws `missing` without a
// value and "Invalid position type" with neither member.
std::pair<float, float> pairOf(const json& body, const char* missing, const char* first,
                               const char* second) {
  const json* value = payload::member(body, "value");
  if (value == nullptr) throw std::invalid_argument(missing);
  const json* chosen = payload::member(*value, "Logical");
  if (chosen == nullptr) chosen = payload::member(*value, "Physical");
  if (chosen == nullptr) throw std::invalid_argument("Invalid position type");
  return {replies::floatOf(*chosen, first).value_or(0.0f),
          replies::floatOf(*chosen, second).value_or(0.0f)};
}

// A float of the webview's bounds as a signed whole number (a fraction cut off).
int64_t wholeOf(float value) {
  if (std::isnan(value)) return 0;
  return static_cast<int64_t>(std::trunc(static_cast<double>(value)));
}

Reply create(const json& body, const std::string& windowLabel, const std::string& label) {
  const json* options = payload::member(body, "options");
  WebviewOptions record = WebviewPlugin::optionsFrom(options != nullptr ? *options : json());
  std::shared_ptr<Webview> made = createWebviewInWindow(windowLabel, label, std::move(record));
  if (!made) return replies::error(400, "Failed to create webview in window: " + windowLabel);
  return replies::json(made->label());
}

Reply cancelRequests(const json& body, Webview& webview) {
  const json* urls = payload::member(body, "urls");
  if (urls != nullptr && urls->is_array()) {
    std::vector<std::string> list;
    for (const json& url : *urls) {
      if (url.is_string()) list.push_back(url.get<std::string>());
    }
    webview.cancelRequests(list);
  }
  // The answer says nothing about what was cancelled; pages do not read it.
  return replies::json(false);
}

}  // namespace

WebviewPlugin::WebviewPlugin() {
  name_ = "webview";
  description_ = "webview plugin";
  version_ = "1.0";
}

WebviewOptions WebviewPlugin::optionsFrom(const json& options) {
  WebviewOptions record;
  record.resizingMask = 18;
  auto place = [&](const char* key, std::optional<int32_t>& number, std::string& text) {
    if (auto n = replies::int32Of(options, key)) {
      number = *n;
    } else if (auto t = replies::stringOf(options, key)) {
      text = *t;
    }
  };
  place("x", record.x, record.xText);
  place("y", record.y, record.yText);
  place("width", record.width, record.widthText);
  place("height", record.height, record.heightText);
  record.transparent = payload::boolOr(options, "transparent", record.transparent);
  record.dragDropEnabled = payload::boolOr(options, "dragDropEnabled", record.dragDropEnabled);
  record.userAgent = payload::stringOr(options, "userAgent", record.userAgent);
  record.url = payload::stringOr(options, "url", record.url);
  if (auto mask = replies::int32Of(options, "resizingMask")) record.resizingMask = *mask;
  return record;
}

uint32_t WebviewPlugin::argbOf(const json& body) {
  const json* m = payload::member(body, "argb");
  if (m == nullptr || !m->is_number()) return 0;
  if (m->is_number_unsigned()) return static_cast<uint32_t>(m->get<uint64_t>());
  if (m->is_number_integer()) return static_cast<uint32_t>(static_cast<uint64_t>(m->get<int64_t>()));
  const double d = std::trunc(m->get<double>());
  // Beyond 64 bits (or not a number at all) the low 32 bits are not defined: 0.
  if (!(d > -9223372036854775808.0 && d < 9223372036854775808.0)) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(d)));
}

std::shared_ptr<Vesk::TObject> WebviewPlugin::invoke(const std::string& command,
                                                     zrk::Webview* caller,
                                                     http::HttpResponseConnection* connection,
                                                     http::HttpRequest* request,
                                                     const json& body) {
  (void)caller;
  (void)connection;
  const std::string windowLabel = payload::stringOr(body, "windowLabel");
  const std::string label = payload::stringOr(body, "label");
  if (windowLabel.empty()) return replies::error(400, "Parent window not specified.");
  try {
    std::shared_ptr<Window> window = App::instance()->findWindow(windowLabel);
    if (!window) return replies::error(400, "Window not found.");
    std::shared_ptr<Webview> webview;
    if (command != "create") {
      if (label.empty()) return replies::error(400, "the given label of webview was empty.");
      webview = window->findWebview(label);
      if (!webview) return replies::error(400, "the given label of webview was not found.");
    }
    // The found webview stays alive for the whole call through this reference.
    Webview* target = webview.get();
    const CommandTable table{
        {"create", [&](const json& b, Webview*, http::HttpRequest*) {
           return create(b, windowLabel, label);
         }},
        {"close", [&](const json&, Webview*, http::HttpRequest*) {
           // The engine view is released on the UI thread, and the webview has left its
           // window's list when the page gets the answer.
           onUiThread([&] { target->close(); });
           return replies::yes();
         }},
        {"is_devtools_enabled", [&](const json&, Webview*, http::HttpRequest*) {
           bool enabled = false;
           onUiThread([&] { enabled = target->isDevToolsEnabled(); });
           return replies::json(enabled);
         }},
        {"show_devtools", [&](const json&, Webview*, http::HttpRequest*) {
           target->showDevTools();
           return replies::yes();
         }},
        {"close_devtools", [&](const json&, Webview*, http::HttpRequest*) {
           target->closeDevTools();
           return replies::yes();
         }},
        {"is_devtools_visible", [&](const json&, Webview*, http::HttpRequest*) {
           return replies::json(target->isDevToolsVisible());
         }},
        {"cancel_requests", [&](const json& b, Webview*, http::HttpRequest*) {
           return cancelRequests(b, *target);
         }},
        {"get_position", [&](const json&, Webview*, http::HttpRequest*) {
           const FloatPoint p = target->position();
           return replies::json({{"x", wholeOf(p.x)}, {"y", wholeOf(p.y)}});
         }},
        {"get_size", [&](const json&, Webview*, http::HttpRequest*) {
           const FloatSize s = target->size();
           return replies::json({{"width", wholeOf(s.width)}, {"height", wholeOf(s.height)}});
         }},
        {"set_position", [&](const json& b, Webview*, http::HttpRequest*) {
           const auto [x, y] = pairOf(b, "Invalid position", "x", "y");
           target->setPosition({x, y});
           return replies::ok();
         }},
        {"set_size", [&](const json& b, Webview*, http::HttpRequest*) {
           const auto [width, height] = pairOf(b, "Invalid size", "width", "height");
           target->setSize({width, height});
           return replies::ok();
         }},
        {"set_background_color", [&](const json& b, Webview*, http::HttpRequest*) {
           target->setBackgroundColor(argbOf(b));
           return replies::ok();
         }},
        {"get_background_color", [&](const json&, Webview*, http::HttpRequest*) {
           return replies::json(target->backgroundColor());
         }},
    };
    return runCommand(table, command, body, caller, request);
  } catch (const std::exception& e) {
    return replies::error(400, e.what());
  }
}

void registerWebviewPlugin() { registerPluginOnce<WebviewPlugin>(); }

}  // namespace zrk::plugin
