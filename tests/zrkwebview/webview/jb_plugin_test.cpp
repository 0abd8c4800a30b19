// The bridge-plugin registry, process-wide and filled before main: its own executable.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/plugin/jb-plugin.h"

namespace {

using zrk::plugin::HelloPlugin;
using zrk::plugin::JBPlugin;
using zrk::plugin::JBPluginRegistry;

class NamedPlugin : public JBPlugin {
 public:
  NamedPlugin(std::string name, bool perCall, std::string description)
      : name_(std::move(name)), perCall_(perCall) {
    description_ = std::move(description);
    version_ = "2.0";
  }
  std::string name() const override { return name_; }
  std::string initScript() const override { return "/*" + name_ + "*/"; }
  bool instancePerCall() const override { return perCall_; }
  nlohmann::json handle(const nlohmann::json& message) override { return message; }

 private:
  std::string name_;
  bool perCall_;
};

TEST(JBPluginRegistryTest, HelloIsRegisteredAtStartUpAndNoInstanceSurvives) {
  EXPECT_EQ(HelloPlugin::liveCount(), 0);
  const auto entry = JBPluginRegistry::entry("hello");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->description, "");
  EXPECT_EQ(entry->version, "");
  EXPECT_EQ(entry->initScript, "");
  EXPECT_TRUE(entry->instance.expired());
  ASSERT_TRUE(entry->factory);

  // The factory makes a fresh plugin that knows itself.
  auto made = std::dynamic_pointer_cast<HelloPlugin>(entry->factory());
  ASSERT_TRUE(made);
  EXPECT_EQ(HelloPlugin::liveCount(), 1);
  EXPECT_EQ(made->self().lock(), made);
  EXPECT_EQ(made->name(), "hello");
  EXPECT_STREQ(made->className(), "HelloPlugin");
  EXPECT_TRUE(made->isKindOfClass(&JBPlugin::classDescriptor));
  EXPECT_TRUE(made->instancePerCall());
  EXPECT_EQ(made->invoke(1), (nlohmann::json{{"hello", 1}}));
  made.reset();
  EXPECT_EQ(HelloPlugin::liveCount(), 0);
}

TEST(JBPluginRegistryTest, TheFirstRegistrationOfANameWins) {
  int madeBy = 0;
  JBPluginRegistry::add(std::make_shared<NamedPlugin>("hello", false, "impostor"), [&] {
    madeBy = 1;
    return std::make_shared<NamedPlugin>("hello", false, "impostor");
  });
  auto entry = JBPluginRegistry::entry("hello");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->description, "");
  EXPECT_TRUE(std::dynamic_pointer_cast<HelloPlugin>(entry->factory()));
  EXPECT_EQ(madeBy, 0);

  // The factory-only form makes one plugin, registers it, and likewise keeps the first.
  JBPluginRegistry::add([] { return std::make_shared<NamedPlugin>("second", true, "first one"); });
  JBPluginRegistry::add([] { return std::make_shared<NamedPlugin>("second", true, "later one"); });
  entry = JBPluginRegistry::entry("second");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->description, "first one");
  EXPECT_EQ(entry->version, "2.0");
  EXPECT_EQ(entry->initScript, "/*second*/");

  // A factory that makes nothing usable registers nothing.
  JBPluginRegistry::add([] { return std::shared_ptr<Vesk::TObject>(); });
  JBPluginRegistry::add([]() -> std::shared_ptr<Vesk::TObject> { throw "no plugin"; });
  JBPluginRegistry::add(nullptr, [] { return std::shared_ptr<Vesk::TObject>(); });
  EXPECT_FALSE(JBPluginRegistry::entry(""));
}

TEST(JBPluginRegistryTest, ASharedInstanceIsHeldOnlyWeakly) {
  auto plugin = std::make_shared<NamedPlugin>("shared", false, "one for all");
  JBPluginRegistry::add(plugin, [] { return std::make_shared<NamedPlugin>("shared", false, "fresh"); });
  auto entry = JBPluginRegistry::entry("shared");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->instance.lock(), plugin);
  plugin.reset();
  entry = JBPluginRegistry::entry("shared");
  EXPECT_TRUE(entry->instance.expired());
  auto fresh = std::dynamic_pointer_cast<JBPlugin>(entry->factory());
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->description(), "fresh");
}

}  // namespace
