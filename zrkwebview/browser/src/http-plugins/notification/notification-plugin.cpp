#include "zrkwebview/browser/src/http-plugins/notification/notification-plugin.h"

#include <stdexcept>

#include "libdispatch/src/dispatch.h"
#include "pelmora/version.h"
#include "toast/template.h"
#include "vesk/log.h"
#include "vesk/strings.h"
#include "zrkwebview/browser/src/http-plugins/ipc/channel-id.h"
#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/webview.h"

namespace zrk::plugin {

namespace {

using json = nlohmann::json;

constexpr const char* kInitScript =
    ";(function(){ const initNotification = function(){ if( typeof window.__zrk__=== "
    "'undefined' ){ setTimeout(initNotification, 300); return; } try{ "
    "__zrk__.notification.init(); }catch(ex){ console.error(ex); } }; initNotification(); })();";

// A string option, or nothing when it is missing or not a string.
const std::string* stringOption(const json& options, const char* key) {
  const json* value = payload::member(options, key);
  return value != nullptr && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

// The first of the two keys that holds a string ("" when neither does).
std::string stringOption(const json& options, const char* key, const char* fallback) {
  if (const std::string* v = stringOption(options, key)) return *v;
  if (const std::string* v = stringOption(options, fallback)) return *v;
  return std::string();
}

// The context of a handler, copied out so nothing is sent under the lock.
std::optional<ToastEventContext> contextOf(const ToastEventHandler* handler, bool remove) {
  std::lock_guard<std::mutex> lock(toastContextsMutex());
  auto& contexts = toastContexts();
  auto it = contexts.find(handler);
  if (it == contexts.end()) return std::nullopt;
  ToastEventContext context = it->second;
  if (remove) contexts.erase(it);
  return context;
}

// Delivers a value to a page's one-shot callback.
void deliver(zrk::Webview* webview, const json& payload, const json& value) {
  if (webview == nullptr) return;
  const json* handler = payload::member(payload, "handler");
  if (handler == nullptr) return;
  const auto id = payload::integerOf<uint32_t>(*handler);
  if (!id || *id == 0) return;
  webview->sendChannelData(*id, value);
}

std::shared_ptr<http::HttpResponse> permissionReply(const json& payload, zrk::Webview* webview,
                                                    const json& value, std::string body,
                                                    const char* mime) {
  deliver(webview, payload, value);
  return std::make_shared<http::HttpMimeResponse>(std::move(body), mime);
}

}  // namespace

std::mutex& toastContextsMutex() {
  static std::mutex m;
  return m;
}

std::map<const ToastEventHandler*, ToastEventContext>& toastContexts() {
  static std::map<const ToastEventHandler*, ToastEventContext> contexts;
  return contexts;
}

size_t toastContextCount() {
  std::lock_guard<std::mutex> lock(toastContextsMutex());
  return toastContexts().size();
}

// ---- the handler -------------------------------------------------------------------------------

ToastEventHandler::~ToastEventHandler() { contextOf(this, true); }

void ToastEventHandler::toastActivated(const std::u16string& arguments) {
  const std::string text = toUtf8(arguments);
  ZRK_LOG_INFO("onActivated: %s\n", text.c_str());
  if (arguments.empty()) return;
  if (auto context = contextOf(this, false)) sendEvent(*context, "activated", text);
}

void ToastEventHandler::toastActivated() { ZRK_LOG_INFO("onActivated\n"); }

void ToastEventHandler::toastDismissed(int32_t reason) {
  ZRK_LOG_INFO("onDismissed: %d\n", reason);
  std::string word;
  switch (reason) {
    case toast::UserCanceled: word = "canceled"; break;
    case toast::ApplicationHidden: word = "hidden"; break;
    case toast::TimedOut: word = "timeout"; break;
    default: break;
  }
  // A dismissal is the toast's last event.
  if (auto context = contextOf(this, true)) sendEvent(*context, "dismissed", word);
}

void ToastEventHandler::toastFailed() {
  ZRK_LOG_INFO("onFailed\n");
  if (auto context = contextOf(this, true)) sendEvent(*context, "failed", std::string());
}

void ToastEventHandler::sendEvent(const ToastEventContext& context, const std::string& event,
                                  const std::string& value) {
  if (context.channel == 0) return;
  auto webview = context.webview.lock();
  if (!webview) return;
  json message = json::object();
  message["event"] = event;
  message["id"] = context.id;
  if (event == "dismissed") {
    message["reason"] = value;
  } else if (event == "activated" && !value.empty()) {
    message["actionId"] = value;
  } else if (event != "failed") {
    return;
  }
  webview->sendChannelMessage(context.channel,
                              json(message.dump(-1, ' ', false, json::error_handler_t::replace)),
                              static_cast<uint32_t>(-1));
}

// ---- the toast work ----------------------------------------------------------------------------

void showToastNotification(const std::shared_ptr<zrk::Webview>& webview, const json& options,
                           std::atomic<bool>& toastInitialized) {
  toast::Notifier& notifier = toast::Notifier::instance();
  if (!notifier.isCompatible()) return;
  if (!toastInitialized.load()) {
    toastInitialized.store(true);
    const auto& info = pelmora::versionInfo();
    notifier.setAppName(toUtf16(info.productName));
    notifier.setAppUserModelId(toast::Notifier::makeAppUserModelId(
        toUtf16(info.company), toUtf16(info.productName), toUtf16(info.identifier),
        toUtf16(info.productVersion)));
    if (!notifier.initialize()) return;
  }

  const std::string id = stringOption(options, "id", "id");
  const std::string title = stringOption(options, "title", "summary");
  const std::string body = stringOption(options, "body", "largeBody");
  const std::string icon = stringOption(options, "icon", "icon");
  const std::string largeIcon = stringOption(options, "largeIcon", "largeIcon");
  const std::string handler = stringOption(options, "handler", "handler");

  if (title.empty() && body.empty()) throw std::runtime_error("empty title and body");
  const int32_t baseKind = !icon.empty() || !largeIcon.empty() ? toast::ToastTemplate::ImageAndText01
                                                               : toast::ToastTemplate::Text01;
  const bool twoLines = !title.empty() && !body.empty();
  toast::ToastTemplate tmpl(twoLines ? baseKind + 1 : baseKind);
  if (twoLines) {
    tmpl.setText(toUtf16(title), 0);
    tmpl.setText(toUtf16(body), 1);
  } else {
    tmpl.setText(toUtf16(title.empty() ? body : title), 0);
  }
  if (!largeIcon.empty()) {
    tmpl.setHeroImage(toUtf16(largeIcon), false);
  } else if (!icon.empty()) {
    tmpl.setImage(toUtf16(icon), toast::ToastTemplate::Square);
  }
  if (const json* actions = payload::member(options, "actions"); actions && actions->is_array()) {
    for (const json& action : *actions) {
      if (!action.is_object()) continue;
      tmpl.addAction(toUtf16(payload::stringOr(action, "title")),
                     toUtf16(payload::stringOr(action, "id")));
    }
  }
  const uint32_t channel = handler.empty() ? 0 : parseChannelCallback(handler);

  // The context is in place before the toast can report anything; a toast that was not shown
  // takes it out again. Only the UI thread makes handlers, so the address names this one.
  auto* eventHandler = new ToastEventHandler();
  {
    std::lock_guard<std::mutex> lock(toastContextsMutex());
    toastContexts()[eventHandler] = ToastEventContext{webview, channel, id};
  }
  if (notifier.showToast(tmpl, eventHandler) == -1) {
    std::lock_guard<std::mutex> lock(toastContextsMutex());
    toastContexts().erase(eventHandler);
  }
}

// ---- the plugin --------------------------------------------------------------------------------

NotificationPlugin::NotificationPlugin() {
  name_ = "notification";
  description_ = "notification plugin";
  version_ = "1.0";
}

std::string NotificationPlugin::initScript() { return kInitScript; }

std::shared_ptr<Vesk::TObject> NotificationPlugin::invoke(const std::string& command,
                                                          zrk::Webview* webview,
                                                          http::HttpResponseConnection* connection,
                                                          http::HttpRequest* request,
                                                          const json& payload) {
  (void)connection;
  // A webview no owner holds any more throws std::bad_weak_ptr here, outside the commands.
  std::shared_ptr<zrk::Webview> owner = webview != nullptr ? webview->shared_from_this() : nullptr;
  CommandTable table{
      {"request_permission",
       [](const json& p, zrk::Webview* w, http::HttpRequest*) {
         return permissionReply(p, w, json("granted"), "true", "text/plain");
       }},
      {"is_permission_granted",
       [](const json& p, zrk::Webview* w, http::HttpRequest*) {
         return permissionReply(p, w, json(true), "true", "application/json");
       }},
      {"notify",
       [this, owner](const json& p, zrk::Webview*, http::HttpRequest*) {
         const json* given = payload::member(p, "options");
         const json options = given != nullptr ? *given : json();
         // The UI-thread task never throws: a refusal travels back as text.
         std::string refusal;
         bool refused = false;
         dispatch_sync(dispatch_get_main_queue(), [&] {
           try {
             showToastNotification(owner, options, toastInitialized);
           } catch (const std::exception& e) {
             refused = true;
             refusal = e.what();
           } catch (...) {
             refused = true;
             refusal = "notification failed";
           }
         });
         if (refused) throw std::runtime_error(refusal);
         return std::static_pointer_cast<http::HttpResponse>(
             std::make_shared<http::HttpMimeResponse>("true", "application/json"));
       }},
  };
  return runCommandOr400(table, command, payload, webview, request);
}

void registerNotificationPlugin() { registerPluginOnce<NotificationPlugin>(); }

void stopNotifications() { toast::Notifier::resetInstance(); }

}  // namespace zrk::plugin
