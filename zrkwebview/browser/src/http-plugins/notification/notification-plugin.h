// The notification plugin ("notification"): pages show desktop notifications through the UI
// thread's toast notifier and hear, on a page channel, what the user did with them. Permission is
// always granted.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "toast/notifier.h"
#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class NotificationPlugin : public Plugin {
  VESK_DECLARE_CLASS(NotificationPlugin, Plugin, "zrk::plugin")

 public:
  NotificationPlugin();

  // Hooks the page's Notification into the bridge once the bridge exists.
  std::string initScript() override;
  // "request_permission", "is_permission_granted" and "notify". A refused notification answers
  // 400 with the refusal's text; an unknown command gives an empty result.
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  // Set when the one-time notifier set-up starts; never cleared.
  std::atomic<bool> toastInitialized{false};
};

// The toast work of "notify", on the UI thread. Throws the refusals of the options
// (std::runtime_error "empty title and body", the channel's std::invalid_argument and
// std::out_of_range); a system without notifications, a failed set-up and a toast that could
// not be shown end silently.
void showToastNotification(const std::shared_ptr<zrk::Webview>& webview,
                           const nlohmann::json& options, std::atomic<bool>& toastInitialized);

// What one shown toast reports to.
struct ToastEventContext {
  std::weak_ptr<zrk::Webview> webview;
  uint32_t channel = 0;
  std::string id;
};

// Reports a toast's events on its page channel. Its context is found in toastContexts under its
// own address; it leaves there at the toast's final event (dismissed, failed) or when the
// notifier lets the handler go (the toast was hidden, cleared or never shown).
class ToastEventHandler final : public toast::Handler {
 public:
  ~ToastEventHandler() override;
  void toastActivated(const std::u16string& arguments) override;
  void toastActivated() override;
  void toastDismissed(int32_t reason) override;
  void toastFailed() override;

  // Sends {"event", "id"[, "actionId" | "reason"]} as JSON text on the context's channel. An
  // "activated" without an action id, or any other event name, sends nothing.
  static void sendEvent(const ToastEventContext& context, const std::string& event,
                        const std::string& value);
};

// The contexts of the toasts that may still report, by handler address.
std::mutex& toastContextsMutex();
std::map<const ToastEventHandler*, ToastEventContext>& toastContexts();
size_t toastContextCount();

void registerNotificationPlugin();

// On the UI thread once its loop has ended, while the main queue still serves: ends the UI
// thread's notifier, so the toasts still shown are hidden, their handlers let go, and the
// platform's signal thread has stopped when this returns. Later toasts are not shown.
void stopNotifications();

}  // namespace zrk::plugin
