#include "desk/shell.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "desk/detail/codec.h"
#include "desk/folders.h"
#include "desk/log.h"
#include "desk/test_services.h"
#include "desk/thread.h"

namespace desk {
namespace {

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void touch(const std::string& path, const std::string& text = "x") { std::ofstream(path) << text; }

std::u16string wide(const std::string& s) { return detail::utf8ToUtf16(s); }

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/desk-shell-XXXXXX";
    root_ = mkdtemp(pattern);
    const char* v = std::getenv("XDG_DATA_HOME");
    savedData_ = v ? std::optional<std::string>(v) : std::nullopt;
    setenv("XDG_DATA_HOME", (root_ + "/data").c_str(), 1);
    trash_ = root_ + "/data/Trash";
    mkdir((root_ + "/a").c_str(), 0700);
    mkdir((root_ + "/b").c_str(), 0700);
    setLogHandler([](int, const std::string&) {});
  }
  void TearDown() override {
    if (savedData_) setenv("XDG_DATA_HOME", savedData_->c_str(), 1); else unsetenv("XDG_DATA_HOME");
    std::system(("rm -rf '" + root_ + "'").c_str());
    setLauncher(nullptr);
    setLogHandler(nullptr);
  }
  std::string root_, trash_;
  std::optional<std::string> savedData_;
};

TEST_F(ShellTest, ItemsGoToTheHomeTrashWithInfoAndNumberedNames) {
  touch(root_ + "/a/photo.jpg", "first");
  touch(root_ + "/b/photo.jpg", "second");
  mkdir((root_ + "/a/folder").c_str(), 0700);
  touch(root_ + "/a/folder/inside");
  ASSERT_TRUE(moveToTrash(root_ + "/a/photo.jpg"));
  ASSERT_TRUE(moveToTrash(root_ + "/b/photo.jpg"));
  ASSERT_TRUE(moveToTrash(root_ + "/a/folder/"));
  EXPECT_FALSE(exists(root_ + "/a/photo.jpg"));
  EXPECT_EQ(readFile(trash_ + "/files/photo.jpg"), "first");
  EXPECT_EQ(readFile(trash_ + "/files/photo.2.jpg"), "second");
  EXPECT_TRUE(exists(trash_ + "/files/folder/inside"));
  const std::string info = readFile(trash_ + "/info/photo.2.jpg.trashinfo");
  EXPECT_EQ(info.rfind("[Trash Info]\nPath=" + root_ + "/b/photo.jpg\nDeletionDate=", 0), 0u) << info;
  EXPECT_EQ(info.size(), std::string("[Trash Info]\nPath=\nDeletionDate=2026-01-01T00:00:00\n").size() +
                             (root_ + "/b/photo.jpg").size());
  struct stat st;
  ASSERT_EQ(stat(trash_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A stray entry in files/ without its info file is left alone; odd characters are encoded.
  touch(trash_ + "/files/photo.3.jpg", "stray");
  touch(root_ + "/a/photo.jpg", "third");
  ASSERT_TRUE(moveToTrash(root_ + "/a/photo.jpg"));
  EXPECT_EQ(readFile(trash_ + "/files/photo.3.jpg"), "stray");
  EXPECT_EQ(readFile(trash_ + "/files/photo.4.jpg"), "third");
  EXPECT_FALSE(exists(trash_ + "/info/photo.3.jpg.trashinfo"));
  touch(root_ + "/a/50% off\nnow.txt");
  ASSERT_TRUE(moveToTrash(root_ + "/a/50% off\nnow.txt"));
  EXPECT_NE(readFile(trash_ + "/info/50% off\nnow.txt.trashinfo").find("/a/50%25%20off%0Anow.txt\n"),
            std::string::npos);
}

TEST_F(ShellTest, FailuresMoveNothingAndLeaveNoInfo) {
  std::string error;
  EXPECT_FALSE(moveToTrash(root_ + "/a/missing", &error));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(error.find("missing"), std::string::npos);
  for (const std::string& bad : {std::string(""), root_ + "/a/..", std::string("/")}) {
    EXPECT_FALSE(moveToTrash(bad, &error)) << bad;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << bad;
  }
  // The move itself fails after the info file was claimed: the file stays, the claim goes.
  touch(root_ + "/a/keep.txt");
  test::failNextTrashMove(EACCES);
  EXPECT_FALSE(moveToTrash(root_ + "/a/keep.txt", &error));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(exists(root_ + "/a/keep.txt"));
  EXPECT_FALSE(exists(trash_ + "/info/keep.txt.trashinfo"));
  EXPECT_FALSE(exists(trash_ + "/files/keep.txt"));

  // A trash folder that is a link to elsewhere is refused.
  std::system(("rm -rf '" + trash_ + "'").c_str());
  mkdir((root_ + "/elsewhere").c_str(), 0700);
  ASSERT_EQ(symlink((root_ + "/elsewhere").c_str(), trash_.c_str()), 0);
  EXPECT_FALSE(moveToTrash(root_ + "/a/keep.txt", &error));
  EXPECT_TRUE(exists(root_ + "/a/keep.txt"));
  EXPECT_FALSE(exists(root_ + "/elsewhere/files"));
}

TEST_F(ShellTest, FileOperationTakesADoubleTerminatedList) {
  touch(root_ + "/a/one");
  touch(root_ + "/a/two");
  std::u16string list = wide(root_ + "/a/one") + u'\0' + wide(root_ + "/a/two") + u'\0';
  SHFILEOPSTRUCTW op;
  op.wFunc = FO_DELETE;
  op.pFrom = list.c_str();
  op.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI;
  EXPECT_EQ(SHFileOperationW(&op), 0);
  EXPECT_TRUE(exists(trash_ + "/files/one"));
  EXPECT_TRUE(exists(trash_ + "/files/two"));
  // Only moves to the trash are offered.
  touch(root_ + "/a/three");
  std::u16string three = wide(root_ + "/a/three") + u'\0';
  op.pFrom = three.c_str();
  op.fFlags = FOF_NOCONFIRMATION;
  EXPECT_NE(SHFileOperationW(&op), 0);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_TRUE(exists(root_ + "/a/three"));
  std::u16string missing = wide(root_ + "/a/none") + u'\0';
  op.pFrom = missing.c_str();
  op.fFlags = FOF_ALLOWUNDO;
  EXPECT_NE(SHFileOperationW(&op), 0);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ShellTest, AnotherMountUsesItsOwnTrash) {
  struct stat shm, home;
  if (stat("/dev/shm", &shm) != 0 || stat(root_.c_str(), &home) != 0 || shm.st_dev == home.st_dev ||
      access("/dev/shm", W_OK) != 0) {
    GTEST_SKIP() << "/dev/shm is not a separate writable mount here";
  }
  const std::string name = "desk-shell-" + std::to_string(getpid()) + ".txt";
  const std::string path = "/dev/shm/" + name;
  const std::string trash = "/dev/shm/.Trash-" + std::to_string(getuid());
  touch(path, "shm");
  ASSERT_TRUE(moveToTrash(path));
  EXPECT_FALSE(exists(path));
  EXPECT_EQ(readFile(trash + "/files/" + name), "shm");
  const std::string info = readFile(trash + "/info/" + name + ".trashinfo");
  EXPECT_NE(info.find("\nPath=" + name + "\n"), std::string::npos) << info;  // relative to the top
  unlink((trash + "/files/" + name).c_str());
  unlink((trash + "/info/" + name + ".trashinfo").c_str());
  // A mount point itself is refused.
  std::string error;
  EXPECT_FALSE(moveToTrash("/dev/shm", &error));
  EXPECT_TRUE(exists("/dev/shm"));
}

int result(HINSTANCE h) { return static_cast<int>(reinterpret_cast<intptr_t>(h)); }

TEST_F(ShellTest, OpenAndExploreAreRecordedAsArgumentVectors) {
  test::recordLaunches();
  const std::string file = root_ + "/a/x; rm -rf ~ $(id) `id`.txt";
  touch(file);
  const std::u16string wfile = wide(file), wfolder = wide(root_ + "/a"), wmissing = wide(root_ + "/none");
  struct Case {
    const char* label;
    const char16_t* verb;
    std::u16string target;
    const char16_t* parameters;
    const char16_t* folder;
    int expected;  // 42 for success
    std::vector<std::string> argv;
  };
  const std::vector<Case> cases = {
      {"open a file", u"open", wfile, nullptr, nullptr, 42, {"xdg-open", file}},
      {"no verb", nullptr, wfile, nullptr, nullptr, 42, {"xdg-open", file}},
      {"a URL", u"open", u"https://pelmora.example/a?b", nullptr, nullptr, 42,
       {"xdg-open", "https://pelmora.example/a?b"}},
      {"missing file", u"open", wmissing, nullptr, nullptr, SE_ERR_FNF, {}},
      {"explore a folder", u"explore", wfolder, nullptr, nullptr, 42, {"xdg-open", root_ + "/a"}},
      {"explore a file", u"explore", wfile, nullptr, nullptr, SE_ERR_FNF, {}},
      {"unknown verb", u"print", wfile, nullptr, nullptr, SE_ERR_NOASSOC, {}},
      {"missing working folder", u"open", wfile, nullptr, wmissing.c_str(), SE_ERR_PNF, {}},
      {"program with parameters", u"open", u"/usr/bin/app", u"-a \"two words\" 'x' \\\"q", wfolder.c_str(),
       42, {"/usr/bin/app", "-a", "two words", "'x'", "\"q"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const size_t before = test::launches().size();
    EXPECT_EQ(result(ShellExecuteW(nullptr, c.verb, c.target.c_str(), c.parameters, c.folder, SW_SHOWNORMAL)),
              c.expected);
    const auto launches = test::launches();
    if (c.argv.empty()) {
      EXPECT_EQ(launches.size(), before);
    } else {
      ASSERT_EQ(launches.size(), before + 1);
      EXPECT_EQ(launches.back().argv, c.argv);
    }
  }
  // The extended form reports through the last error.
  SHELLEXECUTEINFOW info;
  info.lpVerb = u"open";
  info.lpFile = wmissing.c_str();
  EXPECT_FALSE(ShellExecuteExW(&info));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  info.lpFile = wfile.c_str();
  test::failLaunches(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(ShellExecuteExW(&info));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(result(info.hInstApp), SE_ERR_ACCESSDENIED);
  test::failLaunches(ERROR_SUCCESS);
  EXPECT_TRUE(ShellExecuteExW(&info));
  EXPECT_GT(result(info.hInstApp), 32);
}

TEST_F(ShellTest, RevealOpensTheContainingFolder) {
  test::recordLaunches();
  const std::string file = root_ + "/a/item.png";
  touch(file);
  ITEMIDLIST* list = nullptr;
  ASSERT_EQ(SHParseDisplayName(wide(file).c_str(), nullptr, &list, 0, nullptr), S_OK);
  EXPECT_EQ(SHOpenFolderAndSelectItems(list, 0, nullptr, 0), S_OK);
  CoTaskMemFree(list);
  ASSERT_EQ(test::launches().size(), 1u);
  EXPECT_EQ(test::launches()[0].argv, (std::vector<std::string>{"xdg-open", root_ + "/a"}));
  EXPECT_NE(SHParseDisplayName(wide(root_ + "/a/none").c_str(), nullptr, &list, 0, nullptr), S_OK);
  EXPECT_EQ(list, nullptr);
}

TEST_F(ShellTest, RealLauncherStartsDetachedAndReportsMissingPrograms) {
  auto launcher = currentLauncher();
  const std::string made = root_ + "/made";
  EXPECT_EQ(launcher->launch({{"touch", made}, root_}), ERROR_SUCCESS);
  for (int i = 0; i < 500 && !exists(made); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(exists(made));
  // No child is left to reap: the intermediate one was reaped and the program belongs to init.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  EXPECT_EQ(launcher->launch({{"desk-no-such-program-x"}, ""}), ERROR_FILE_NOT_FOUND);
  touch(root_ + "/plain");
  chmod((root_ + "/plain").c_str(), 0600);
  if (getuid() != 0) {
    EXPECT_EQ(launcher->launch({{root_ + "/plain"}, ""}), ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(launcher->launch({{"true"}, root_ + "/none"}), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(launcher->launch({{}, ""}), ERROR_INVALID_PARAMETER);
}

}  // namespace
}  // namespace desk
