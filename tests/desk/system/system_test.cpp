#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "desk/com.h"
#include "desk/detail/codec.h"
#include "desk/folders.h"
#include "desk/sysinfo.h"
#include "desk/test_services.h"
#include "desk/thread.h"
#include "pelmora/version.h"

namespace desk {
namespace {

std::string narrow(const char16_t* s) { return detail::utf16ToUtf8(detail::wideView(s)); }

class SystemTest : public ::testing::Test {
 protected:
  void TearDown() override { test::resetSystemFacts(); }
};

TEST_F(SystemTest, ModulePathIsTheRunningExecutableAndIsCutToTheBuffer) {
  char16_t buffer[260];
  const DWORD n = GetModuleFileNameW(nullptr, buffer, 260);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(narrow(buffer), executablePath());
  EXPECT_NE(executablePath().find("desk_system_test"), std::string::npos);

  test::setExecutablePath("/opt/apps/p");
  char16_t small[5];
  EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(narrow(small), "/opt");
  char exact[12];
  EXPECT_EQ(GetModuleFileNameA(nullptr, exact, 12), 11u);
  EXPECT_STREQ(exact, "/opt/apps/p");
  test::failModuleFileName(true);
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 260), 0u);
  EXPECT_EQ(buffer[0], 0);
}

TEST_F(SystemTest, CommandLineIsTheArgumentVectorUnsplit) {
  const auto args = commandLineArguments();
  ASSERT_FALSE(args.empty());
  EXPECT_NE(args[0].find("desk_system_test"), std::string::npos);
  test::setCommandLineArguments(std::vector<std::string>{"/p", "a b", "\"q\"", ""});
  EXPECT_EQ(commandLineArguments(), (std::vector<std::string>{"/p", "a b", "\"q\"", ""}));
}

// Reads a string entry the way the program's readers do: the first translation's path.
std::string readEntry(const char* key, bool* found = nullptr) {
  if (found) *found = false;
  char16_t path[260];
  if (GetModuleFileNameW(nullptr, path, 260) == 0) return "(no module)";
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) return "(no block)";
  std::string block(size, '\0');
  if (!GetFileVersionInfoW(path, handle, size, block.data())) return "(read failed)";
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &value, &length)) return "(no table)";
  if (length < 4) return "(empty table)";
  uint16_t pair[2];
  std::memcpy(pair, value, 4);
  char query[128];
  std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", pair[0], pair[1], key);
  const std::u16string wide = detail::utf8ToUtf16(query);
  if (!VerQueryValueW(block.data(), wide.c_str(), &value, &length) || length == 0) return "(no entry)";
  if (found) *found = true;
  return detail::utf16ToUtf8(std::u16string(static_cast<const char16_t*>(value), length - 1));
}

std::string readFileVersion() {
  char16_t path[260];
  GetModuleFileNameW(nullptr, path, 260);
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) return "(no block)";
  std::string block(size, '\0');
  if (!GetFileVersionInfoW(path, handle, size, block.data())) return "(read failed)";
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), u"\\", &value, &length)) return "(no fixed)";
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  return std::to_string(fixed->dwFileVersionMS >> 16) + "." + std::to_string(fixed->dwFileVersionMS & 0xFFFF) +
         "." + std::to_string(fixed->dwFileVersionLS >> 16) + "." + std::to_string(fixed->dwFileVersionLS & 0xFFFF);
}

TEST_F(SystemTest, VersionBlockCarriesTheProgramsVersionHeader) {
  const auto& info = pelmora::versionInfo();
  EXPECT_EQ(readEntry("ProductName"), info.productName);
  EXPECT_EQ(readEntry("productversion"), info.productVersion);
  EXPECT_EQ(readEntry("Identifier"), info.identifier);
  EXPECT_EQ(readEntry("Website"), info.website);
  EXPECT_EQ(readEntry("CompanyName"), "(no entry)");
  EXPECT_EQ(readFileVersion(), std::to_string(info.fileVersion[0]) + "." + std::to_string(info.fileVersion[1]) +
                                   "." + std::to_string(info.fileVersion[2]) + ".0");
  // Another file has no block.
  DWORD handle = 0;
  EXPECT_EQ(GetFileVersionInfoSizeW(u"/bin/sh", &handle), 0u);
}

TEST_F(SystemTest, ReplacedVersionBlocks) {
  struct Case {
    const char* label;
    std::optional<VersionBlock> block;
    bool readFails;
    std::string name;
    std::string fileVersion;
  };
  VersionBlock full;
  full.translations = {{0x0407, 0x04E4}, {0x0409, 0x04B0}};
  full.strings = {{"040704e4\\ProductName", u"Bildprogramm \u00e4"}, {"040904b0\\ProductName", u"Second"}};
  VS_FIXEDFILEINFO fixed;
  fixed.dwFileVersionMS = (3u << 16) | 2u;
  fixed.dwFileVersionLS = (1u << 16) | 0u;
  full.fixed = fixed;
  VersionBlock noTable = full;
  noTable.hasTranslationTable = false;
  noTable.fixed.reset();
  VersionBlock emptyTable;
  VersionBlock emptyValue = full;
  emptyValue.strings = {{"040704e4\\ProductName", u""}};
  const std::vector<Case> cases = {
      {"first translation only", full, false, "Bildprogramm \xc3\xa4", "3.2.1.0"},
      {"no block", std::nullopt, false, "(no block)", "(no block)"},
      {"read fails", full, true, "(read failed)", "(read failed)"},
      {"no translation table, no fixed info", noTable, false, "(no table)", "(no fixed)"},
      {"empty translation table", emptyTable, false, "(empty table)", "(no fixed)"},
      {"empty value", emptyValue, false, "", "3.2.1.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    test::setVersionBlock(c.block);
    test::failVersionRead(c.readFails);
    EXPECT_EQ(readEntry("ProductName"), c.name);
    EXPECT_EQ(readFileVersion(), c.fileVersion);
  }
}

TEST_F(SystemTest, OsVersionAndComponentSetUp) {
  OSVERSIONINFOW info;
  EXPECT_LT(RtlGetVersion(&info), 0);  // the size field is not set
  info.dwOSVersionInfoSize = 276;
  ASSERT_EQ(RtlGetVersion(&info), 0);
  EXPECT_EQ(info.dwMajorVersion, 10u);
  EXPECT_EQ(info.dwMinorVersion, 0u);
  EXPECT_EQ(info.dwBuildNumber, 19045u);
  test::setOsVersion(10, 0, 22631);
  ASSERT_EQ(RtlGetVersion(&info), 0);
  EXPECT_EQ(info.dwBuildNumber, 22631u);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  EXPECT_EQ(OleInitialize(nullptr), S_OK);
  OleUninitialize();
  CoUninitialize();
}

class FoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/desk-folders-XXXXXX";
    root_ = mkdtemp(pattern);
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "TMPDIR"}) {
      const char* v = std::getenv(name);
      saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
    }
    setenv("HOME", (root_ + "/home").c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("TMPDIR");
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) setenv(name.c_str(), value->c_str(), 1); else unsetenv(name.c_str());
    }
    std::system(("rm -rf '" + root_ + "'").c_str());
  }
  std::string root_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

std::string known(const KNOWNFOLDERID& id) {
  char16_t* path = nullptr;
  if (SHGetKnownFolderPath(id, 0, nullptr, &path) != S_OK) return "(failed)";
  std::string out = narrow(path);
  CoTaskMemFree(path);
  return out;
}

TEST_F(FoldersTest, DefaultsUnderHome) {
  const std::string home = root_ + "/home";
  EXPECT_EQ(known(FOLDERID_RoamingAppData), home + "/.local/share");
  EXPECT_EQ(known(FOLDERID_LocalAppData), home + "/.local/share");
  EXPECT_EQ(known(FOLDERID_Fonts), home + "/.local/share/fonts");
  EXPECT_EQ(known(FOLDERID_Profile), home);
  EXPECT_EQ(known(FOLDERID_Documents), home + "/Documents");
  EXPECT_EQ(known(FOLDERID_Downloads), home + "/Downloads");
  EXPECT_EQ(known(FOLDERID_Public), home + "/Public");
  EXPECT_EQ(known(FOLDERID_Templates), home + "/Templates");
  char16_t buffer[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, buffer), S_OK);
  EXPECT_EQ(narrow(buffer), home + "/.local/share");
  EXPECT_EQ(SHGetFolderPathW(nullptr, 0x27, nullptr, 0, buffer), E_INVALIDARG);
  // The temporary folder, with its trailing separator, and the size protocol.
  EXPECT_EQ(tempFolder(), "/tmp/");
  setenv("TMPDIR", "/var/tmp//", 1);
  char16_t temp[64];
  EXPECT_EQ(GetTempPathW(5, temp), 10u);
  EXPECT_EQ(GetTempPathW(64, temp), 9u);
  EXPECT_EQ(narrow(temp), "/var/tmp/");
  setenv("TMPDIR", "relative", 1);
  EXPECT_EQ(tempFolder(), "/tmp/");
}

TEST_F(FoldersTest, XdgVariablesAndUserDirs) {
  const std::string home = root_ + "/home";
  setenv("XDG_DATA_HOME", (root_ + "/data/").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
  std::system(("mkdir -p '" + root_ + "/config'").c_str());
  std::ofstream(root_ + "/config/user-dirs.dirs")
      << "# written by xdg-user-dirs-update\n"
         "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n"
         "XDG_MUSIC_DIR=\"/srv/m\\\"usic\"\n"
         "XDG_PICTURES_DIR=$HOME/unquoted\n"
         "  XDG_VIDEOS_DIR=\"$HOMEX/v\"\n"
         "XDG_DESKTOP_DIR=\"$HOME\"\n";
  EXPECT_EQ(known(FOLDERID_RoamingAppData), root_ + "/data");
  EXPECT_EQ(known(FOLDERID_Fonts), root_ + "/data/fonts");
  EXPECT_EQ(known(FOLDERID_Documents), home + "/Dokumente");
  EXPECT_EQ(known(FOLDERID_Music), "/srv/m\"usic");
  EXPECT_EQ(known(FOLDERID_Pictures), home + "/Pictures");  // not quoted: ignored
  EXPECT_EQ(known(FOLDERID_Videos), home + "/Videos");      // not $HOME: ignored
  EXPECT_EQ(known(FOLDERID_Desktop), home);
  // A relative XDG variable is ignored.
  setenv("XDG_DATA_HOME", "data", 1);
  EXPECT_EQ(known(FOLDERID_LocalAppData), home + "/.local/share");
}

}  // namespace
}  // namespace desk
