#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <glib.h>
#include <unistd.h>

#include "desk/test_services.h"
#include "toast/notifier.h"
#include "toast/recording_platform.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ShortcutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::temp_directory_path() / ("toast-shortcut-" + std::to_string(::getpid()));
    fs::remove_all(home_);
    ::setenv("XDG_DATA_HOME", home_.c_str(), 1);
    file_ = home_ / "applications" / "Pelmora.desktop";
  }
  void TearDown() override {
    desk::test::resetSystemFacts();
    fs::remove_all(home_);
  }

  void put(const std::string& text) {
    fs::create_directories(file_.parent_path());
    std::ofstream(file_, std::ios::binary) << text;
  }

  int32_t create(int32_t policy) {
    toast::Notifier notifier(std::make_shared<toast::RecordingPlatform>());
    notifier.setAppName(u"Pelmora");
    notifier.setAppUserModelId(u"Pelmora.Viewer");
    notifier.setShortcutPolicy(policy);
    return notifier.createShortcut();
  }

  fs::path home_;
  fs::path file_;
};

const char* const kSame =
    "[Desktop Entry]\nType=Application\nName=Pelmora\nExec=/bin/true\n"
    "X-Pelmora-AppUserModelId=Pelmora.Viewer\n";
const char* const kCase =
    "[Desktop Entry]\nType=Application\nName=Pelmora\nExec=/bin/true\n"
    "X-Pelmora-AppUserModelId=pelmora.viewer\n";
const char* const kNoKey = "[Desktop Entry]\nType=Application\nName=Pelmora\nExec=/bin/true\n";
const char* const kGarbage = "this is not\x01 a desktop entry\n[[[\n";

TEST_F(ShortcutTest, PolicyAgainstState) {
  struct Case {
    const char* state;  // null: no file
    int32_t policy;
    int32_t result;
    bool rewritten;
  };
  const std::vector<Case> cases = {
      {nullptr, toast::CheckAndCreate, toast::ShortcutCreated, true},
      {nullptr, toast::CheckOnly, toast::ShortcutCreateFailed, false},
      {nullptr, toast::Ignore, toast::ShortcutCreateFailed, false},
      {kSame, toast::CheckAndCreate, toast::ShortcutUnchanged, false},
      {kSame, toast::CheckOnly, toast::ShortcutUnchanged, false},
      {kSame, toast::Ignore, toast::ShortcutUnchanged, false},
      {kCase, toast::CheckAndCreate, toast::ShortcutRepaired, true},
      {kCase, toast::CheckOnly, toast::ShortcutCreateFailed, false},
      {kNoKey, toast::CheckAndCreate, toast::ShortcutRepaired, true},
      {kNoKey, toast::Ignore, toast::ShortcutCreateFailed, false},
      {kGarbage, toast::CheckAndCreate, toast::ShortcutRepaired, true},
      {kGarbage, toast::CheckOnly, toast::ShortcutCreateFailed, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.state ? c.state : "(missing)") + " policy " +
                 std::to_string(c.policy));
    fs::remove_all(home_);
    if (c.state != nullptr) put(c.state);
    EXPECT_EQ(create(c.policy), c.result);
    if (!c.rewritten) {
      if (c.state == nullptr) {
        EXPECT_FALSE(fs::exists(file_));
      } else {
        EXPECT_EQ(readFile(file_), c.state);
      }
      continue;
    }
    g_autoptr(GKeyFile) keys = g_key_file_new();
    ASSERT_TRUE(g_key_file_load_from_file(keys, file_.c_str(), G_KEY_FILE_NONE, nullptr));
    g_autofree gchar* id =
        g_key_file_get_string(keys, "Desktop Entry", "X-Pelmora-AppUserModelId", nullptr);
    ASSERT_NE(id, nullptr);
    EXPECT_STREQ(id, "Pelmora.Viewer");
    g_autofree gchar* exec = g_key_file_get_string(keys, "Desktop Entry", "Exec", nullptr);
    EXPECT_NE(exec, nullptr);
    // A repaired entry keeps what it had; now it passes validation again.
    EXPECT_EQ(create(toast::CheckOnly), toast::ShortcutUnchanged);
  }
  // Nothing is left half-written beside the entry.
  for (const auto& e : fs::directory_iterator(file_.parent_path())) {
    EXPECT_EQ(e.path().filename(), "Pelmora.desktop");
  }
}

TEST_F(ShortcutTest, ExecutableWithBlanksAndQuotesRoundTrips) {
  const std::string exe = "/opt/My Apps/pel \"mora\"/bin's $HOME\\x 100%/pelmora";
  desk::test::setExecutablePath(exe);
  ASSERT_EQ(create(toast::CheckAndCreate), toast::ShortcutCreated);

  g_autoptr(GKeyFile) keys = g_key_file_new();
  ASSERT_TRUE(g_key_file_load_from_file(keys, file_.c_str(), G_KEY_FILE_NONE, nullptr));
  g_autofree gchar* exec = g_key_file_get_string(keys, "Desktop Entry", "Exec", nullptr);
  ASSERT_NE(exec, nullptr);
  // Field codes aside, the Exec value is read by shell quoting rules.
  std::string unpercent = exec;
  for (size_t at = unpercent.find("%%"); at != std::string::npos; at = unpercent.find("%%", at + 1))
    unpercent.erase(at, 1);
  gint argc = 0;
  g_auto(GStrv) argv = nullptr;
  ASSERT_TRUE(g_shell_parse_argv(unpercent.c_str(), &argc, &argv, nullptr));
  ASSERT_EQ(argc, 1);
  EXPECT_EQ(std::string(argv[0]), exe);
  g_autofree gchar* path = g_key_file_get_string(keys, "Desktop Entry", "Path", nullptr);
  EXPECT_STREQ(path, "/opt/My Apps/pel \"mora\"/bin's $HOME\\x 100%");

  if (::access("/usr/bin/desktop-file-validate", X_OK) == 0) {
    const std::string command = "/usr/bin/desktop-file-validate '" + file_.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << readFile(file_);
  }
}

TEST_F(ShortcutTest, NoLineBreakReachesAKey) {
  desk::test::setExecutablePath("/opt/a\nName=Evil/pelmora");
  toast::Notifier notifier(std::make_shared<toast::RecordingPlatform>());
  notifier.setAppName(u"Pelmora");
  notifier.setAppUserModelId(u"Pelmora\nExec=/bin/evil");
  ASSERT_EQ(notifier.createShortcut(), toast::ShortcutCreated);
  const std::string text = readFile(file_);
  EXPECT_EQ(text.find("\nName=Evil"), std::string::npos);
  EXPECT_EQ(text.find("\nExec=/bin/evil"), std::string::npos);
  g_autoptr(GKeyFile) keys = g_key_file_new();
  ASSERT_TRUE(g_key_file_load_from_file(keys, file_.c_str(), G_KEY_FILE_NONE, nullptr));
  g_autofree gchar* id =
      g_key_file_get_string(keys, "Desktop Entry", "X-Pelmora-AppUserModelId", nullptr);
  EXPECT_STREQ(id, "Pelmora\nExec=/bin/evil");
  EXPECT_EQ(notifier.createShortcut(), toast::ShortcutUnchanged);
  // A name that would leave the folder names no entry.
  EXPECT_EQ(toast::shortcutPath(u"../x"), "");
}

}  // namespace
