#include "toast/dbus_platform.h"

#include <cstdlib>
#include <random>

#include <gio/gio.h>
#include <sys/stat.h>

#include "desk/nested_loop.h"
#include "desk/thread.h"
#include "vesk/strings.h"

namespace toast {

namespace {

constexpr const char* kName = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
// No call waits longer than this for the server.
constexpr int kCallTimeoutMs = 5000;

const xmlChar* X(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

std::string attribute(xmlNodePtr node, const char* name) {
  xmlChar* value = xmlGetProp(node, X(name));
  std::string text = value != nullptr ? reinterpret_cast<const char*>(value) : "";
  xmlFree(value);
  return text;
}

std::string content(xmlNodePtr node) {
  xmlChar* value = xmlNodeGetContent(node);
  std::string text = value != nullptr ? reinterpret_cast<const char*>(value) : "";
  xmlFree(value);
  return text;
}

bool named(xmlNodePtr node, const char* name) {
  return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, X(name)) == 0;
}

void walk(xmlNodePtr node, const std::function<void(xmlNodePtr)>& visit) {
  for (xmlNodePtr n = node; n != nullptr; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    visit(n);
    walk(n->children, visit);
  }
}

std::string escapeMarkup(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

// The file path of a logo reference ("file:///" and the path as given).
std::string logoPath(const std::string& src) {
  static const std::string kPrefix = "file:///";
  if (src.compare(0, kPrefix.size(), kPrefix) != 0) return src;
  std::string path = src.substr(kPrefix.size());
  // "file:///" + "/home/..." names the absolute path; a bare prefix names nothing.
  return path;
}

int32_t dismissReasonOf(uint32_t closedReason) {
  switch (closedReason) {
    case 1: return TimedOut;
    case 3: return ApplicationHidden;
    default: return UserCanceled;  // 2, dismissed by the user; 4 and others: undefined
  }
}

}  // namespace

NotifyRequest notifyRequestFromDocument(const Document& document, const std::string& appName,
                                        const std::string& desktopEntry, bool bodyMarkup) {
  NotifyRequest request;
  request.appName = appName;
  request.desktopEntry = desktopEntry;
  if (!document) return request;
  xmlNodePtr root = xmlDocGetRootElement(document.get());
  std::vector<std::string> lines;
  std::string attribution;
  std::string scenario;
  walk(root, [&](xmlNodePtr n) {
    if (named(n, "toast")) {
      const std::string duration = attribute(n, "duration");
      request.expireTimeout = duration == "short" ? 7000 : duration == "long" ? 25000 : -1;
      scenario = attribute(n, "scenario");
    } else if (named(n, "text")) {
      if (attribute(n, "placement") == "attribution") {
        attribution = content(n);
      } else {
        lines.push_back(content(n));
      }
    } else if (named(n, "image")) {
      const std::string src = attribute(n, "src");
      const bool logo = n->parent != nullptr && named(n->parent, "binding") &&
                        src.compare(0, 8, "file:///") == 0 && attribute(n, "placement") != "hero";
      if (logo) {
        const std::string path = logoPath(src);
        if (!path.empty()) request.appIcon = path;
      } else if (!src.empty()) {
        request.imagePath = src;
      }
    } else if (named(n, "action")) {
      request.actions.emplace_back(attribute(n, "arguments"), attribute(n, "content"));
    } else if (named(n, "audio")) {
      request.suppressSound = attribute(n, "silent") == "true";
      const std::string src = attribute(n, "src");
      // The system's sound events have no counterpart here; a file is played as it is.
      if (!src.empty() && src.rfind("ms-winsoundevent:", 0) != 0) request.soundFile = src;
    }
  });
  if (!lines.empty()) request.summary = lines.front();
  std::string body;
  for (size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    if (!body.empty()) body += "\n";
    body += lines[i];
  }
  if (!attribution.empty()) {
    if (!body.empty()) body += "\n";
    body += attribution;
  }
  request.body = bodyMarkup ? escapeMarkup(body) : body;
  if (scenario == "Alarm" || scenario == "Reminder" || scenario == "IncomingCall") {
    request.urgency = 2;
  }
  return request;
}

// ---- the platform ------------------------------------------------------------------------------

// Tells whoever waits for a signal thread that it has finished.
struct ThreadEnd {
  std::mutex mutex;
  bool done = false;
  desk::NestedLoop* waiter = nullptr;

  void finish() {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    if (waiter != nullptr) waiter->end(0);
  }
  // Serves the calling thread's queue until the signal thread has finished.
  void waitServing() {
    desk::NestedLoop loop;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (done) return;
      waiter = &loop;
    }
    loop.run();
    std::lock_guard<std::mutex> lock(mutex);
    waiter = nullptr;
  }
};

// The thread that delivers one connection's signals, running a main context of its own. GDBus
// delivers a subscription's signals in the context that was the thread default when it was made,
// and a context can only be made the default while no other thread runs it: so the subscriptions
// are made before the thread starts, and a new connection gets a new thread.
struct SignalThread {
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  std::thread thread;
  std::shared_ptr<ThreadEnd> end;

  SignalThread() : context(g_main_context_new()), loop(g_main_loop_new(context, FALSE)) {}

  void start() {
    end = std::make_shared<ThreadEnd>();
    // The thread keeps its own references: it may outlive the platform (see stop()).
    thread = std::thread([loop = g_main_loop_ref(loop), context = g_main_context_ref(context),
                          end = end] {
      g_main_context_push_thread_default(context);
      g_main_loop_run(loop);
      g_main_context_pop_thread_default(context);
      g_main_loop_unref(loop);
      g_main_context_unref(context);
      end->finish();
    });
  }

  // Asks the loop to end. A quit that comes before the loop runs is lost; a source in the loop's
  // context ends it whenever it runs.
  void quit() {
    GSource* source = g_idle_source_new();
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop*>(data));
          return G_SOURCE_REMOVE;
        },
        g_main_loop_ref(loop), reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
    g_source_attach(source, context);
    g_source_unref(source);
    g_main_loop_quit(loop);
  }

  // Waits for the thread after quit(), and lets the context go.
  void finish() {
    if (thread.joinable()) {
      // The last owner may go on the signal thread itself (from a sink): it then ends on its own.
      if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
      } else {
        // An event on its way to a page may be waiting for the UI thread (a webview sends its
        // messages there): stopped on the UI thread, the platform keeps serving its queue until
        // the signal thread has finished, so the two never wait for each other.
        if (end && desk::GetCurrentThreadId() == desk::uiThreadId()) end->waitServing();
        thread.join();
      }
    }
    if (loop != nullptr) g_main_loop_unref(loop);
    if (context != nullptr) g_main_context_unref(context);
    loop = nullptr;
    context = nullptr;
  }
};

struct DBusPlatform::Shared {
  std::mutex mutex;
  std::string address;
  bool stopped = false;
  GDBusConnection* connection = nullptr;
  // One per connection made; the last serves the current one, the earlier ones were told to quit.
  std::vector<std::unique_ptr<SignalThread>> threads;
  guint closedSubscription = 0;
  guint actionSubscription = 0;
  // Shown toasts by the server's id.
  std::map<uint32_t, std::shared_ptr<EventSink>> sinks;

  std::shared_ptr<EventSink> sinkOf(uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sinks.find(id);
    return it == sinks.end() ? nullptr : it->second;
  }

  static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                       const gchar* signal, GVariant* parameters, gpointer data) {
    auto* self = static_cast<Shared*>(data);
    if (g_strcmp0(signal, "NotificationClosed") == 0 &&
        g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
      guint32 id = 0, reason = 0;
      g_variant_get(parameters, "(uu)", &id, &reason);
      // No lock is held while the sink runs.
      if (auto sink = self->sinkOf(id)) sink->dismissed(dismissReasonOf(reason));
    } else if (g_strcmp0(signal, "ActionInvoked") == 0 &&
               g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
      guint32 id = 0;
      const gchar* key = nullptr;
      g_variant_get(parameters, "(u&s)", &id, &key);
      if (auto sink = self->sinkOf(id)) {
        const std::string action = key != nullptr ? key : "";
        if (action == "default" || action.empty()) {
          sink->activated(std::nullopt);
        } else {
          sink->activated(zrk::toUtf16(action));
        }
      }
    }
  }

  // Drops a connection (under the mutex). Subscriptions go first, so no signal is delivered
  // for it afterwards, and its thread is told to end.
  void dropConnection() {
    if (connection == nullptr) return;
    if (closedSubscription) g_dbus_connection_signal_unsubscribe(connection, closedSubscription);
    if (actionSubscription) g_dbus_connection_signal_unsubscribe(connection, actionSubscription);
    closedSubscription = actionSubscription = 0;
    g_object_unref(connection);
    connection = nullptr;
    if (!threads.empty()) threads.back()->quit();
  }
};

DBusPlatform::DBusPlatform(std::string address) : shared_(std::make_shared<Shared>()) {
  shared_->address = std::move(address);
}

DBusPlatform::~DBusPlatform() { stop(); }

void DBusPlatform::stop() {
  std::vector<std::unique_ptr<SignalThread>> threads;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->stopped) return;
    shared_->stopped = true;
    if (shared_->connection != nullptr) {
      g_dbus_connection_close_sync(shared_->connection, nullptr, nullptr);
    }
    shared_->dropConnection();
    shared_->sinks.clear();
    threads.swap(shared_->threads);
  }
  for (auto& thread : threads) thread->finish();
}

GDBusConnection* DBusPlatform::connection() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  Shared& s = *shared_;
  if (s.stopped) return nullptr;
  if (s.connection != nullptr && !g_dbus_connection_is_closed(s.connection)) {
    return G_DBUS_CONNECTION(g_object_ref(s.connection));
  }
  s.dropConnection();

  std::string address = s.address;
  if (address.empty()) {
    // The session bus of the environment, never one started on demand.
    const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (env != nullptr && env[0] != '\0') {
      address = env;
    } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) {
      const std::string socket = std::string(runtime) + "/bus";
      struct stat info;
      if (::stat(socket.c_str(), &info) == 0) address = "unix:path=" + socket;
    }
    if (address.empty()) return nullptr;
  }

  GError* error = nullptr;
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (connection == nullptr) {
    g_clear_error(&error);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  auto thread = std::make_unique<SignalThread>();
  g_main_context_push_thread_default(thread->context);
  s.closedSubscription = g_dbus_connection_signal_subscribe(
      connection, nullptr, kInterface, "NotificationClosed", kPath, nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE, &Shared::onSignal, &s, nullptr);
  s.actionSubscription = g_dbus_connection_signal_subscribe(
      connection, nullptr, kInterface, "ActionInvoked", kPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      &Shared::onSignal, &s, nullptr);
  g_main_context_pop_thread_default(thread->context);
  thread->start();
  s.threads.push_back(std::move(thread));
  s.connection = connection;
  return G_DBUS_CONNECTION(g_object_ref(connection));
}

namespace {

struct ConnectionRef {
  GDBusConnection* c;
  ~ConnectionRef() {
    if (c != nullptr) g_object_unref(c);
  }
};

// The reply of a bus call, or null (with the failure dropped).
GVariant* call(GDBusConnection* c, const char* destination, const char* path,
               const char* interface, const char* method, GVariant* parameters,
               const char* replyType) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      c, destination, path, interface, method, parameters, G_VARIANT_TYPE(replyType),
      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
  g_clear_error(&error);
  return reply;
}

bool nameListed(GDBusConnection* c, const char* method) {
  GVariant* reply = call(c, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         method, nullptr, "(as)");
  if (reply == nullptr) return false;
  bool found = false;
  GVariantIter* iter = nullptr;
  const gchar* name = nullptr;
  g_variant_get(reply, "(as)", &iter);
  while (g_variant_iter_loop(iter, "&s", &name)) {
    if (g_strcmp0(name, kName) == 0) found = true;
  }
  g_variant_iter_free(iter);
  g_variant_unref(reply);
  return found;
}

bool hasCapability(GDBusConnection* c, const char* capability) {
  GVariant* reply = call(c, kName, kPath, kInterface, "GetCapabilities", nullptr, "(as)");
  if (reply == nullptr) return false;
  bool found = false;
  GVariantIter* iter = nullptr;
  const gchar* name = nullptr;
  g_variant_get(reply, "(as)", &iter);
  while (g_variant_iter_loop(iter, "&s", &name)) {
    if (g_strcmp0(name, capability) == 0) found = true;
  }
  g_variant_iter_free(iter);
  g_variant_unref(reply);
  return found;
}

}  // namespace

bool DBusPlatform::isCompatible() {
  ConnectionRef c{connection()};
  if (c.c == nullptr) return false;
  GVariant* owned = call(c.c, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", kName), "(b)");
  if (owned != nullptr) {
    gboolean has = FALSE;
    g_variant_get(owned, "(b)", &has);
    g_variant_unref(owned);
    if (has) return true;
  }
  return nameListed(c.c, "ListActivatableNames");
}

// The desktop entry names the application; there is no process-wide identity to set.
bool DBusPlatform::setProcessAppUserModelId(const std::u16string& id) { return !id.empty(); }

bool DBusPlatform::createNotifier(const std::u16string&) {
  ConnectionRef c{connection()};
  return c.c != nullptr;
}

bool DBusPlatform::createNotification(Notification& notification) {
  return static_cast<bool>(notification.document);
}

// The server decides how long a notification stays; the expiration is only the notifier's.
bool DBusPlatform::setExpiration(Notification&, int64_t) { return true; }

std::optional<uint32_t> DBusPlatform::newToastId() {
  static thread_local std::mt19937 generator{std::random_device{}()};
  return static_cast<uint32_t>(generator());
}

// The sink is registered once the server has numbered the toast (show).
bool DBusPlatform::addHandlers(Notification& notification) {
  return notification.sink != nullptr;
}

void DBusPlatform::removeHandlers(Notification& notification) {
  std::shared_ptr<EventSink> released;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    auto it = shared_->sinks.find(notification.platformId);
    if (it == shared_->sinks.end() || it->second != notification.sink) return;
    released = std::move(it->second);
    shared_->sinks.erase(it);
  }
}

bool DBusPlatform::show(Notification& notification) {
  ConnectionRef c{connection()};
  if (c.c == nullptr) return false;
  const NotifyRequest request = notifyRequestFromDocument(
      notification.document, zrk::toUtf8(notification.appName), zrk::toUtf8(notification.appName),
      hasCapability(c.c, "body-markup"));

  GVariantBuilder actions;
  g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
  // A click on the notification's body.
  g_variant_builder_add(&actions, "s", "default");
  g_variant_builder_add(&actions, "s", "");
  for (const auto& [key, label] : request.actions) {
    g_variant_builder_add(&actions, "s", key.c_str());
    g_variant_builder_add(&actions, "s", label.c_str());
  }
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(static_cast<guchar>(request.urgency)));
  if (!request.desktopEntry.empty()) {
    g_variant_builder_add(&hints, "{sv}", "desktop-entry",
                          g_variant_new_string(request.desktopEntry.c_str()));
  }
  if (!request.imagePath.empty()) {
    g_variant_builder_add(&hints, "{sv}", "image-path",
                          g_variant_new_string(request.imagePath.c_str()));
  }
  if (!request.soundFile.empty()) {
    g_variant_builder_add(&hints, "{sv}", "sound-file",
                          g_variant_new_string(request.soundFile.c_str()));
  }
  if (request.suppressSound) {
    g_variant_builder_add(&hints, "{sv}", "suppress-sound", g_variant_new_boolean(TRUE));
  }
  GVariant* parameters = g_variant_new(
      "(susssasa{sv}i)", request.appName.c_str(), request.replacesId, request.appIcon.c_str(),
      request.summary.c_str(), request.body.c_str(), &actions, &hints, request.expireTimeout);

  // The server's number is known only from the reply: a signal it sent for the toast before
  // the reply was read finds no sink.
  GVariant* reply = call(c.c, kName, kPath, kInterface, "Notify", parameters, "(u)");
  if (reply == nullptr) return false;
  guint32 serverId = 0;
  g_variant_get(reply, "(u)", &serverId);
  g_variant_unref(reply);
  notification.platformId = serverId;
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->stopped) return false;
  shared_->sinks[serverId] = notification.sink;
  return true;
}

bool DBusPlatform::hide(Notification& notification) {
  if (notification.platformId == 0) return false;
  ConnectionRef c{connection()};
  if (c.c == nullptr) return false;
  GVariant* reply = call(c.c, kName, kPath, kInterface, "CloseNotification",
                         g_variant_new("(u)", notification.platformId), "()");
  if (reply == nullptr) return false;
  g_variant_unref(reply);
  return true;
}

}  // namespace toast
