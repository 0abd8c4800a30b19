#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "menu_support.h"
#include "zrkwebview/browser/src/http-plugins/image/image-resource.h"
#include "zrkwebview/browser/src/http-plugins/menu/menu-config.h"

namespace zrk::plugin {
namespace {

using nlohmann::json;
using testing::call;
using testing::expectedRows;
using testing::popupOf;
using testing::Reply;
using testing::rowsOf;

class MenuPluginTest : public ::testing::Test {
 protected:
  std::shared_ptr<pel::test::FakeWebview> webview = std::make_shared<pel::test::FakeWebview>();
  Webview* w() { return webview.get(); }
  std::shared_ptr<Resource> find(uint32_t rid) { return webview->resourceManager()->find(rid); }
  MenuContainer& list(uint32_t rid) { return *asContainer(find(rid).get()); }
  template <typename T>
  T& as(uint32_t rid) {
    return dynamic_cast<T&>(*find(rid));
  }
  uint32_t make(const json& payload) {
    const Reply r = call(w(), "new", payload);
    EXPECT_EQ(r.status, 200) << r.text;
    return r.status == 200 ? r.value()[0].get<uint32_t>() : 0;
  }
  uint32_t item(const std::string& id, const std::string& kind = "MenuItem") {
    return make({{"kind", kind}, {"options", {{"id", id}, {"text", id}}}});
  }
  std::vector<std::string> ids(uint32_t rid) {
    std::vector<std::string> out;
    for (const auto& e : list(rid).itemsCopy()) out.push_back(e->id);
    return out;
  }
  // The rows of the menu or submenu equal its visible entries, in order.
  void expectRowsFollowEntries(uint32_t rid) {
    auto popup = popupOf(find(rid).get());
    ASSERT_TRUE(popup);
    EXPECT_EQ(rowsOf(*popup), expectedRows(list(rid)));
  }
};

TEST_F(MenuPluginTest, InsertModesPositionsAndDuplicates) {
  struct Case {
    int mode;
    int position;
    std::vector<std::string> result;
  };
  const Case cases[] = {
      {Append, -1, {"a", "b", "c", "n"}},  {Prepend, -1, {"n", "a", "b", "c"}},
      {Insert, 0, {"n", "a", "b", "c"}},   {Insert, 1, {"a", "n", "b", "c"}},
      {Insert, 3, {"a", "b", "c", "n"}},   {Insert, 100, {"a", "b", "c", "n"}},
      {Insert, -1, {"a", "b", "c", "n"}},  {Insert, -5, {"a", "b", "c", "n"}},
      {7, 0, {"a", "b", "c"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + " at " + std::to_string(c.position));
    const uint32_t menu = make({{"kind", "Menu"}, {"options", {{"items", {{{"id", "a"}, {"text", "a"}}, {{"id", "b"}, {"text", "b"}}, {{"id", "c"}, {"text", "c"}}}}}}});
    const uint32_t n = item("n");
    list(menu).insertItem(std::static_pointer_cast<MenuItemBase>(find(n)), c.mode, c.position);
    EXPECT_EQ(ids(menu), c.result);
    EXPECT_EQ(as<MenuItem>(n).parentRid.load(), menu);  // also for a mode that adds nothing
    expectRowsFollowEntries(menu);
  }

  // One entry twice: two entries, two rows; removing it by rid or by object takes both.
  const uint32_t menu = make({{"kind", "Menu"}});
  const uint32_t x = item("x");
  auto entry = std::static_pointer_cast<MenuItemBase>(find(x));
  for (int round = 0; round < 2; ++round) {
    list(menu).insertItem(entry, Append, -1);
    list(menu).insertItem(entry, Append, -1);
    EXPECT_EQ(ids(menu), (std::vector<std::string>{"x", "x"}));
    EXPECT_EQ(popupOf(find(menu).get())->items.size(), 2u);
    if (round == 0) {
      list(menu).removeByRid(x);
    } else {
      list(menu).removeItem(entry);
    }
    EXPECT_TRUE(ids(menu).empty());
    EXPECT_TRUE(popupOf(find(menu).get())->items.empty());
    EXPECT_EQ(as<MenuItem>(x).parentRid.load(), 0u);
  }
  list(menu).removeByRid(424242);  // nobody: nothing changes
}

TEST_F(MenuPluginTest, FindItemAtAndKindNames) {
  const uint32_t menu = make({{"kind", "Menu"}, {"options", {{"items", {{{"id", "d"}, {"text", "first"}}, {{"kind", "Submenu"}, {"id", "s"}, {"items", {{{"id", "g"}}}}}, {{"id", "d"}, {"text", "second"}}}}}}});
  EXPECT_EQ(static_cast<MenuItem&>(*list(menu).findItem("d")).text, "first");
  EXPECT_EQ(list(menu).findItem("g"), nullptr);  // grandchildren are not searched
  EXPECT_EQ(list(menu).itemAt(-1), nullptr);
  EXPECT_EQ(list(menu).itemAt(3), nullptr);
  EXPECT_EQ(list(menu).itemAt(1)->id, "s");
  const std::pair<int, const char*> names[] = {{0, "MenuItem"}, {1, "Check"},     {2, "Icon"},
                                               {3, "Submenu"},  {4, "Menu"},      {5, "Separator"},
                                               {6, "Predifined"}, {9, "unknown"}, {-1, "unknown"}};
  for (auto [kind, name] : names) EXPECT_STREQ(MenuItemBase::kindName(kind), name);
  // Class records follow the tree.
  auto submenu = list(menu).itemAt(1);
  EXPECT_TRUE(submenu->isKindOfClass(&WinSubmenu::classDescriptor));
  EXPECT_TRUE(submenu->isKindOfClass(&MenuItem::classDescriptor));
  EXPECT_FALSE(find(menu)->isKindOfClass(&MenuItem::classDescriptor));
  EXPECT_STREQ(find(menu)->className(), "WinMenu");
}

TEST_F(MenuPluginTest, NewAndTheItemBuilder) {
  const Reply separator = call(w(), "new", {{"kind", "Separator"}});
  EXPECT_EQ(separator.mime, "application/json");
  EXPECT_EQ(separator.value()[1], "");
  EXPECT_EQ(as<MenuItem>(separator.value()[0]).text, "Separator");

  const Reply menu = call(w(), "new", {{"kind", "Menu"}, {"handler", "__channel__:4"}, {"options", {{"id", "m"}, {"items", {{{"text", "plain"}}, {{"kind", "Separator"}}, nullptr}}}}});
  const uint32_t m = menu.value()[0];
  EXPECT_EQ(menu.value()[1], "m");
  EXPECT_EQ(as<Menu>(m).handler, "__channel__:4");
  auto entries = list(m).itemsCopy();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(static_cast<MenuItem&>(*entries[0]).text, "plain");
  EXPECT_EQ(entries[1]->kind, kKindSeparator);
  EXPECT_EQ(entries[2]->kind, kKindMenuItem);  // a null element is a plain entry
  for (const auto& e : entries) EXPECT_GT(e->rid(), m);

  // A submenu's items are built as a menu's are.
  const uint32_t sub = make({{"kind", "Submenu"}, {"options", {{"text", "S"}, {"items", {{{"text", "in"}}}}}}});
  EXPECT_EQ(ids(sub).size(), 1u);

  EXPECT_EQ(call(w(), "new", {{"kind", "menuitem"}}).text, "Bad Request");
  EXPECT_EQ(call(w(), "new", json::object()).text, "Bad Request");
  const uint32_t plain = make({{"kind", "Check"}, {"options", "oops"}});
  EXPECT_FALSE(as<CheckMenuItem>(plain).checked);
  EXPECT_TRUE(as<CheckMenuItem>(plain).enabled);

  // Spec conversions.
  const uint32_t host = make({{"kind", "Menu"}});
  ASSERT_EQ(call(w(), "append", {{"rid", host}, {"kind", "Menu"}, {"items", {
      {{"kind", "Check"}, {"checked", 1}},
      {{"kind", "Check"}, {"checked", true}, {"enabled", false}, {"modifier", 2.9}, {"native", true}},
      {{"kind", "Icon"}, {"icon", "logo"}},
      {{"kind", "Icon"}, {"icon", 5003.7}},
      {{"kind", "Icon"}, {"icon", {1}}},
      {{"kind", "Submenu"}, {"items", {{"a", {{"text", "x"}}}}}},
  }}}).text, "true");
  auto made = list(host).itemsCopy();
  ASSERT_EQ(made.size(), 6u);
  EXPECT_FALSE(static_cast<MenuItem&>(*made[0]).checked);
  auto& second = static_cast<MenuItem&>(*made[1]);
  EXPECT_TRUE(second.checked);
  EXPECT_FALSE(second.enabled);
  EXPECT_EQ(second.modifier, 2);
  EXPECT_TRUE(second.native);
  const auto icon = [&](int i) { return static_cast<IconMenuItem&>(*made[static_cast<size_t>(i)]).icon; };
  EXPECT_EQ(icon(2).type, 1);
  EXPECT_EQ(icon(2).name, "logo");
  EXPECT_EQ(icon(3).type, 2);
  EXPECT_EQ(icon(3).number, 5003);
  EXPECT_EQ(icon(4).type, 0);
  EXPECT_TRUE(asContainer(made[5].get())->itemsCopy().empty());  // "items" an object: empty

  // A reference changes nothing of its entry; a reference to a menu or a spec of kind "Menu"
  // fails, and what was made before stays.
  as<MenuItem>(plain).handler = "__channel__:9";
  EXPECT_EQ(call(w(), "append", {{"rid", host}, {"kind", "Menu"}, {"items", {{plain, "Check"}}}}).text, "true");
  EXPECT_EQ(as<MenuItem>(plain).handler, "__channel__:9");
  EXPECT_EQ(as<MenuItem>(plain).parentRid.load(), host);
  EXPECT_EQ(call(w(), "append", {{"rid", host}, {"kind", "Menu"}, {"items", {{{"text", "kept"}}, {m, "Menu"}}}}).text,
            "Failed to create menu item");
  EXPECT_EQ(call(w(), "append", {{"rid", host}, {"kind", "Menu"}, {"items", {{{"kind", "Menu"}}}}}).text,
            "Failed to create menu item");
  EXPECT_EQ(static_cast<MenuItem&>(*list(host).itemsCopy().back()).text, "kept");
  EXPECT_EQ(call(w(), "append", {{"rid", host}, {"kind", "Menu"}, {"items", {{"x"}}}}).text,
            "[json.exception.type_error.302] type must be number, but is string");
  EXPECT_EQ(call(w(), "append", {{"rid", host}, {"kind", "Menu"}, {"items", {{plain, 3}}}}).text,
            "[json.exception.type_error.302] type must be string, but is number");
  expectRowsFollowEntries(host);
}

TEST_F(MenuPluginTest, PrependAndInsertReverseTheirItems) {
  const uint32_t menu = make({{"kind", "Menu"}, {"options", {{"items", {{{"id", "X"}}, {{"id", "Y"}}}}}}});
  const json ab = {{{"id", "A"}}, {{"id", "B"}}};
  ASSERT_EQ(call(w(), "prepend", {{"rid", menu}, {"kind", "Menu"}, {"items", ab}}).text, "true");
  EXPECT_EQ(ids(menu), (std::vector<std::string>{"B", "A", "X", "Y"}));
  ASSERT_EQ(call(w(), "insert", {{"rid", menu}, {"kind", "Menu"}, {"items", {{{"id", "C"}}, {{"id", "D"}}}}, {"position", 1}}).text, "true");
  EXPECT_EQ(ids(menu), (std::vector<std::string>{"B", "D", "C", "A", "X", "Y"}));
  ASSERT_EQ(call(w(), "append", {{"rid", menu}, {"kind", "Menu"}, {"items", ab}}).text, "true");
  EXPECT_EQ(ids(menu), (std::vector<std::string>{"B", "D", "C", "A", "X", "Y", "A", "B"}));
  expectRowsFollowEntries(menu);
}

TEST_F(MenuPluginTest, CommandRepliesAndRefusals) {
  const uint32_t menu = make({{"kind", "Menu"}, {"options", {{"id", "top"}}}});
  const uint32_t sub = make({{"kind", "Submenu"}, {"options", {{"id", "sub"}, {"text", "Sub"}}}});
  const uint32_t check = item("chk", "Check");
  const uint32_t plain = item("p");
  const uint32_t icon = item("ic", "Icon");
  const uint32_t emptySub = make({{"kind", "Submenu"}});
  ASSERT_EQ(call(w(), "append", {{"rid", menu}, {"kind", "Menu"}, {"items", {{plain, "MenuItem"}, {check, "Check"}, {sub, "Submenu"}}}}).text, "true");
  ASSERT_EQ(call(w(), "append", {{"rid", sub}, {"kind", "Submenu"}, {"items", {{{"id", "deep"}}}}}).text, "true");
  as<MenuItem>(plain).accelerator = "Ctrl+P";

  const json triplePlain = {plain, "p", "MenuItem"};
  struct Case {
    const char* command;
    json payload;
    int status;
    std::string text;
  };
  const std::string noRid = "Could not find the menu with given resourcid id.";
  const Case cases[] = {
      {"append", {{"kind", "Menu"}, {"items", {1}}}, 400, "Invalid rid value"},
      {"append", {{"rid", menu}, {"kind", "Check"}, {"items", {1}}}, 400, "Invalid kind value"},
      {"append", {{"rid", 424242}, {"kind", "Menu"}, {"items", {1}}}, 400, "Could not find menu"},
      {"append", {{"rid", menu}, {"kind", "Menu"}}, 400, "Invalid items"},
      {"append", {{"rid", menu}, {"kind", "Menu"}, {"items", json::array()}}, 400, "Empty items"},
      {"append", {{"rid", menu}, {"kind", "Menu"}, {"items", nullptr}}, 400, "Empty items"},
      {"remove", {{"rid", menu}, {"kind", "Menu"}}, 400, "Invalid item"},
      {"remove", {{"rid", menu}, {"kind", "Menu"}, {"item", 5}}, 400, "Item not specified"},
      {"remove", {{"rid", menu}, {"kind", "Menu"}, {"item", {0}}}, 200, "true"},
      {"remove", {{"rid", menu}, {"kind", "X"}, {"item", {0}}}, 400, "Not a menu or submenu"},
      {"remove", {{"rid", 424242}, {"kind", "Menu"}, {"item", {0}}}, 400, noRid},
      {"remove_at", {{"rid", menu}, {"kind", "Menu"}, {"position", 3}}, 400, "Could not find the menu item at the given position"},
      {"remove_at", {{"rid", menu}, {"kind", "Submenu"}, {"position", 0}}, 400, "Invalid item"},
      {"items", {{"rid", emptySub}, {"kind", "Submenu"}}, 200, "[]"},
      {"get_at", {{"rid", menu}, {"kind", "Menu"}, {"index", 0}}, 200, triplePlain.dump()},
      {"get_at", {{"rid", menu}, {"kind", "Menu"}, {"index", 3}}, 200, "null"},
      {"get_at", {{"rid", menu}, {"kind", "Menu"}, {"index", -1}}, 200, "null"},
      {"get", {{"rid", menu}, {"kind", "Menu"}, {"id", "p"}}, 200, triplePlain.dump()},
      {"get", {{"rid", menu}, {"kind", "Menu"}}, 200, json::array({menu, "top", "Menu"}).dump()},
      {"get", {{"rid", menu}, {"kind", "Menu"}, {"id", "deep"}}, 200, "null"},
      {"get", {{"rid", menu}, {"kind", "Submenu"}}, 400, "Invalid item"},
      {"get", {{"rid", menu}, {"kind", "Check"}}, 400, "Not a menu or submenu"},
      {"get", {{"rid", 9}, {"kind", "Menu"}, {"id", "appMainMenu"}}, 400, noRid},
      {"popup", {{"rid", plain}, {"kind", "Separator"}}, 200, "true"},
      {"popup", {{"rid", sub}, {"kind", "Menu"}}, 400, "Invalid item"},
      {"popup", {{"rid", 424242}, {"kind", "Menu"}}, 400, noRid},
      {"set_as_window_menu", {{"rid", menu}}, 200, "null"},
      {"set_as_window_menu", {{"rid", sub}}, 400, "Invalid item"},
      {"remove_window_menu", {{"window", "nowhere"}}, 400, "Could not find the menu with given window label."},
      {"text", {{"rid", menu}}, 400, "Not a menu item"},
      {"text", {{"rid", sub}}, 200, "Sub"},
      {"identifier", {{"rid", check}}, 200, "chk"},
      {"is_checked", {{"rid", plain}}, 400, "Not a check menu item"},
      {"is_checked", {{"rid", check}}, 200, "false"},
      {"set_icon", {{"rid", plain}, {"icon", 1}}, 400, "Not a menu item"},
      {"set_icon", {{"rid", icon}, {"icon", 1}}, 200, "true"},
      {"is_enabled", {{"rid", plain}}, 200, "true"},
      {"accelerator", {{"rid", plain}}, 200, "Ctrl+P"},
      {"set_text", {{"rid", 424242}}, 400, noRid},
      {"config", "anything", 200, "OK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " " + c.payload.dump());
    const Reply r = call(w(), c.command, c.payload);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.text, c.text);
    // The page parses what announces itself as JSON: an empty body would reject its promise.
    if (r.mime == "application/json") {
      EXPECT_FALSE(json::parse(r.text, nullptr, false).is_discarded());
    }
  }
  EXPECT_TRUE(call(w(), "create_default", json::object()).none);
  setMenuConfig(nullptr);

  // Setters, their defaults and the accelerator object.
  EXPECT_EQ(call(w(), "set_accelerator", {{"rid", plain}, {"accelerator", "Ctrl+Q"}, {"modifier", 2}}).text, "true");
  const Reply accel = call(w(), "accelerator", {{"rid", plain}});
  EXPECT_EQ(accel.text, R"({"accelerator":"Ctrl+Q","modifier":2})");
  EXPECT_EQ(accel.mime, "application/json");
  EXPECT_EQ(call(w(), "set_enabled", {{"rid", plain}, {"enabled", false}}).text, "true");
  EXPECT_EQ(call(w(), "is_enabled", {{"rid", plain}}).text, "false");
  EXPECT_EQ(call(w(), "set_enabled", {{"rid", plain}, {"enabled", "no"}}).text, "true");
  EXPECT_EQ(call(w(), "is_enabled", {{"rid", plain}}).text, "true");
  EXPECT_EQ(call(w(), "set_checked", {{"rid", check}, {"checked", true}}).text, "true");
  EXPECT_EQ(call(w(), "is_checked", {{"rid", check}}).text, "true");
  EXPECT_EQ(call(w(), "set_text", {{"rid", plain}}).text, "true");
  EXPECT_EQ(call(w(), "text", {{"rid", plain}}).text, "");
  EXPECT_EQ(call(w(), "set_icon", {{"rid", icon}, {"icon", "logo"}}).text, "true");
  EXPECT_EQ(as<IconMenuItem>(icon).icon.name, "logo");

  // remove_at answers the removed entry and takes every copy of it.
  ASSERT_EQ(call(w(), "append", {{"rid", menu}, {"kind", "Menu"}, {"items", {{check, "Check"}}}}).text, "true");
  EXPECT_EQ(call(w(), "remove_at", {{"rid", menu}, {"kind", "Menu"}, {"position", 1}}).text,
            json::array({check, "chk", "Check"}).dump());
  EXPECT_EQ(ids(menu), (std::vector<std::string>{"p", "sub"}));
  EXPECT_NE(find(check), nullptr);  // still a resource
  // "append" with kind "Menu" on a submenu adds to the submenu.
  EXPECT_EQ(call(w(), "append", {{"rid", sub}, {"kind", "Menu"}, {"items", {{check, "Check"}}}}).text, "true");
  EXPECT_EQ(ids(sub), (std::vector<std::string>{"deep", "chk"}));
  expectRowsFollowEntries(menu);
  expectRowsFollowEntries(sub);

  // A rid of another webview is not found.
  auto other = std::make_shared<pel::test::FakeWebview>("other");
  EXPECT_EQ(call(other.get(), "text", {{"rid", plain}}).text, noRid);
}

TEST_F(MenuPluginTest, RowsFollowEntriesThroughEditSequences) {
  const uint32_t menu = make({{"kind", "Menu"}});
  const uint32_t a = item("a");
  const uint32_t empty1 = make({{"kind", "MenuItem"}, {"options", {{"text", "e1"}}}});
  const uint32_t empty2 = make({{"kind", "MenuItem"}, {"options", {{"text", "e2"}}}});
  const uint32_t shared1 = make({{"kind", "MenuItem"}, {"options", {{"id", "s"}, {"text", "s1"}}}});
  const uint32_t shared2 = make({{"kind", "MenuItem"}, {"options", {{"id", "s"}, {"text", "s2"}}}});
  const uint32_t nestedMenu = make({{"kind", "Menu"}});
  const uint32_t sub = make({{"kind", "Submenu"}, {"options", {{"text", "sub"}}}});
  const uint32_t sep = make({{"kind", "Separator"}});
  auto append = [&](uint32_t parent, std::vector<uint32_t> rids) {
    json refs = json::array();
    for (uint32_t r : rids) refs.push_back(json::array({r}));
    ASSERT_EQ(call(w(), "append", {{"rid", parent}, {"kind", "Menu"}, {"items", refs}}).text, "true");
  };
  // A "Menu" entry is listed without a row and shifts nothing.
  list(menu).insertItem(std::static_pointer_cast<MenuItemBase>(find(nestedMenu)), Append, -1);
  append(menu, {empty1, sub, a, empty2, sep, shared1, shared2, a});
  append(sub, {shared2, empty1});
  expectRowsFollowEntries(menu);
  expectRowsFollowEntries(sub);

  struct Step {
    const char* what;
    std::function<void()> run;
  };
  const Step steps[] = {
      {"remove an empty id", [&] { call(w(), "remove", {{"rid", menu}, {"kind", "Menu"}, {"item", {empty2}}}); }},
      {"remove a shared id", [&] { call(w(), "remove", {{"rid", menu}, {"kind", "Menu"}, {"item", {shared2}}}); }},
      {"remove an entry listed twice", [&] { call(w(), "remove", {{"rid", menu}, {"kind", "Menu"}, {"item", {a}}}); }},
      {"remove the separator by position", [&] { call(w(), "remove_at", {{"rid", menu}, {"kind", "Menu"}, {"position", 3}}); }},
      {"insert after the Menu entry", [&] { call(w(), "insert", {{"rid", menu}, {"kind", "Menu"}, {"items", {{a}}}, {"position", 1}}); }},
      {"close the nested submenu", [&] { webview->resourceManager()->close(sub); }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.run();
    expectRowsFollowEntries(menu);
  }
  EXPECT_EQ(ids(menu), (std::vector<std::string>{"", "a", "", "s"}));
  EXPECT_EQ(find(sub), nullptr);
  EXPECT_EQ(find(empty1), nullptr);  // closed with the submenu that listed it
  EXPECT_EQ(find(shared2), nullptr);
  EXPECT_NE(find(shared1), nullptr);
}

TEST_F(MenuPluginTest, RefreshReachesRowsOfMenusAndSubmenus) {
  const uint32_t menu = make({{"kind", "Menu"}, {"options", {{"items", {{{"kind", "Check"}, {"id", "c"}, {"text", "old"}}, {{"kind", "Submenu"}, {"id", "s"}, {"text", "S"}, {"items", {{{"kind", "Check"}, {"id", "n"}, {"checked", true}}}}}}}}}});
  const uint32_t topCheck = list(menu).itemAt(0)->rid();
  const uint32_t sub = list(menu).itemAt(1)->rid();
  const uint32_t nested = list(sub).itemAt(0)->rid();
  auto top = popupOf(find(menu).get());
  auto inner = popupOf(find(sub).get());
  EXPECT_EQ(inner->items[0]->checkMark, 1);
  EXPECT_TRUE(inner->isSubmenu);
  EXPECT_EQ(top->items[1]->submenu, inner);

  call(w(), "set_text", {{"rid", topCheck}, {"text", "new"}});
  call(w(), "set_checked", {{"rid", topCheck}, {"checked", true}});
  call(w(), "set_enabled", {{"rid", topCheck}, {"enabled", false}});
  EXPECT_EQ(top->items[0]->text, "new");
  EXPECT_EQ(top->items[0]->checkMark, 1);
  EXPECT_TRUE(top->items[0]->disabled);
  call(w(), "set_checked", {{"rid", nested}, {"checked", false}});
  EXPECT_EQ(inner->items[0]->checkMark, 0);
  // An entry in no list changes only the model.
  const uint32_t loose = item("loose");
  EXPECT_EQ(call(w(), "set_text", {{"rid", loose}, {"text", "t"}}).text, "true");
  EXPECT_EQ(as<MenuItem>(loose).text, "t");
}

TEST_F(MenuPluginTest, IconsByRidNameAndPath) {
  const std::vector<uint8_t> red = {255, 0, 0, 255};
  const uint32_t bitmap = createImageFromRgba(w(), red, 1, 1, kImageTypeBmp, -1);
  const uint32_t iconImage = createImageFromRgba(w(), red, 1, 1, kImageTypeIco, -1);
  const uint32_t named = createNamedImageFromRgba(w(), {0, 255, 0, 255}, 1, 1, "green");
  const std::string path = ::testing::TempDir() + "menu_icon_" + std::to_string(::getpid()) + ".png";
  ASSERT_TRUE(desk::gfx::Bitmap::make(3, 2, 0xFF0000FF)->writePng(path));

  const uint32_t menu = make({{"kind", "Menu"}, {"options", {{"items", {
      {{"kind", "Icon"}, {"id", "rid"}, {"icon", bitmap}},
      {{"kind", "Icon"}, {"id", "ico"}, {"icon", iconImage}},
      {{"kind", "Icon"}, {"id", "name"}, {"icon", "green"}},
      {{"kind", "Icon"}, {"id", "path"}, {"icon", path}},
      {{"kind", "Icon"}, {"id", "none"}, {"icon", "/no/such/file.png"}},
  }}}}});
  auto popup = popupOf(find(menu).get());
  ASSERT_EQ(popup->items.size(), 5u);
  EXPECT_EQ(popup->items[0]->icon, as<ImageResource>(bitmap).image());
  EXPECT_EQ(popup->items[1]->icon, nullptr);  // an icon image is no bitmap image
  EXPECT_EQ(popup->items[2]->icon, as<ImageResource>(named).image());
  ASSERT_TRUE(popup->items[3]->icon);
  EXPECT_EQ(popup->items[3]->icon->width(), 3);
  EXPECT_EQ(popup->items[4]->icon, nullptr);

  // Refresh uses the same lookup (a named image too); the row keeps its image after the image
  // resource is closed; an empty icon clears it.
  const uint32_t pathEntry = list(menu).itemAt(3)->rid();
  EXPECT_EQ(call(w(), "set_icon", {{"rid", pathEntry}, {"icon", "green"}}).text, "true");
  EXPECT_EQ(popup->items[3]->icon, as<ImageResource>(named).image());
  auto kept = popup->items[0]->icon;
  webview->resourceManager()->close(bitmap);
  EXPECT_EQ(popup->items[0]->icon, kept);
  EXPECT_EQ(call(w(), "set_icon", {{"rid", pathEntry}, {"icon", nullptr}}).text, "true");
  EXPECT_EQ(popup->items[3]->icon, nullptr);
  std::filesystem::remove(path);
}

TEST_F(MenuPluginTest, ConfigStylesOnlyLaterMenus) {
  setMenuConfig(nullptr);
  const uint32_t before = make({{"kind", "Menu"}});
  EXPECT_EQ(call(w(), "config", {{"itemHeight", 33}}).text, "OK");
  const uint32_t after = make({{"kind", "Submenu"}});
  EXPECT_EQ(popupOf(find(before).get())->itemHeight(), 40);
  EXPECT_EQ(popupOf(find(after).get())->itemHeight(), 33);
  setMenuConfig(nullptr);
}

}  // namespace
}  // namespace zrk::plugin
