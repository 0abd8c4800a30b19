// A page asks for files with "open_file" through the transport; the headless file dialog is
// answered by the test controller, and the outcome reaches the page's one-shot callback.
#include <mutex>
#include <optional>

#include "desk/system_dialogs.h"
#include "plugins_browser.h"

namespace plugins_browser {
namespace {

namespace fs = std::filesystem;

// The command answers at once; the dialog's outcome comes later through the handler callback.
const char* const kDialogScript = R"JS(
window.openFiles = options => new Promise((resolve, reject) => {
  const T = window.__zrk_internals__;
  const handler = T.makeCallback(value => resolve(value), true);
  T.invoke("plugin:dialog|open_file", Object.assign({ handler: handler }, options)).catch(reject);
});
)JS";

std::string narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += static_cast<char>(c < 0x80 ? c : '?');
  return out;
}

TEST_F(PluginsBrowserTest, APageOpensFilesThroughTheFileDialog) {
  auto webview = open("dialog", page("", kDialogScript));
  ASSERT_TRUE(webview);
  const desk::HWND owner = window(0)->nativeHandle();
  const fs::path dir = fs::path(folder()) / "pick";
  fs::create_directories(dir);
  const std::string first = (dir / "a.png").string(), second = (dir / "\xc3\xa9t\xc3\xa9 b.jpg").string();

  struct Seen {
    std::optional<desk::FileDialogRecord> record;
    bool ownerEnabled = true;
  } seen;
  auto answer = [&](desk::test::FileDialogAnswer reply) {
    desk::test::setFileDialogScript([&seen, reply](const desk::FileDialogRecord& record) {
      seen.record = record;
      seen.ownerEnabled = desk::IsWindowEnabled(record.owner) != 0;
      return reply;
    });
  };
  const std::string request =
      "openFiles({title: 'Pick two', multiple: true, defaultPath: " + json(dir.string()).dump() +
      ", filters: [{name: 'Images', extensions: ['png', 'jpg']}],"
      " options: [{variable: 'keep', text: 'Keep names', value: false}]})";

  // Two files chosen, the box ticked: both paths and the box's value reach the page.
  desk::test::FileDialogAnswer choose;
  choose.kind = desk::test::FileDialogAnswer::Kind::Choose;
  choose.paths = {first, second};
  choose.checks = {{1001, true}};
  answer(choose);
  EXPECT_EQ(await(*webview, request),
            json({{"path", {first, second}}, {"values", {{"keep", true}}}}));
  ASSERT_TRUE(seen.record);
  EXPECT_EQ(seen.record->owner, owner);
  EXPECT_FALSE(seen.ownerEnabled);  // modal to the page's window while it is shown
  EXPECT_TRUE(desk::IsWindowEnabled(owner));
  EXPECT_FALSE(seen.record->save);
  EXPECT_NE(seen.record->options & desk::FOS_ALLOWMULTISELECT, 0u);
  EXPECT_EQ(narrow(seen.record->title), "Pick two");
  EXPECT_EQ(narrow(seen.record->folder), dir.string());
  ASSERT_EQ(seen.record->fileTypes.size(), 1u);
  EXPECT_EQ(narrow(seen.record->fileTypes[0].second), "*.png;*.jpg");

  // Cancelled: the callback gets null, once, and the owner is usable again.
  seen = {};
  answer(desk::test::FileDialogAnswer{});
  EXPECT_EQ(await(*webview, request), nullptr);
  EXPECT_TRUE(seen.record);
  EXPECT_TRUE(desk::IsWindowEnabled(owner));

  // A dialog that fails to show: the page still hears back (null), the owner stays usable.
  seen = {};
  desk::test::FileDialogAnswer fail;
  fail.kind = desk::test::FileDialogAnswer::Kind::Fail;
  answer(fail);
  EXPECT_EQ(await(*webview, request), nullptr);
  EXPECT_TRUE(desk::IsWindowEnabled(owner));
  desk::test::resetSystemDialogs();
}

}  // namespace
}  // namespace plugins_browser
