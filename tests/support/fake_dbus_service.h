// What the tests' fake D-Bus services share: a connection of their own to a bus given by address,
// one object served from an introspection text, the well-known name owned, and a thread that runs
// the connection's main loop. A service's handlers run on that thread.
#pragma once

#include <string>
#include <thread>

#include <gio/gio.h>

namespace pel::test {

class FakeDbusService {
 public:
  FakeDbusService(const FakeDbusService&) = delete;
  FakeDbusService& operator=(const FakeDbusService&) = delete;

  // Whether the service owns its name on the bus.
  bool ready() const { return ready_; }

 protected:
  FakeDbusService() = default;
  // Stops the thread; a service whose handlers use its own members calls stop() first thing in
  // its destructor, so that no handler runs while they go.
  ~FakeDbusService() {
    stop();
    if (connection_ != nullptr) {
      if (registration_ != 0) g_dbus_connection_unregister_object(connection_, registration_);
      g_dbus_connection_close_sync(connection_, nullptr, nullptr);
      g_object_unref(connection_);
    }
    if (info_ != nullptr) g_dbus_node_info_unref(info_);
    if (loop_ != nullptr) g_main_loop_unref(loop_);
    if (context_ != nullptr) g_main_context_unref(context_);
  }

  // Connects to the bus at `address`, serves the first interface of `xml` on `path` through
  // `vtable` (its handlers get `data`), asks for `name` and starts the thread. ready() says
  // whether the name was had.
  void start(const std::string& address, const char* xml, const char* path, const char* name,
             const GDBusInterfaceVTable* vtable, gpointer data) {
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    connection_ = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (connection_ == nullptr) return;
    g_dbus_connection_set_exit_on_close(connection_, FALSE);
    info_ = g_dbus_node_info_new_for_xml(xml, nullptr);
    // Registered from the loop's context, so that the calls are served on the service's thread.
    g_main_context_push_thread_default(context_);
    registration_ = g_dbus_connection_register_object(connection_, path, info_->interfaces[0], vtable, data,
                                                      nullptr, nullptr);
    g_main_context_pop_thread_default(context_);
    GVariant* owned = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", name, 4u /* DBUS_NAME_FLAG_DO_NOT_QUEUE */), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (owned != nullptr) {
      ready_ = true;
      g_variant_unref(owned);
    }
    thread_ = std::thread([this] {
      g_main_context_push_thread_default(context_);
      g_main_loop_run(loop_);
      g_main_context_pop_thread_default(context_);
    });
  }

  void stop() {
    if (!thread_.joinable()) return;
    // From inside the loop: a quit before the thread reached g_main_loop_run would be lost.
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer loop) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        loop_, nullptr);
    g_source_attach(quit, context_);
    g_source_unref(quit);
    thread_.join();
  }

  GDBusConnection* connection() const { return connection_; }
  // The introspection data start() parsed (the interfaces after the first are the service's own
  // to serve on other objects).
  GDBusNodeInfo* info() const { return info_; }

 private:
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  GDBusConnection* connection_ = nullptr;
  GDBusNodeInfo* info_ = nullptr;
  guint registration_ = 0;
  bool ready_ = false;
  std::thread thread_;
};

}  // namespace pel::test
