#include "zrkwebview/browser/src/plugin/jb-plugin.h"

#include <atomic>
#include <exception>
#include <map>
#include <mutex>

#include "vesk/log.h"

namespace zrk::plugin {

namespace {

std::atomic<long> helloPlugins{0};

// Both made on first use, so that registrations during static initialisation find them ready.
std::map<std::string, JBPluginEntry>& registry() {
  static std::map<std::string, JBPluginEntry> entries;
  return entries;
}

std::mutex& registryMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

HelloPlugin::HelloPlugin() { ++helloPlugins; }

HelloPlugin::~HelloPlugin() { --helloPlugins; }

nlohmann::json HelloPlugin::handle(const nlohmann::json& message) {
  return {{"hello", message}};
}

std::shared_ptr<HelloPlugin> HelloPlugin::create() {
  auto plugin = std::make_shared<HelloPlugin>();
  plugin->setSelf(plugin);
  return plugin;
}

long HelloPlugin::liveCount() { return helloPlugins.load(); }

void JBPluginRegistry::add(const std::shared_ptr<JBPlugin>& plugin, JBPluginFactory factory) {
  if (!plugin) return;
  std::lock_guard<std::mutex> lock(registryMutex());
  auto& entries = registry();
  if (entries.count(plugin->name()) != 0) return;
  JBPluginEntry entry;
  const bool perCall = plugin->instancePerCall();
  entry.description = plugin->description();
  entry.version = plugin->version();
  entry.initScript = plugin->initScript();
  entry.factory = std::move(factory);
  if (!perCall) entry.instance = plugin;
  entries.emplace(plugin->name(), std::move(entry));
}

void JBPluginRegistry::add(JBPluginFactory factory) {
  if (!factory) return;
  std::shared_ptr<JBPlugin> plugin;
  try {
    plugin = std::dynamic_pointer_cast<JBPlugin>(factory());
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("bridge plugin factory failed: %s", e.what());
    return;
  } catch (...) {
    ZRK_LOG_ERROR("bridge plugin factory failed: %s", "unknown exception");
    return;
  }
  if (!plugin) {
    ZRK_LOG_ERROR("bridge plugin factory made no bridge plugin");
    return;
  }
  add(plugin, std::move(factory));
}

std::optional<JBPluginEntry> JBPluginRegistry::entry(const std::string& name) {
  std::lock_guard<std::mutex> lock(registryMutex());
  auto& entries = registry();
  auto it = entries.find(name);
  if (it == entries.end()) return std::nullopt;
  return it->second;
}

namespace {

// "hello" is registered before main; the plugin made for it is released at once.
const bool helloRegistered = [] {
  auto plugin = std::make_shared<HelloPlugin>();
  JBPluginRegistry::add(plugin, [] { return std::static_pointer_cast<Vesk::TObject>(HelloPlugin::create()); });
  return true;
}();

}  // namespace

}  // namespace zrk::plugin
