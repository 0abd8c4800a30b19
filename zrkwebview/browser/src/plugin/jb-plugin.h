// The page bridge's own, lighter plugin model: a named object with a description, a version, a
// page script and a call entry, kept with a factory in a process-wide registry by name. One such
// plugin exists, "hello", registered before main runs.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "vesk/tobject.h"

namespace zrk::plugin {

class JBPlugin : public Vesk::TObject {
  VESK_DECLARE_CLASS(JBPlugin, Vesk::TObject, "zrk::plugin")

 public:
  ~JBPlugin() override = default;

  // The registry key.
  virtual std::string name() const = 0;
  // The call entry a page call would reach: the base hands the call to handle.
  virtual nlohmann::json invoke(const nlohmann::json& message) { return handle(message); }
  virtual std::string description() const { return description_; }
  virtual std::string version() const { return version_; }
  virtual std::string initScript() const { return std::string(); }
  // True when every call is to get a fresh instance from the factory; false when the registered
  // instance serves every call.
  virtual bool instancePerCall() const { return true; }
  // The plugin's work for one call.
  virtual nlohmann::json handle(const nlohmann::json& message) = 0;

  // Empty unless the plugin was made by its create function.
  std::weak_ptr<JBPlugin> self() const { return self_; }

 protected:
  void setSelf(const std::shared_ptr<JBPlugin>& self) { self_ = self; }

  std::string description_;
  std::string version_;

 private:
  std::weak_ptr<JBPlugin> self_;
};

class HelloPlugin : public JBPlugin {
  VESK_DECLARE_CLASS(HelloPlugin, JBPlugin, "zrk::plugin")

 public:
  HelloPlugin();
  ~HelloPlugin() override;

  std::string name() const override { return "hello"; }
  nlohmann::json handle(const nlohmann::json& message) override;

  // A new plugin whose weak self-reference is set.
  static std::shared_ptr<HelloPlugin> create();
  // How many HelloPlugin objects exist right now.
  static long liveCount();
};

using JBPluginFactory = std::function<std::shared_ptr<Vesk::TObject>()>;

struct JBPluginEntry {
  std::string description;
  std::string version;
  std::string initScript;
  JBPluginFactory factory;
  // The registered plugin, kept only when it serves every call itself.
  std::weak_ptr<JBPlugin> instance;
};

// Plugins by name (byte order), under one process-wide mutex held for each whole operation. The
// plugin's own name, description, version, initScript and instancePerCall run under that mutex
// and must not use the registry.
class JBPluginRegistry {
 public:
  // Registers the plugin under its name; the first registration of a name stays, later ones are
  // dropped with their factory.
  static void add(const std::shared_ptr<JBPlugin>& plugin, JBPluginFactory factory);
  // Makes one plugin with the factory and registers it with that factory. A factory that makes
  // nothing, or something that is not a bridge plugin, registers nothing.
  static void add(JBPluginFactory factory);
  // A copy of the entry of that name, or nothing.
  static std::optional<JBPluginEntry> entry(const std::string& name);
};

}  // namespace zrk::plugin
