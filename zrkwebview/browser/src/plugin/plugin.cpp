#include "zrkwebview/browser/src/plugin/plugin.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace zrk::plugin {

namespace {

struct Registry {
  std::shared_mutex lock;
  std::unordered_map<std::string, std::shared_ptr<Plugin>> plugins;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

Plugin::Plugin() {
  std::fputs("Plugin::Plugin()\n", stdout);
  std::fflush(stdout);
}

void PluginRegistry::add(const std::shared_ptr<Plugin>& plugin) {
  if (!plugin) return;
  std::shared_ptr<Plugin> replaced;
  {
    Registry& r = registry();
    std::unique_lock guard(r.lock);
    auto& slot = r.plugins[plugin->name()];
    replaced = std::move(slot);
    slot = plugin;
  }
  // `replaced` is released here, outside the lock, so its destructor may use the registry.
}

std::shared_ptr<Plugin> PluginRegistry::find(const std::string& pluginName) {
  Registry& r = registry();
  std::shared_lock guard(r.lock);
  auto it = r.plugins.find(pluginName);
  return it == r.plugins.end() ? nullptr : it->second;
}

std::shared_ptr<Vesk::TObject> PluginRegistry::dispatch(const std::string& pluginName,
                                                        const std::string& command,
                                                        zrk::Webview* webview,
                                                        http::HttpResponseConnection* connection,
                                                        http::HttpRequest* request,
                                                        const nlohmann::json& payload) {
  // The request holds its own reference, so a plugin replaced meanwhile finishes this command.
  const std::shared_ptr<Plugin> plugin = find(pluginName);
  if (!plugin) return nullptr;
  return plugin->invoke(command, webview, connection, request, payload);
}

void PluginRegistry::forEach(const std::function<void(const std::shared_ptr<Plugin>&)>& visitor) {
  std::vector<std::pair<std::string, std::shared_ptr<Plugin>>> snapshot;
  {
    Registry& r = registry();
    std::shared_lock guard(r.lock);
    snapshot.assign(r.plugins.begin(), r.plugins.end());
  }
  std::sort(snapshot.begin(), snapshot.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& entry : snapshot) visitor(entry.second);
}

std::shared_ptr<Vesk::TObject> runCommand(const CommandTable& table, const std::string& command,
                                          const nlohmann::json& payload, zrk::Webview* webview,
                                          http::HttpRequest* request) {
  auto it = table.find(command);
  if (it == table.end() || !it->second) return nullptr;
  return it->second(payload, webview, request);
}

std::shared_ptr<Vesk::TObject> runCommandOr400(const CommandTable& table,
                                               const std::string& command,
                                               const nlohmann::json& payload,
                                               zrk::Webview* webview, http::HttpRequest* request) {
  try {
    return runCommand(table, command, payload, webview, request);
  } catch (const std::exception& e) {
    return std::make_shared<http::HttpStatusResponse>(400, std::string(e.what()));
  }
}

}  // namespace zrk::plugin
