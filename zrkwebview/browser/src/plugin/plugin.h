// The base of every plugin (a named object whose commands pages call through "/plugin"), the
// process-wide registry that holds the plugins by name, and the command table every plugin's
// invoke is built on.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "vesk/tobject.h"

namespace http {
class HttpRequest;
class HttpResponse;
class HttpResponseConnection;
}  // namespace http

namespace zrk {
class Webview;
}

namespace zrk::plugin {

class Plugin : public Vesk::TObject {
  VESK_DECLARE_CLASS(Plugin, Vesk::TObject, "zrk::plugin")

 public:
  // Writes "Plugin::Plugin()" to standard output, one line per plugin made.
  Plugin();
  ~Plugin() override = default;

  virtual const std::string& name() const { return name_; }
  virtual const std::string& description() const { return description_; }
  virtual const std::string& version() const { return version_; }
  // A page script run at the creation of every document; empty for most plugins.
  virtual std::string initScript() { return std::string(); }
  // Runs one command. The result is in practice an http::HttpResponse; empty for a command the
  // plugin does not have. webview and request may be null. May be called from several request
  // threads at once.
  virtual std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                                http::HttpResponseConnection* connection,
                                                http::HttpRequest* request,
                                                const nlohmann::json& payload) = 0;

  // Filled by the plugin's registration function before it is registered, never changed after.
  void setName(std::string name) { name_ = std::move(name); }
  void setDescription(std::string description) { description_ = std::move(description); }
  void setVersion(std::string version) { version_ = std::move(version); }

 protected:
  std::string name_;
  std::string description_;
  std::string version_;
};

// The process-wide table of plugins by name, under a reader-writer lock that is never held while
// a plugin runs.
class PluginRegistry {
 public:
  // Stores the plugin under its name, replacing (and releasing) one of the same name. Commands of
  // a replaced plugin that are running finish normally.
  static void add(const std::shared_ptr<Plugin>& plugin);
  // Runs the command of the plugin of that name (exact comparison) and returns what it returned;
  // empty when no plugin has that name. Exceptions from the command pass through.
  static std::shared_ptr<Vesk::TObject> dispatch(const std::string& pluginName,
                                                 const std::string& command,
                                                 zrk::Webview* webview,
                                                 http::HttpResponseConnection* connection,
                                                 http::HttpRequest* request,
                                                 const nlohmann::json& payload);
  // Calls the visitor once for every registered plugin, in the order of their names. The visitor
  // runs on a snapshot taken under the lock, so it may itself register plugins.
  static void forEach(const std::function<void(const std::shared_ptr<Plugin>&)>& visitor);
  // The plugin of that name, or empty.
  static std::shared_ptr<Plugin> find(const std::string& pluginName);
};

// One command of a plugin: gets the payload, the webview and the request, answers with a response
// (or empty for "no response").
using CommandHandler = std::function<std::shared_ptr<http::HttpResponse>(
    const nlohmann::json& payload, zrk::Webview* webview, http::HttpRequest* request)>;
// Command name to command. Plugins build it anew inside every invoke: nothing of it outlives the
// call.
using CommandTable = std::map<std::string, CommandHandler>;

// Looks the command up (exact comparison) and runs it; empty for a command that is not in the
// table (nothing is logged).
std::shared_ptr<Vesk::TObject> runCommand(const CommandTable& table, const std::string& command,
                                          const nlohmann::json& payload, zrk::Webview* webview,
                                          http::HttpRequest* request);

// runCommand for plugins whose commands report bad input by throwing: an exception a command
// throws becomes a 400 reply carrying its text.
std::shared_ptr<Vesk::TObject> runCommandOr400(const CommandTable& table,
                                               const std::string& command,
                                               const nlohmann::json& payload,
                                               zrk::Webview* webview, http::HttpRequest* request);

// Registers one plugin of type P the first time it is called in the process; later calls do
// nothing. Name, description and version are set when given (plugins that set their own in their
// constructor pass none).
template <class P>
void registerPluginOnce(const char* name = nullptr, const char* description = nullptr,
                        const char* version = nullptr) {
  static const bool registered = [&] {
    auto plugin = std::make_shared<P>();
    if (name != nullptr) plugin->setName(name);
    if (description != nullptr) plugin->setDescription(description);
    if (version != nullptr) plugin->setVersion(version);
    PluginRegistry::add(plugin);
    return true;
  }();
  (void)registered;
}

}  // namespace zrk::plugin
