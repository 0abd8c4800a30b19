// Shared set-up of the popup-menu tests: fonts pinned to DejaVu, the platform layer reset (one
// 1920x1080 monitor, a virtual clock) and the process-wide shadow at its defaults.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "desk/gfx/text.h"
#include "desk/test.h"
#include "zrkmenu/zrkmenu.h"

namespace zrkmenu::testing {

inline const bool kFontsPinned = [] {
  setenv("FONTCONFIG_FILE", PEL_SOURCE_ROOT "/tests/zrkmenu/fonts.conf", 1);
  return true;
}();

class MenuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kFontsPinned);
    desk::test::reset();
    setShadowSize(14);
    setShadowColor(0x281e1e1e);
  }
  void TearDown() override {
    removeHooks();
    desk::gfx::setTextMeasurer(nullptr);
    desk::test::reset();
  }
  void useFixedText() {
    desk::gfx::setTextMeasurer(std::make_shared<desk::gfx::FixedTextMeasurer>());
  }
};

inline ZrkMenuItem row(const std::string& id, const std::string& text = "") {
  ZrkMenuItem item;
  item.id = id;
  item.text = text.empty() ? id : text;
  return item;
}

inline ZrkMenuItem separator(const std::string& id = "") {
  ZrkMenuItem item;
  item.id = id;
  item.separator = true;
  return item;
}

}  // namespace zrkmenu::testing
