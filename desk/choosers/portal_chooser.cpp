#include "desk/choosers/portal_chooser.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include <gio/gio.h>

namespace desk::choosers {

namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kChooserInterface = "org.freedesktop.portal.FileChooser";
constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
// OpenFile and SaveFile answer with the request's handle at once; the chooser's own answer
// comes later as a signal, without a time limit.
constexpr int kCallTimeoutMs = 10000;

std::string sessionBusAddress() {
  const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (env != nullptr && env[0] != '\0') return env;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) {
    const std::string socket = std::string(runtime) + "/bus";
    struct stat info;
    if (::stat(socket.c_str(), &info) == 0) return "unix:path=" + socket;
  }
  return std::string();
}

std::string handleToken() {
  static std::atomic<unsigned> counter{0};
  static thread_local std::mt19937 generator{std::random_device{}()};
  return "pelmora" + std::to_string(counter.fetch_add(1) + 1) + "_" +
         std::to_string(generator() % 1000000u);
}

// The request object the portal makes for a call with `token`: the caller's unique name without
// its ":" and with "." turned into "_".
std::string requestPath(GDBusConnection* connection, const std::string& token) {
  std::string sender = g_dbus_connection_get_unique_name(connection);
  if (!sender.empty() && sender[0] == ':') sender.erase(0, 1);
  for (char& c : sender) {
    if (c == '.') c = '_';
  }
  return std::string(kPortalPath) + "/request/" + sender + "/" + token;
}

GVariant* filterVariant(const FileFilter& filter) {
  GVariantBuilder patterns;
  g_variant_builder_init(&patterns, G_VARIANT_TYPE("a(us)"));
  for (const std::string& p : filter.patterns) {
    g_variant_builder_add(&patterns, "(us)", 0u, p.c_str());  // 0: a glob
  }
  return g_variant_new("(s@a(us))", filter.name.c_str(), g_variant_builder_end(&patterns));
}

GVariant* optionsVariant(const FileRequest& request, const std::string& token) {
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
  g_variant_builder_add(&options, "{sv}", "modal", g_variant_new_boolean(TRUE));
  if (!request.acceptLabel.empty()) {
    g_variant_builder_add(&options, "{sv}", "accept_label",
                          g_variant_new_string(request.acceptLabel.c_str()));
  }
  if (!request.save) {
    g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(request.multiple));
    if (request.directory) {
      g_variant_builder_add(&options, "{sv}", "directory", g_variant_new_boolean(TRUE));
    }
  }
  if (!request.filters.empty()) {
    GVariantBuilder filters;
    g_variant_builder_init(&filters, G_VARIANT_TYPE("a(sa(us))"));
    for (const FileFilter& f : request.filters) g_variant_builder_add_value(&filters, filterVariant(f));
    g_variant_builder_add(&options, "{sv}", "filters", g_variant_builder_end(&filters));
    if (request.currentFilter && *request.currentFilter < request.filters.size()) {
      g_variant_builder_add(&options, "{sv}", "current_filter",
                            filterVariant(request.filters[*request.currentFilter]));
    }
  }
  if (!request.choices.empty()) {
    GVariantBuilder choices;
    g_variant_builder_init(&choices, G_VARIANT_TYPE("a(ssa(ss)s)"));
    for (const CheckChoice& c : request.choices) {
      // No options: a boolean choice, shown as a check box, valued "true" or "false".
      g_variant_builder_add(&choices, "(ss@a(ss)s)", c.id.c_str(), c.label.c_str(),
                            g_variant_new_array(G_VARIANT_TYPE("(ss)"), nullptr, 0),
                            c.checked ? "true" : "false");
    }
    g_variant_builder_add(&options, "{sv}", "choices", g_variant_builder_end(&choices));
  }
  if (!request.currentFolder.empty()) {
    // A byte string with its terminating zero, as file names are on the bus.
    g_variant_builder_add(&options, "{sv}", "current_folder",
                          g_variant_new_bytestring(request.currentFolder.c_str()));
  }
  if (request.save && !request.currentName.empty()) {
    g_variant_builder_add(&options, "{sv}", "current_name",
                          g_variant_new_string(request.currentName.c_str()));
  }
  return g_variant_builder_end(&options);
}

FileAnswer answerOf(guint32 response, GVariant* results) {
  FileAnswer answer;
  if (response == 1) {
    answer.outcome = Outcome::Cancelled;
    return answer;
  }
  if (response != 0) {
    answer.outcome = Outcome::Failed;
    answer.error = "the portal ended the request (" + std::to_string(response) + ")";
    return answer;
  }
  answer.outcome = Outcome::Chosen;
  if (GVariant* uris = g_variant_lookup_value(results, "uris", G_VARIANT_TYPE_STRING_ARRAY)) {
    gsize count = 0;
    const gchar** list = g_variant_get_strv(uris, &count);
    for (gsize i = 0; i < count; ++i) {
      gchar* path = g_filename_from_uri(list[i], nullptr, nullptr);
      if (path != nullptr) {
        answer.paths.emplace_back(path);
        g_free(path);
      } else {
        answer.notLocal.insert(answer.paths.size());
        answer.paths.emplace_back(list[i]);
      }
    }
    g_free(list);
    g_variant_unref(uris);
  }
  if (GVariant* choices = g_variant_lookup_value(results, "choices", G_VARIANT_TYPE("a(ss)"))) {
    GVariantIter iter;
    g_variant_iter_init(&iter, choices);
    const gchar* id = nullptr;
    const gchar* value = nullptr;
    while (g_variant_iter_next(&iter, "(&s&s)", &id, &value)) {
      answer.choices[id] = g_strcmp0(value, "true") == 0;
    }
    g_variant_unref(choices);
  }
  return answer;
}

}  // namespace

struct PortalFileChooser::State {
  std::mutex mutex;
  GDBusConnection* connection = nullptr;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  std::thread thread;
  guint subscription = 0;
  std::string handle;  // the request object
  bool started = false;
  std::function<void(FileAnswer)> done;  // taken by the first end

  // Runs `done` once; later ends do nothing.
  void finish(FileAnswer answer) {
    std::function<void(FileAnswer)> call;
    {
      std::lock_guard<std::mutex> lock(mutex);
      call = std::move(done);
      done = nullptr;
      if (subscription != 0 && connection != nullptr) {
        g_dbus_connection_signal_unsubscribe(connection, subscription);
      }
      subscription = 0;
    }
    if (call) call(std::move(answer));
  }

  // Listens for Response on `path` (under the mutex), in the connection thread's context: called
  // before that thread runs, or on it.
  void subscribe(const std::string& path, const std::shared_ptr<State>& self) {
    if (subscription != 0) g_dbus_connection_signal_unsubscribe(connection, subscription);
    handle = path;
    g_main_context_push_thread_default(context);
    subscription = g_dbus_connection_signal_subscribe(
        connection, nullptr, kRequestInterface, "Response", path.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        &State::onResponse, new std::weak_ptr<State>(self), &State::dropWeak);
    g_main_context_pop_thread_default(context);
  }

  static void dropWeak(gpointer data) { delete static_cast<std::weak_ptr<State>*>(data); }

  static void onResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                         GVariant* parameters, gpointer data) {
    auto self = static_cast<std::weak_ptr<State>*>(data)->lock();
    if (!self || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) return;
    guint32 response = 2;
    GVariant* results = nullptr;
    g_variant_get(parameters, "(u@a{sv})", &response, &results);
    FileAnswer answer = answerOf(response, results);
    g_variant_unref(results);
    self->finish(std::move(answer));
  }

  static void onCalled(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::weak_ptr<State>> weak(static_cast<std::weak_ptr<State>*>(data));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    auto self = weak->lock();
    if (reply == nullptr) {
      FileAnswer failed;
      failed.outcome = Outcome::Failed;
      failed.error = error != nullptr ? error->message : "the portal did not answer";
      g_clear_error(&error);
      if (self) self->finish(std::move(failed));
      return;
    }
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    if (self) {
      std::lock_guard<std::mutex> lock(self->mutex);
      // An older portal makes its own handle: listen there instead (an answer sent before this
      // point is lost, which only such portals risk).
      if (self->done && path != nullptr && self->handle != path) self->subscribe(path, self);
    }
    g_variant_unref(reply);
  }
};

std::shared_ptr<PortalFileChooser> PortalFileChooser::connect(const std::string& address,
                                                              std::string& error) {
  const std::string bus = address.empty() ? sessionBusAddress() : address;
  if (bus.empty()) {
    error = "no session bus";
    return nullptr;
  }
  GError* failure = nullptr;
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      bus.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &failure);
  if (connection == nullptr) {
    error = failure != nullptr ? failure->message : "cannot connect to the bus";
    g_clear_error(&failure);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  std::shared_ptr<PortalFileChooser> chooser(new PortalFileChooser());
  auto state = std::make_shared<State>();
  state->connection = connection;
  state->context = g_main_context_new();
  state->loop = g_main_loop_new(state->context, FALSE);
  chooser->state_ = std::move(state);
  return chooser;
}

PortalFileChooser::~PortalFileChooser() {
  if (!state_) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->subscription != 0) {
      g_dbus_connection_signal_unsubscribe(state_->connection, state_->subscription);
    }
    state_->subscription = 0;
    state_->done = nullptr;
  }
  if (state_->thread.joinable()) {
    // Quit from inside the loop: a quit before the thread reached g_main_loop_run would be lost.
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer loop) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        state_->loop, nullptr);
    g_source_attach(quit, state_->context);
    g_source_unref(quit);
    if (state_->thread.get_id() == std::this_thread::get_id()) {
      state_->thread.detach();
    } else {
      state_->thread.join();
    }
  }
  // A Close sent just before still goes out.
  g_dbus_connection_flush_sync(state_->connection, nullptr, nullptr);
  g_dbus_connection_close_sync(state_->connection, nullptr, nullptr);
  g_object_unref(state_->connection);
  g_main_loop_unref(state_->loop);
  // Pending callbacks' data (the weak references) is freed with the context's sources.
  g_main_context_unref(state_->context);
}

bool PortalFileChooser::available(uint32_t* version, int timeoutMs) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      state_->connection, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", kChooserInterface, "version"), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &error);
  if (reply == nullptr) {
    g_clear_error(&error);
    return false;
  }
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  const bool ok = g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32);
  if (ok && version != nullptr) *version = g_variant_get_uint32(value);
  g_variant_unref(value);
  g_variant_unref(reply);
  return ok;
}

bool PortalFileChooser::start(const FileRequest& request, std::function<void(FileAnswer)> done) {
  const std::string token = handleToken();
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->started) return false;
    state_->started = true;
    state_->done = std::move(done);
    // Listen before asking, so an answer that comes at once is not missed.
    state_->subscribe(requestPath(state_->connection, token), state_);
  }
  GVariant* parameters =
      g_variant_new("(ss@a{sv})", "", request.title.c_str(), optionsVariant(request, token));
  g_main_context_push_thread_default(state_->context);
  g_dbus_connection_call(state_->connection, kPortalName, kPortalPath, kChooserInterface,
                         request.save ? "SaveFile" : "OpenFile", parameters, G_VARIANT_TYPE("(o)"),
                         G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &State::onCalled,
                         new std::weak_ptr<State>(state_));
  g_main_context_pop_thread_default(state_->context);
  // The reply and the signal are served from here on by the connection's thread, which owns the
  // context from now (the subscription and the call above were made before it took it).
  GMainLoop* loop = state_->loop;
  GMainContext* context = state_->context;
  state_->thread = std::thread([loop, context] {
    g_main_context_push_thread_default(context);
    g_main_loop_run(loop);
    g_main_context_pop_thread_default(context);
  });
  return true;
}

void PortalFileChooser::close() {
  std::string handle;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->done) return;
    handle = state_->handle;
  }
  g_dbus_connection_call(state_->connection, kPortalName, handle.c_str(), kRequestInterface,
                         "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr,
                         nullptr, nullptr);
  state_->finish(FileAnswer{});
}

}  // namespace desk::choosers
