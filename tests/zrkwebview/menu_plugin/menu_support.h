// Shared by the menu tests: calling the plugin, reading the channel data a webview was sent, and
// comparing a menu's popup rows with the entries it lists.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/fake_webview.h"
#include "support/http_fakes.h"
#include "zrkmenu/zrkmenu.h"
#include "zrkwebview/browser/src/http-plugins/menu/menu-plugin.h"
#include "zrkwebview/browser/src/http-plugins/menu/win-menu.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace zrk::plugin::testing {

using nlohmann::json;

struct Reply {
  bool none = false;
  int status = 0;
  std::string text;
  std::string mime;
  json value() const { return json::parse(text); }
};

inline MenuPlugin& plugin() {
  static MenuPlugin instance;
  return instance;
}

inline Reply call(Webview* webview, const std::string& command, const json& payload) {
  pel::test::FakeRequest request("POST", "https://pelma/plugin?name=menu");
  auto result = plugin().invoke(command, webview, nullptr, &request, payload);
  Reply reply;
  if (!result) {
    reply.none = true;
  } else if (auto mime = std::dynamic_pointer_cast<http::HttpMimeResponse>(result)) {
    reply.status = mime->status();
    reply.text = mime->body();
    reply.mime = mime->mimeType();
  } else if (auto status = std::dynamic_pointer_cast<http::HttpStatusResponse>(result)) {
    reply.status = status->status();
    reply.text = status->statusMessage();
  }
  return reply;
}

// The digits that follow `marker` in `text`, or empty.
inline std::string digitsAfter(const std::string& text, const std::string& marker) {
  const size_t at = text.find(marker);
  if (at == std::string::npos) return {};
  size_t end = at + marker.size();
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  return text.substr(at + marker.size(), end - at - marker.size());
}

// The values sent to page callbacks since the last call, as (callback, value).
inline std::vector<std::pair<uint32_t, json>> sent(pel::test::FakeWebview& webview) {
  std::vector<std::pair<uint32_t, json>> out;
  for (const std::string& script : webview.scripts()) {
    const std::string data = digitsAfter(script, "'zrk-channel-id': '");
    const std::string callback = digitsAfter(script, "window['_' + ");
    if (data.empty() || callback.empty()) continue;
    json value;
    if (webview.takeChannelData(static_cast<uint32_t>(std::stoul(data)), value, true)) {
      out.emplace_back(static_cast<uint32_t>(std::stoul(callback)), value);
    }
  }
  webview.clearRecords();
  return out;
}

inline std::shared_ptr<zrkmenu::ZrkMenu> popupOf(Resource* object) {
  if (auto* menu = dynamic_cast<WinMenu*>(object)) return menu->popupMenu();
  if (auto* submenu = dynamic_cast<WinSubmenu*>(object)) return submenu->popupMenu();
  return nullptr;
}

// The rows of a popup menu as text: a row's command (the rid), "+" for a submenu row, "-" for a
// separator, and its text.
inline std::vector<std::string> rowsOf(const zrkmenu::ZrkMenu& popup) {
  std::vector<std::string> rows;
  for (const auto& row : popup.items) {
    rows.push_back(row->command + (row->submenu ? "+" : "") + (row->separator ? "-" : "") + " " +
                   row->text);
  }
  return rows;
}

// What the rows must be: one per listed entry that has a visible form, in list order.
inline std::vector<std::string> expectedRows(MenuContainer& list) {
  std::vector<std::string> rows;
  for (const auto& entry : list.itemsCopy()) {
    if (entry->kind == kKindMenu) continue;
    const auto& item = static_cast<const MenuItem&>(*entry);
    std::string text = entry->kind == kKindSeparator ? "" : item.text;
    rows.push_back(std::to_string(entry->rid()) + (entry->kind == kKindSubmenu ? "+" : "") +
                   (entry->kind == kKindSeparator ? "-" : "") + " " + text);
  }
  return rows;
}

}  // namespace zrk::plugin::testing
