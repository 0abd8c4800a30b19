#include "desk/display/backend.h"

#include <gtest/gtest.h>

namespace {

using desk::display::Backend;

TEST(DisplayBackend, ChoiceFollowsDisplayAndTheHeadlessSwitch) {
  struct Case {
    const char* display;
    const char* headless;
    Backend expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, Backend::Headless},  // no display at all: the default
      {"", nullptr, Backend::Headless},
      {":0", nullptr, Backend::X11},
      {":0", "", Backend::X11},
      {":0", "0", Backend::X11},
      {":0", "1", Backend::Headless},
      {"localhost:10.0", "yes", Backend::Headless},
      {nullptr, "1", Backend::Headless},
  };
  for (const Case& c : cases) {
    auto choice = desk::display::chooseBackend(c.display, c.headless);
    EXPECT_EQ(choice.backend, c.expected) << (c.display ? c.display : "(unset)") << " / "
                                          << (c.headless ? c.headless : "(unset)");
    EXPECT_FALSE(choice.reason.empty());
    if (c.expected == Backend::X11) {
      EXPECT_EQ(choice.display, c.display);
    }
  }
}

TEST(DisplayBackend, TestsRunHeadlessWhateverTheDisplay) {
  // The test runner sets the switch for every test, so a developer's DISPLAY changes nothing.
  EXPECT_EQ(desk::display::chooseBackendFromEnvironment().backend, Backend::Headless);
  std::string error;
  EXPECT_TRUE(desk::display::startBackend(desk::display::chooseBackendFromEnvironment(), error));
  EXPECT_EQ(desk::display::activeBackend(), Backend::Headless);
}

TEST(DisplayBackend, AnUnreachableDisplayLeavesTheProgramHeadless) {
  auto choice = desk::display::chooseBackend("/nonexistent/socket:77", nullptr);
  ASSERT_EQ(choice.backend, Backend::X11);
  std::string error;
  EXPECT_FALSE(desk::display::startBackend(choice, error));
  EXPECT_NE(error.find("cannot open the X display"), std::string::npos) << error;
  EXPECT_EQ(desk::display::activeBackend(), Backend::Headless);
}

}  // namespace
