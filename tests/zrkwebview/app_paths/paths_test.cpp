// The program's paths, version entries, command line and theme preference.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "desk/registry.h"
#include "desk/sysinfo.h"
#include "desk/test_services.h"
#include "zrkwebview/browser/src/app-paths.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/configuration.h"

namespace {

// The application of this executable: its data-folder override is settable.
class PathsApp : public zrk::App {
 public:
  std::string dataPath() override { return override; }
  static inline std::string override;
};

const bool factorySet = [] {
  zrk::App::setFactory([] { return std::make_shared<PathsApp>(); });
  return true;
}();

// Sets an environment variable for the scope and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

desk::VersionBlock blockWith(const std::vector<std::pair<std::string, std::u16string>>& strings) {
  desk::VersionBlock block;
  block.translations = {{0x0409, 0x04B0}};
  for (const auto& [key, value] : strings) block.strings.emplace_back("040904b0\\" + key, value);
  return block;
}

class AppPaths : public ::testing::Test {
 protected:
  void TearDown() override {
    desk::test::resetSystemFacts();
    PathsApp::override.clear();
  }
};

TEST_F(AppPaths, DataDirectory) {
  ASSERT_TRUE(factorySet);
  ScopedEnv home("HOME", "/home/someone");
  const struct {
    const char* xdg;  // null: unset
    const char* expected;
  } cases[] = {
      {"/data/here", "/data/here/Pelmora/"},
      {"/data/here/", "/data/here/Pelmora/"},
      {"relative/ignored", "/home/someone/.local/share/Pelmora/"},
      {"", "/home/someone/.local/share/Pelmora/"},
      {nullptr, "/home/someone/.local/share/Pelmora/"},
  };
  for (const auto& c : cases) {
    ScopedEnv xdg("XDG_DATA_HOME", c.xdg);
    EXPECT_EQ(zrk::dataDirectory(), c.expected) << (c.xdg ? c.xdg : "(unset)");
  }
  ScopedEnv xdg("XDG_DATA_HOME", "/tmp/xdg");
  // The identifier comes from the version block; "zrk" without one.
  EXPECT_EQ(zrk::applicationIdentifier(), "Pelmora");
  desk::test::setVersionBlock(blockWith({{"Identifier", u"abc"}}));
  EXPECT_EQ(zrk::dataDirectory(), "/tmp/xdg/abc/");
  EXPECT_EQ(zrk::applicationIdentifier(), "abc");
  desk::test::setVersionBlock(blockWith({{"ProductName", u"P"}}));
  EXPECT_EQ(zrk::dataDirectory(), "/tmp/xdg/zrk/");
  EXPECT_EQ(zrk::applicationIdentifier(), "");
  desk::test::setVersionBlock(std::nullopt);
  EXPECT_EQ(zrk::dataDirectory(), "/tmp/xdg/zrk/");
  // The application's override wins, unchanged.
  PathsApp::override = "/somewhere/else";
  EXPECT_EQ(zrk::dataDirectory(), "/somewhere/else");
}

TEST_F(AppPaths, ExecutableAndVersion) {
  char real[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", real, sizeof(real) - 1);
  ASSERT_GT(n, 0);
  const std::string exe(real, static_cast<size_t>(n));
  EXPECT_EQ(zrk::executableName(true), exe);
  EXPECT_EQ(zrk::executableName(false), exe.substr(exe.rfind('/') + 1));
  EXPECT_EQ(zrk::executableDirectory(), exe.substr(0, exe.rfind('/')));
  EXPECT_EQ(zrk::programDirectory(), zrk::executableDirectory());

  // A path longer than any fixed buffer comes whole.
  const std::string deep = "/opt/" + std::string(300, 'd') + "/p";
  desk::test::setExecutablePath(deep);
  EXPECT_EQ(zrk::executableName(true), deep);
  EXPECT_EQ(zrk::executableName(false), "p");
  EXPECT_EQ(zrk::executableDirectory(), "/opt/" + std::string(300, 'd'));

  EXPECT_EQ(zrk::productName(), "Pelmora");
  desk::VersionBlock block = blockWith({{"ProductName", u"Caf\u00e9"}});
  desk::VS_FIXEDFILEINFO fixed;
  fixed.dwFileVersionMS = (1u << 16) | 2u;
  fixed.dwFileVersionLS = (3u << 16) | 4u;
  block.fixed = fixed;
  desk::test::setVersionBlock(block);
  EXPECT_EQ(zrk::productName(), "Caf\xc3\xa9");
  EXPECT_EQ(zrk::fileVersion(), "1.2.3.4");
  block.fixed.reset();
  block.hasTranslationTable = false;
  desk::test::setVersionBlock(block);
  EXPECT_EQ(zrk::productName(), "");
  EXPECT_EQ(zrk::fileVersion(), "");
  desk::test::setVersionBlock(std::nullopt);
  EXPECT_EQ(zrk::productName(), "");
  EXPECT_EQ(zrk::fileVersion(), "");
  desk::test::setVersionBlock(blockWith({{"ProductName", u"P"}}));
  desk::test::failVersionRead(true);
  EXPECT_EQ(zrk::productName(), "");
  desk::test::failVersionRead(false);
}

TEST_F(AppPaths, Arguments) {
  // In the child: write the arguments, one per line, to the file named by the environment.
  if (const char* out = std::getenv("PEL_PATHS_CHILD_OUT")) {
    std::ofstream file(out);
    for (const auto& a : zrk::arguments()) file << "[" << a << "]\n";
    return;
  }
  const std::string exe = zrk::executableName(true);
  const std::string outPath = testing::TempDir() + "/paths_child_args.txt";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("PEL_PATHS_CHILD_OUT", outPath.c_str(), 1);
    const char* argv[] = {exe.c_str(), "--gtest_filter=AppPaths.Arguments", "\xff\xfe bad",
                          "ok \"quoted\"", nullptr};
    execv(exe.c_str(), const_cast<char* const*>(argv));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  std::ifstream in(outPath);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "[" + exe + "]\n[--gtest_filter=AppPaths.Arguments]\n[]\n[ok \"quoted\"]\n");

  // The arguments the layer reports, as they are.
  desk::test::setCommandLineArguments(std::vector<std::string>{"/p"});
  EXPECT_EQ(zrk::arguments(), std::vector<std::string>{"/p"});
  EXPECT_EQ(zrk::App::instance()->arguments(), std::vector<std::string>{"/p"});
}

TEST_F(AppPaths, ThemeFromTheStoredValueWithoutAPortal) {
  // No session bus to ask: the stored value answers.
  ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/pelmora-test-bus");
  EXPECT_FALSE(zrk::desktopColorScheme().has_value());
  const std::string key = "Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
  const struct {
    std::optional<uint32_t> light;  // nullopt: no value
    bool dark;
  } cases[] = {{0, true}, {1, false}, {std::nullopt, false}};
  for (const auto& c : cases) {
    if (c.light) {
      std::string bytes(4, '\0');
      for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((*c.light >> (8 * i)) & 0xFF);
      desk::test::seedRegistryValue(key, "AppsUseLightTheme", desk::REG_DWORD, bytes);
    } else {
      desk::HKEY k = nullptr;
      if (desk::RegOpenKeyA(desk::HKEY_CURRENT_USER, key.c_str(), &k) == desk::ERROR_SUCCESS) {
        desk::RegDeleteValueA(k, "AppsUseLightTheme");
        desk::RegCloseKey(k);
      }
    }
    EXPECT_EQ(zrk::isSystemDarkTheme(), c.dark) << (c.light ? std::to_string(*c.light) : "absent");
  }
  // A key that cannot be opened: light.
  desk::test::seedRegistryValue(key, "AppsUseLightTheme", desk::REG_DWORD, std::string(4, '\0'));
  desk::test::refuseRegistryKey(key);
  EXPECT_FALSE(zrk::isSystemDarkTheme());
  desk::test::clearRegistryRefusals();
  EXPECT_EQ(desk::test::openRegistryKeys(), 0u);
}

}  // namespace
