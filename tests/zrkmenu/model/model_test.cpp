#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "zrkmenu/zrkmenu.h"

namespace zrkmenu {
namespace {

ZrkMenuItem row(const std::string& id, const std::string& text = "") {
  ZrkMenuItem item;
  item.id = id;
  item.text = text.empty() ? id : text;
  return item;
}

std::vector<std::string> ids(const ZrkMenu& menu) {
  std::vector<std::string> out;
  for (auto& item : menu.items) out.push_back(item->id);
  return out;
}

TEST(ZrkMenuModel, ConstructionDefaultsAndRandomIds) {
  ZrkMenu a, b;
  EXPECT_EQ(a.id.size(), 12u);
  EXPECT_NE(a.id, b.id);
  const std::string alphabet =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_=$@";
  for (char c : a.id) EXPECT_NE(alphabet.find(c), std::string::npos) << c;
  EXPECT_EQ(a.originOffset, 20);
  EXPECT_EQ(a.itemHeight(), 40);
  EXPECT_EQ(a.fontName(), u"Segoe UI");
  EXPECT_EQ(a.backgroundColor(), 0xffffffffu);

  ZrkMenu named(true, "named");
  EXPECT_EQ(named.id, "named");
  EXPECT_EQ(named.originOffset, 0);
  a.setPadding(50);
  EXPECT_EQ(a.originOffset, 20) << "originOffset is taken at construction only";
  a.markAsSubmenu();
  EXPECT_TRUE(a.isSubmenu);
  EXPECT_EQ(a.originOffset, 0);
}

TEST(ZrkMenuModel, RandomIdsFromManyThreadsStayWellFormed) {
  std::vector<std::thread> threads;
  std::vector<std::set<std::string>> seen(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &seen] {
      for (int i = 0; i < 500; ++i) seen[t].insert(makeRandomId(12));
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> all;
  for (auto& s : seen) all.insert(s.begin(), s.end());
  EXPECT_EQ(all.size(), 2000u);
  for (auto& id : all) ASSERT_EQ(id.size(), 12u);
}

TEST(ZrkMenuModel, InsertingRows) {
  ZrkMenu menu;
  EXPECT_FALSE(menu.insertItem(1, row("past")));
  EXPECT_TRUE(menu.items.empty());
  ASSERT_TRUE(menu.insertItem(0, row("b")));
  menu.appendItem(row("d"));
  menu.prependItem(row("a"));
  ASSERT_TRUE(menu.insertItem(2, row("c")));
  ASSERT_TRUE(menu.insertItem(4, row("e")));  // index = count appends
  EXPECT_FALSE(menu.insertItem(6, row("x")));
  EXPECT_EQ(ids(menu), (std::vector<std::string>{"a", "b", "c", "d", "e"}));

  // The stored copy is what the menu holds; the caller's record is not.
  ZrkMenuItem source = row("f");
  auto stored = menu.appendItem(source);
  stored->disabled = true;
  EXPECT_TRUE(menu.items.back()->disabled);
  EXPECT_FALSE(source.disabled);

  menu.removeItemAt(-1);
  menu.removeItemAt(6);
  EXPECT_EQ(menu.items.size(), 6u);
  menu.removeItemAt(0);
  EXPECT_EQ(menu.items.front()->id, "b");
}

TEST(ZrkMenuModel, FindAndRemoveTakeTheFirstMatchDepthFirst) {
  auto first = std::make_shared<ZrkMenu>(true);
  auto second = std::make_shared<ZrkMenu>(true);
  auto firstInner = first->appendItem(row("deep", "in first"));
  second->appendItem(row("deep", "in second"));
  second->appendItem(row("only-second"));
  ZrkMenu menu;
  ZrkMenuItem one = row("one");
  one.submenu = first;
  ZrkMenuItem two = row("two");
  two.submenu = second;
  menu.appendItem(one);
  menu.appendItem(two);
  menu.appendItem(row("dup", "first dup"));
  menu.appendItem(row("dup", "second dup"));

  EXPECT_EQ(menu.findItem("deep", true), firstInner);
  EXPECT_EQ(menu.findItem("only-second", true)->text, "only-second");
  EXPECT_FALSE(menu.findItem("deep", false));
  EXPECT_FALSE(menu.findItem("", true));
  EXPECT_EQ(menu.findItem("dup", false)->text, "first dup");

  menu.removeItem("deep");  // only a submenu holds it
  EXPECT_EQ(first->items.size(), 1u);
  EXPECT_EQ(menu.items.size(), 4u);
  menu.removeItem("dup");
  ASSERT_EQ(menu.items.size(), 3u);
  EXPECT_EQ(menu.items.back()->text, "second dup");
  menu.removeItem("missing");
  EXPECT_EQ(menu.items.size(), 3u);

  // The copy shares its submenu with the caller's record.
  menu.items[0]->submenu->appendItem(row("added"));
  EXPECT_EQ(first->items.size(), 2u);
}

TEST(ZrkMenuModel, SettersClamp) {
  struct Case {
    const char* name;
    void (ZrkMenu::*set)(int32_t);
    int32_t (ZrkMenu::*get)() const;
    int32_t in, out;
  };
  const Case cases[] = {
      {"fontSize", &ZrkMenu::setFontSize, &ZrkMenu::fontSize, 5, 8},
      {"fontSize", &ZrkMenu::setFontSize, &ZrkMenu::fontSize, 9, 9},
      {"itemHeight", &ZrkMenu::setItemHeight, &ZrkMenu::itemHeight, 12, 30},
      {"itemHeight", &ZrkMenu::setItemHeight, &ZrkMenu::itemHeight, 31, 31},
      {"separatorHeight", &ZrkMenu::setSeparatorHeight, &ZrkMenu::separatorHeight, 0, 10},
      {"padding", &ZrkMenu::setPadding, &ZrkMenu::padding, 250, 100},
      {"padding", &ZrkMenu::setPadding, &ZrkMenu::padding, -3, 0},
      {"borderRadius", &ZrkMenu::setBorderRadius, &ZrkMenu::borderRadius, -1, 0},
      {"iconSize", &ZrkMenu::setIconSize, &ZrkMenu::iconSize, -1, 0},
      {"componentsGap", &ZrkMenu::setComponentsGap, &ZrkMenu::componentsGap, -1, 0},
      {"componentsGap", &ZrkMenu::setComponentsGap, &ZrkMenu::componentsGap, 70000, 70000},
  };
  for (const Case& c : cases) {
    ZrkMenu menu;
    (menu.*c.set)(c.in);
    EXPECT_EQ((menu.*c.get)(), c.out) << c.name << " " << c.in;
  }
  const int32_t before = shadowSize();
  setShadowSize(-1);
  EXPECT_EQ(shadowSize(), 0);
  setShadowSize(before);
}

TEST(ZrkMenuModel, ScaledMetricsAndFontsFollowTheDpi) {
  ZrkMenu menu;
  menu.setDpi(144);
  EXPECT_EQ(menu.scaledItemHeight(), 60);
  EXPECT_EQ(menu.scaledPadding(), 30);
  EXPECT_EQ(menu.scaledIconSize(), 48);
  EXPECT_EQ(menu.scaledItemHeight(false), 40);
  EXPECT_EQ(menu.textFont().pixelSize, 15);
  EXPECT_DOUBLE_EQ(menu.acceleratorFont().pixelSize, 11.25);
  menu.setFontName(u"DejaVu Serif");
  menu.setFontBold(true);
  EXPECT_EQ(menu.textFont().family, "DejaVu Serif");
  EXPECT_TRUE(menu.textFont().bold);
  menu.setDpi(96);
  EXPECT_EQ(menu.textFont().pixelSize, 10);
}

TEST(ZrkMenuModel, AcceleratorTextsAndUtf8) {
  desk::ACCEL ctrlShiftS{desk::FVIRTKEY | desk::FCONTROL | desk::FSHIFT, 'S', 0};
  desk::ACCEL altF4{desk::FVIRTKEY | desk::FALT, 0x73, 0};
  desk::ACCEL del{desk::FVIRTKEY, 0x2E, 0};
  EXPECT_EQ(acceleratorText(nullptr), "");
  EXPECT_EQ(acceleratorText(&ctrlShiftS), "Ctrl+Shift+S");
  EXPECT_EQ(acceleratorText(&altF4), "Alt+F4");
  // The scan code goes without the extended bit: Delete reads as its keypad twin.
  EXPECT_EQ(acceleratorText(&del), "Num Del");

  ZrkMenuItem item;
  EXPECT_EQ(item.cachedAcceleratorText(), "");
  item.accelerator = std::make_shared<desk::ACCEL>(ctrlShiftS);
  EXPECT_EQ(item.cachedAcceleratorText(), "Ctrl+Shift+S");
  item.accelerator->key = 'T';
  EXPECT_EQ(item.cachedAcceleratorText(), "Ctrl+Shift+S") << "kept once filled";

  EXPECT_EQ(utf8ToWide("Gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80"), u"Grüß \U0001F600");
  EXPECT_EQ(utf8ToWide("bad \xc3"), u"");
  EXPECT_EQ(utf8ToWide("\xed\xa0\x80"), u"");  // an encoded surrogate
  EXPECT_EQ(utf8ToWide("\xc0\xaf"), u"");      // overlong
}

}  // namespace
}  // namespace zrkmenu
