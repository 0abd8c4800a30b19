// A file-chooser portal of our own for tests: owns org.freedesktop.portal.Desktop on a bus given
// by address, serves FileChooser (OpenFile, SaveFile, the "version" property) on
// /org/freedesktop/portal/desktop, records every call with its options, and answers each request
// as the test says: a Response signal on the request object at once, or nothing until the caller
// sends Request.Close (which it records). It serves the bus on a thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gio/gio.h>

#include "support/fake_dbus_service.h"

namespace pel::test {

class FakePortal : public FakeDbusService {
 public:
  struct Call {
    std::string method;  // "OpenFile" or "SaveFile"
    std::string parentWindow;
    std::string title;
    std::map<std::string, std::string> options;  // each value printed by GVariant
    std::string handle;                          // the request object it answered with
  };
  struct Answer {
    bool hold = false;  // no Response: the request stays open until closed
    uint32_t response = 0;
    std::vector<std::string> uris;
    std::vector<std::pair<std::string, std::string>> choices;
  };

  explicit FakePortal(const std::string& address) {
    static const char* kXml =
        "<node><interface name='org.freedesktop.portal.FileChooser'>"
        "<method name='OpenFile'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='a{sv}' direction='in'/><arg type='o' direction='out'/></method>"
        "<method name='SaveFile'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='a{sv}' direction='in'/><arg type='o' direction='out'/></method>"
        "<property name='version' type='u' access='read'/>"
        "</interface>"
        "<interface name='org.freedesktop.portal.Request'><method name='Close'/></interface>"
        "</node>";
    static const GDBusInterfaceVTable kChooser = {&FakePortal::onCall, &FakePortal::onGet, nullptr,
                                                  {nullptr}};
    start(address, kXml, "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Desktop", &kChooser, this);
  }
  ~FakePortal() { stop(); }

  // The answer to every later request; `onCall` (optional) runs on the portal's thread when a
  // request arrives, before it is answered.
  void answerWith(Answer answer, std::function<void(const Call&)> onCall = nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::move(answer);
    onCall_ = std::move(onCall);
  }

  std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::vector<std::string> closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }
  // Waits (up to 10 s) until `count` requests have been closed.
  bool waitForClosed(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return closed_.size() >= count; });
  }

 private:
  static void onCall(GDBusConnection* connection, const gchar* sender, const gchar*, const gchar*,
                     const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                     gpointer data) {
    auto* self = static_cast<FakePortal*>(data);
    Call call;
    call.method = method;
    const gchar* parent = nullptr;
    const gchar* title = nullptr;
    GVariant* options = nullptr;
    g_variant_get(parameters, "(&s&s@a{sv})", &parent, &title, &options);
    call.parentWindow = parent;
    call.title = title;
    GVariantIter iter;
    g_variant_iter_init(&iter, options);
    const gchar* key = nullptr;
    GVariant* value = nullptr;
    while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
      gchar* printed = g_variant_print(value, TRUE);
      call.options[key] = printed;
      g_free(printed);
      g_variant_unref(value);
    }
    std::string token = "t";
    if (GVariant* t = g_variant_lookup_value(options, "handle_token", G_VARIANT_TYPE_STRING)) {
      token = g_variant_get_string(t, nullptr);
      g_variant_unref(t);
    }
    g_variant_unref(options);
    std::string name = sender + 1;  // without ":"
    for (char& c : name) {
      if (c == '.') c = '_';
    }
    call.handle = "/org/freedesktop/portal/desktop/request/" + name + "/" + token;
    Answer answer;
    std::function<void(const Call&)> hook;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->calls_.push_back(call);
      answer = self->answer_;
      hook = self->onCall_;
    }
    // The request object, which the caller may close.
    static const GDBusInterfaceVTable kRequest = {&FakePortal::onClose, nullptr, nullptr, {nullptr}};
    g_dbus_connection_register_object(connection, call.handle.c_str(), self->info()->interfaces[1],
                                      &kRequest, self, nullptr, nullptr);
    if (hook) hook(call);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", call.handle.c_str()));
    if (answer.hold) return;
    GVariantBuilder results;
    g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
    if (!answer.uris.empty()) {
      GVariantBuilder uris;
      g_variant_builder_init(&uris, G_VARIANT_TYPE_STRING_ARRAY);
      for (const std::string& u : answer.uris) g_variant_builder_add(&uris, "s", u.c_str());
      g_variant_builder_add(&results, "{sv}", "uris", g_variant_builder_end(&uris));
    }
    if (!answer.choices.empty()) {
      GVariantBuilder choices;
      g_variant_builder_init(&choices, G_VARIANT_TYPE("a(ss)"));
      for (const auto& [id, v] : answer.choices) g_variant_builder_add(&choices, "(ss)", id.c_str(), v.c_str());
      g_variant_builder_add(&results, "{sv}", "choices", g_variant_builder_end(&choices));
    }
    g_dbus_connection_emit_signal(connection, sender, call.handle.c_str(),
                                  "org.freedesktop.portal.Request", "Response",
                                  g_variant_new("(u@a{sv})", answer.response,
                                                g_variant_builder_end(&results)),
                                  nullptr);
  }

  static GVariant* onGet(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                         const gchar* property, GError**, gpointer) {
    return g_strcmp0(property, "version") == 0 ? g_variant_new_uint32(4) : nullptr;
  }

  static void onClose(GDBusConnection*, const gchar*, const gchar* path, const gchar*,
                      const gchar*, GVariant*, GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<FakePortal*>(data);
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->closed_.emplace_back(path);
    }
    self->changed_.notify_all();
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  Answer answer_;
  std::function<void(const Call&)> onCall_;
  std::vector<Call> calls_;
  std::vector<std::string> closed_;
};

}  // namespace pel::test
