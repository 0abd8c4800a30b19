#include <gtest/gtest.h>

#include "zrkmenu/zrkmenu.h"
#include "zrkwebview/browser/src/http-plugins/menu/menu-config.h"

namespace zrk::plugin {
namespace {

using nlohmann::json;
using zrkmenu::ZrkMenu;

class MenuStyle : public ::testing::Test {
 protected:
  void SetUp() override {
    setMenuConfig(json());
    zrkmenu::setShadowSize(14);
    zrkmenu::setShadowColor(0x281e1e1e);
  }
  void TearDown() override { SetUp(); }
  // A new menu under `config`.
  std::unique_ptr<ZrkMenu> menuWith(const json& config) {
    setMenuConfig(config);
    auto menu = std::make_unique<ZrkMenu>();
    readMenuStyle(menu.get());
    return menu;
  }
};

TEST_F(MenuStyle, NoConfigurationKeepsTheLibraryDefaults) {
  EXPECT_TRUE(menuConfig().is_null());
  auto m = menuWith(json());
  EXPECT_EQ(m->itemHeight(), 40);
  EXPECT_EQ(m->fontName(), u"Segoe UI");
  EXPECT_EQ(m->fontSize(), 10);
  EXPECT_EQ(m->backgroundColor(), 0xffffffffu);
  EXPECT_EQ(zrkmenu::shadowSize(), 14);
  EXPECT_EQ(zrkmenu::shadowColor(), 0x281e1e1eu);
  readMenuStyle(nullptr);  // nothing happens
}

TEST_F(MenuStyle, NumbersAreConvertedAndClamped) {
  struct Case {
    json config;
    int32_t (ZrkMenu::*get)() const;
    int32_t expected;
  };
  const Case cases[] = {
      {{{"itemHeight", 12}}, &ZrkMenu::itemHeight, 30},
      {{{"itemHeight", 35.9}}, &ZrkMenu::itemHeight, 35},
      {{{"itemHeight", 4294967346ull}}, &ZrkMenu::itemHeight, 50},  // low 32 bits
      {{{"itemHeight", "50"}}, &ZrkMenu::itemHeight, 40},           // not a number
      {{{"separatorHeight", 4}}, &ZrkMenu::separatorHeight, 10},
      {{{"fontSize", 6}}, &ZrkMenu::fontSize, 8},
      {{{"padding", 150}}, &ZrkMenu::padding, 100},
      {{{"borderRadius", -3}}, &ZrkMenu::borderRadius, 0},
      {{{"iconSize", 24}}, &ZrkMenu::iconSize, 24},
      {{{"componentsGap", -2.5}}, &ZrkMenu::componentsGap, 0},
  };
  for (const Case& c : cases) {
    auto m = menuWith(c.config);
    EXPECT_EQ(((*m).*c.get)(), c.expected) << c.config.dump();
  }
}

TEST_F(MenuStyle, ColoursSwapRedAndBlueExceptTheShadow) {
  const uint64_t redArgb = 0xffff0000u;  // opaque red read as 0xAARRGGBB
  auto m = menuWith({{"textColor", redArgb},
                     {"backgroundColor", -1},
                     {"borderColor", -65536},
                     {"highlightColor", 0x80123456u},
                     {"shadowColor", redArgb}});
  EXPECT_EQ(m->textColor(), 0xff0000ffu) << "red in the lowest byte";
  EXPECT_EQ(m->backgroundColor(), 0xffffffffu);
  EXPECT_EQ(m->borderColor(), 0xff0000ffu) << "-65536 is 0xffff0000";
  EXPECT_EQ(m->highlightColor(), 0x80563412u);
  EXPECT_EQ(zrkmenu::shadowColor(), 0xffff0000u) << "stored as given: an opaque blue shadow";

  const uint64_t blueArgb = 0xff0000ffu;
  m = menuWith({{"textColor", blueArgb}, {"shadowColor", blueArgb}});
  EXPECT_EQ(zrkmenu::toArgb(m->textColor()), 0xff0000ffu) << "opaque blue text";
  EXPECT_EQ(zrkmenu::toArgb(zrkmenu::shadowColor()), 0xffff0000u) << "opaque red shadow";
}

TEST_F(MenuStyle, TypesAreCheckedKeyByKey) {
  auto m = menuWith({{"fontBold", 1},
                     {"fontItalic", true},
                     {"fontName", ""},
                     {"fontSize", nullptr},
                     {"itemHeight", 44},
                     {"textColor", "red"},
                     {"unknown", 1}});
  EXPECT_FALSE(m->fontBold()) << "1 is not a boolean";
  EXPECT_TRUE(m->fontItalic());
  EXPECT_EQ(m->fontName(), u"Segoe UI") << "an empty name is ignored";
  EXPECT_EQ(m->fontSize(), 10);
  EXPECT_EQ(m->itemHeight(), 44);
  EXPECT_EQ(m->textColor(), 0xff000000u);

  m = menuWith({{"fontName", "DejaVu Serif \xc3\xa9"}});
  EXPECT_EQ(m->fontName(), u"DejaVu Serif é");
  EXPECT_EQ(m->textFont().family, "DejaVu Serif é");
}

TEST_F(MenuStyle, EmptyOrNonObjectConfigurationsApplyNothing) {
  menuWith({{"shadowSize", 20}, {"itemHeight", 50}});
  EXPECT_EQ(zrkmenu::shadowSize(), 20);
  auto m = menuWith(json::object());
  EXPECT_EQ(zrkmenu::shadowSize(), 20) << "the empty configuration leaves the shadow";
  EXPECT_EQ(m->itemHeight(), 40) << "keys of the old configuration are gone";
  m = menuWith(json::array({{{"itemHeight", 50}}}));
  EXPECT_EQ(m->itemHeight(), 40);
  m = menuWith(7);
  EXPECT_EQ(m->itemHeight(), 40);
  menuWith({{"shadowSize", -1}});
  EXPECT_EQ(zrkmenu::shadowSize(), 0);
}

TEST_F(MenuStyle, OnlyLaterMenusTakeANewConfiguration) {
  auto early = menuWith({{"itemHeight", 50}});
  auto late = menuWith({{"itemHeight", 60}});
  EXPECT_EQ(early->itemHeight(), 50);
  EXPECT_EQ(late->itemHeight(), 60);
  json copy = menuConfig();
  copy["itemHeight"] = 70;
  EXPECT_EQ(menuConfig()["itemHeight"], 60) << "menuConfig hands out a copy";
}

}  // namespace
}  // namespace zrk::plugin
