#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/plugin/plugin.h"

namespace {

using zrk::plugin::CommandTable;
using zrk::plugin::Plugin;
using zrk::plugin::PluginRegistry;

// A plugin with the commands "hello" (answers its tag and the payload) and "fail" (throws); other
// commands are unknown.
class TablePlugin : public Plugin {
  VESK_DECLARE_CLASS(TablePlugin, Plugin, "test")

 public:
  explicit TablePlugin(std::string tag) : tag_(std::move(tag)) {}

  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection*, http::HttpRequest* request,
                                        const nlohmann::json& payload) override {
    const std::string tag = tag_;
    const CommandTable table = {
        {"hello",
         [tag](const nlohmann::json& p, zrk::Webview*, http::HttpRequest*) {
           return std::make_shared<http::HttpMimeResponse>(tag + ":" + p.dump(), "text/plain");
         }},
        {"fail",
         [](const nlohmann::json&, zrk::Webview*, http::HttpRequest*) -> std::shared_ptr<http::HttpResponse> {
           throw std::runtime_error("disk full");
         }},
    };
    return zrk::plugin::runCommand(table, command, payload, webview, request);
  }

 private:
  std::string tag_;
};

std::shared_ptr<Plugin> makePlugin(const std::string& name, const std::string& tag) {
  testing::internal::CaptureStdout();
  auto plugin = std::make_shared<TablePlugin>(tag);
  testing::internal::GetCapturedStdout();
  plugin->setName(name);
  plugin->setVersion("1.0");
  plugin->setDescription("test plugin");
  return plugin;
}

std::string bodyOf(const std::shared_ptr<Vesk::TObject>& result) {
  auto response = std::dynamic_pointer_cast<http::HttpResponse>(result);
  return response ? response->read(1000) : "<none>";
}

TEST(Plugin, EveryPluginMadeSaysSo) {
  testing::internal::CaptureStdout();
  TablePlugin first("a");
  TablePlugin second("b");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Plugin::Plugin()\nPlugin::Plugin()\n");
  EXPECT_STREQ(first.className(), "TablePlugin");
  EXPECT_TRUE(first.isKindOfClass(&Plugin::classDescriptor));
  EXPECT_EQ(first.name(), "");
  EXPECT_EQ(first.initScript(), "");
}

TEST(PluginRegistry, DispatchFindsPluginsByExactName) {
  PluginRegistry::add(makePlugin("reg.hello", "one"));
  const nlohmann::json payload = {{"x", 1}};
  struct Case {
    const char* plugin;
    const char* command;
    const char* body;
  } cases[] = {
      {"reg.hello", "hello", "one:{\"x\":1}"},
      {"reg.hello", "Hello", "<none>"},  // unknown command
      {"reg.hello", "", "<none>"},
      {"REG.HELLO", "hello", "<none>"},  // names compare exactly
      {"reg.never", "hello", "<none>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bodyOf(PluginRegistry::dispatch(c.plugin, c.command, nullptr, nullptr, nullptr, payload)), c.body)
        << c.plugin << " " << c.command;
  }
  try {
    PluginRegistry::dispatch("reg.hello", "fail", nullptr, nullptr, nullptr, payload);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "disk full");
  }
}

// A plugin whose command waits until the test lets it finish.
class BlockingPlugin : public Plugin {
 public:
  std::promise<void> started;
  std::shared_future<void> release;

  std::shared_ptr<Vesk::TObject> invoke(const std::string&, zrk::Webview*, http::HttpResponseConnection*,
                                        http::HttpRequest*, const nlohmann::json&) override {
    started.set_value();
    release.wait();
    return std::make_shared<http::HttpMimeResponse>("old finished", "text/plain");
  }
};

TEST(PluginRegistry, ReplacedPluginFinishesTheCommandItRuns) {
  std::promise<void> releasePromise;
  testing::internal::CaptureStdout();
  auto old = std::make_shared<BlockingPlugin>();
  testing::internal::GetCapturedStdout();
  old->setName("reg.replace");
  old->release = releasePromise.get_future().share();
  std::weak_ptr<BlockingPlugin> oldAlive = old;
  auto started = old->started.get_future();
  PluginRegistry::add(old);
  old.reset();

  auto running = std::async(std::launch::async, [] {
    return bodyOf(PluginRegistry::dispatch("reg.replace", "any", nullptr, nullptr, nullptr, nullptr));
  });
  started.wait();
  // The registry lock is free while the command runs: replacing and dispatching do not wait.
  PluginRegistry::add(makePlugin("reg.replace", "new"));
  EXPECT_EQ(bodyOf(PluginRegistry::dispatch("reg.replace", "hello", nullptr, nullptr, nullptr, nullptr)),
            "new:null");
  EXPECT_FALSE(oldAlive.expired());  // held by the running command only
  releasePromise.set_value();
  EXPECT_EQ(running.get(), "old finished");
  EXPECT_TRUE(oldAlive.expired());
}

TEST(PluginRegistry, ForEachVisitsEveryPluginByNameAndMayRegister) {
  PluginRegistry::add(makePlugin("each.b", "b"));
  PluginRegistry::add(makePlugin("each.a", "a"));
  std::vector<std::string> names;
  PluginRegistry::forEach([&](const std::shared_ptr<Plugin>& plugin) {
    if (plugin->name().rfind("each.", 0) != 0) return;
    names.push_back(plugin->name());
    // A visitor may register plugins without dead-locking the registry.
    if (plugin->name() == "each.a") PluginRegistry::add(makePlugin("each.c", "c"));
  });
  EXPECT_EQ(names, (std::vector<std::string>{"each.a", "each.b"}));
  EXPECT_NE(PluginRegistry::find("each.c"), nullptr);
}

TEST(PluginRegistry, ConcurrentDispatchAndReplacement) {
  PluginRegistry::add(makePlugin("reg.busy", "0"));
  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        if (bodyOf(PluginRegistry::dispatch("reg.busy", "hello", nullptr, nullptr, nullptr, nullptr)) != "<none>") {
          ++answered;
        }
      }
    });
  }
  for (int i = 0; i < 200; ++i) PluginRegistry::add(makePlugin("reg.busy", std::to_string(i)));
  for (auto& t : threads) t.join();
  EXPECT_EQ(answered.load(), 2000);
}

}  // namespace
