#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/fake_webview.h"
#include "support/http_fakes.h"
#include "zrkwebview/browser/src/http-plugins/dropzone/dropzone-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

using nlohmann::json;

// Records the webview commands; like the real drop target, an "exts" element that is not a
// string makes "add_dropzone" throw the JSON library's type error.
class CommandWebview : public pel::test::FakeWebview {
 public:
  void runCommand(const std::string& command, const std::optional<json>& payload) override {
    if (command == "add_dropzone" && payload && payload->is_object() && payload->contains("filter") &&
        (*payload)["filter"].is_object() && (*payload)["filter"].contains("exts")) {
      (void)(*payload)["filter"]["exts"].get<std::vector<std::string>>();
    }
    commands.emplace_back(command, payload.value_or(json()));
  }
  std::vector<std::pair<std::string, json>> commands;
};

TEST(DropzonePluginTest, ForwardsZonesWithAnIdAndRefusesTheRest) {
  zrk::plugin::DropzonePlugin plugin;
  EXPECT_EQ(plugin.name(), "dropzone");
  EXPECT_EQ(plugin.version(), "1.0.0");
  auto webview = std::make_shared<CommandWebview>();
  const json zone = {{"id", "drop-1"},
                     {"selector", "div[data-x=\"a'b\"] > #drop"},
                     {"filter", {{"exts", {"png", "jpg"}}, {"single", true}}}};
  struct Case {
    const char* command;
    json payload;
    int status;  // 0: no response
    const char* text;
    const char* forwarded;  // the webview command, or null for none
  } cases[] = {
      {"add", zone, 200, "OK", "add_dropzone"},
      {"add", zone, 200, "OK", "add_dropzone"},  // again: the drop target keeps the first
      {"remove", {{"id", "never-added"}}, 200, "OK", "remove_dropzone"},
      {"remove", {{"id", "drop-1"}, {"extra", 1}}, 200, "OK", "remove_dropzone"},
      {"add", {{"id", "no selector"}}, 200, "OK", "add_dropzone"},
      {"add", {{"id", ""}}, 400, "Invalid payload, missing id.", nullptr},
      {"add", {{"id", 5}}, 400, "Invalid payload, missing id.", nullptr},
      {"add", {{"selector", "#drop"}}, 400, "Invalid payload, missing id.", nullptr},
      {"add", json("drop-1"), 400, "Invalid payload, missing id.", nullptr},
      {"remove", {{"id", nullptr}}, 400, "Invalid payload, missing id.", nullptr},
      {"add", {{"id", "z"}, {"filter", {{"exts", {"png", 3}}}}}, 400, "[json.exception.type_error.302]*", nullptr},
      {"drop", zone, 0, "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " " + c.payload.dump());
    webview->commands.clear();
    pel::test::FakeRequest request("POST", "https://pelma/plugin?name=dropzone");
    auto result = plugin.invoke(c.command, webview.get(), nullptr, &request, c.payload);
    if (c.status == 0) {
      EXPECT_EQ(result, nullptr);
      continue;
    }
    auto reply = std::dynamic_pointer_cast<http::HttpStatusResponse>(result);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->status(), c.status);
    const std::string text = c.text;
    if (text.back() == '*') {
      EXPECT_EQ(reply->statusMessage().rfind(text.substr(0, text.size() - 1), 0), 0u)
          << reply->statusMessage();
    } else {
      EXPECT_EQ(reply->statusMessage(), text);
    }
    if (c.forwarded == nullptr) {
      EXPECT_TRUE(webview->commands.empty());
    } else {
      ASSERT_EQ(webview->commands.size(), 1u);
      EXPECT_EQ(webview->commands[0].first, c.forwarded);
      // The whole payload, unchanged: the selector's quotes included.
      EXPECT_EQ(webview->commands[0].second, c.payload);
    }
  }
}

}  // namespace
