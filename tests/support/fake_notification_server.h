// A notification server of our own for tests: owns org.freedesktop.Notifications on a bus given
// by address, records every Notify, answers GetCapabilities with the capabilities it was given,
// and sends NotificationClosed and ActionInvoked when the test says so. It serves the bus on a
// thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gio/gio.h>

#include "support/fake_dbus_service.h"

namespace pel::test {

class FakeNotificationServer : public FakeDbusService {
 public:
  struct Call {
    std::string appName;
    uint32_t replacesId = 0;
    std::string appIcon;
    std::string summary;
    std::string body;
    std::vector<std::string> actions;
    std::map<std::string, std::string> hints;  // each value printed by GVariant
    int32_t expireTimeout = 0;
    uint32_t id = 0;
  };

  FakeNotificationServer(const std::string& address, std::vector<std::string> capabilities)
      : capabilities_(std::move(capabilities)) {
    static const char* kXml =
        "<node><interface name='org.freedesktop.Notifications'>"
        "<method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
        "<arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='as' direction='in'/><arg type='a{sv}' direction='in'/>"
        "<arg type='i' direction='in'/><arg type='u' direction='out'/></method>"
        "<method name='CloseNotification'><arg type='u' direction='in'/></method>"
        "<method name='GetCapabilities'><arg type='as' direction='out'/></method>"
        "<method name='GetServerInformation'><arg type='s' direction='out'/>"
        "<arg type='s' direction='out'/><arg type='s' direction='out'/>"
        "<arg type='s' direction='out'/></method>"
        "</interface></node>";
    static const GDBusInterfaceVTable kVtable = {&FakeNotificationServer::onCall, nullptr,
                                                 nullptr, {nullptr}};
    start(address, kXml, "/org/freedesktop/Notifications", "org.freedesktop.Notifications", &kVtable, this);
  }
  ~FakeNotificationServer() { stop(); }

  // Waits (up to 5 s) until this many Notify calls arrived; the calls so far.
  std::vector<Call> waitForCalls(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(5), [&] { return calls_.size() >= count; });
    return calls_;
  }
  // The calls so far, without waiting (for a thread that has to keep pumping its own loop).
  std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::vector<uint32_t> closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }

  void emitClosed(uint32_t id, uint32_t reason) {
    emit("NotificationClosed", g_variant_new("(uu)", id, reason));
  }
  void emitAction(uint32_t id, const std::string& key) {
    emit("ActionInvoked", g_variant_new("(us)", id, key.c_str()));
  }

 private:
  void emit(const char* signal, GVariant* parameters) {
    g_dbus_connection_emit_signal(connection(), nullptr, "/org/freedesktop/Notifications",
                                  "org.freedesktop.Notifications", signal, parameters, nullptr);
    g_dbus_connection_flush_sync(connection(), nullptr, nullptr);
  }

  static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                     const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                     gpointer data) {
    auto* self = static_cast<FakeNotificationServer*>(data);
    if (g_strcmp0(method, "GetCapabilities") == 0) {
      GVariantBuilder caps;
      g_variant_builder_init(&caps, G_VARIANT_TYPE("as"));
      for (const auto& c : self->capabilities_) g_variant_builder_add(&caps, "s", c.c_str());
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(as)", &caps));
    } else if (g_strcmp0(method, "GetServerInformation") == 0) {
      g_dbus_method_invocation_return_value(invocation,
                                            g_variant_new("(ssss)", "fake", "pel", "1", "1.2"));
    } else if (g_strcmp0(method, "CloseNotification") == 0) {
      guint32 id = 0;
      g_variant_get(parameters, "(u)", &id);
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->closed_.push_back(id);
      }
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else if (g_strcmp0(method, "Notify") == 0) {
      Call call;
      const gchar *app, *icon, *summary, *body;
      GVariantIter* actions = nullptr;
      GVariantIter* hints = nullptr;
      g_variant_get(parameters, "(&su&s&s&sasa{sv}i)", &app, &call.replacesId, &icon, &summary,
                    &body, &actions, &hints, &call.expireTimeout);
      call.appName = app;
      call.appIcon = icon;
      call.summary = summary;
      call.body = body;
      const gchar* action = nullptr;
      while (g_variant_iter_loop(actions, "&s", &action)) call.actions.emplace_back(action);
      const gchar* key = nullptr;
      GVariant* value = nullptr;
      while (g_variant_iter_loop(hints, "{&sv}", &key, &value)) {
        gchar* printed = g_variant_print(value, FALSE);
        call.hints[key] = printed;
        g_free(printed);
      }
      g_variant_iter_free(actions);
      g_variant_iter_free(hints);
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        call.id = ++self->lastId_;
        self->calls_.push_back(call);
      }
      self->cv_.notify_all();
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", call.id));
    }
  }

  std::vector<std::string> capabilities_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Call> calls_;
  std::vector<uint32_t> closed_;
  uint32_t lastId_ = 0;
};

}  // namespace pel::test
