#include "desk/process.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <Poco/Exception.h>
#include <Poco/Pipe.h>
#include <gtest/gtest.h>

namespace desk {
namespace {

namespace stdfs = std::filesystem;

// Children of this process that have ended but were never reaped.
std::vector<pid_t> zombieChildren() {
  std::vector<pid_t> zombies;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return zombies;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) continue;
    // pid (comm) state ppid ...: the command may hold blanks, so read after the last ")".
    std::istringstream rest(line.substr(line.rfind(')') + 1));
    char state = 0;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == getpid() && state == 'Z') zombies.push_back(pid);
  }
  closedir(proc);
  return zombies;
}

// Waits (up to 10 s) until this process has no zombie children.
bool noZombiesSoon() {
  for (int i = 0; i < 1000; ++i) {
    if (zombieChildren().empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

struct Output {
  std::string out, err;
  int ended = 0;
};

Output pump(Child& child) {
  Output result;
  pumpChild(
      child, 4096, [&](int stream, std::string bytes) { (stream == 1 ? result.out : result.err) += bytes; },
      [&] { ++result.ended; });
  return result;
}

ChildSpec shell(const std::string& script) {
  ChildSpec spec;
  spec.program = "/bin/sh";
  spec.args = {"-c", script};
  spec.pipeOutput = true;
  spec.pipeError = true;
  return spec;
}

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/desk-process-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    stdfs::create_directories(root_ + "/bin");
    stdfs::create_directories(root_ + "/work");
    writeScript(root_ + "/bin/pel-tool", "#!/bin/sh\necho tool \"$@\"\n", 0755);
    writeScript(root_ + "/bin/pel-plain", "not a program\n", 0644);
    writeScript(root_ + "/work/local-tool", "#!/bin/sh\necho local\n", 0755);
  }
  void TearDown() override { stdfs::remove_all(root_); }

  static void writeScript(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
  }
  std::string root_;
};

TEST_F(ProcessTest, ProgramsResolveAsExecWouldFindThem) {
  const std::string bin = root_ + "/bin";
  const std::string work = root_ + "/work";
  const std::string path = bin + ":/bin";
  const std::string withEmpty = ":" + bin;  // an empty entry is the child's folder
  struct Case {
    std::string program, cwd;
    const std::string* path;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"pel-tool", "", &path, bin + "/pel-tool"},
      {"sh", "", &path, "/bin/sh"},
      {"pel-tool", "", nullptr, ""},            // not on the process's PATH
      {"pel-plain", "", &path, ""},             // not executable
      {"bin", root_, &path, ""},                // a folder is no program
      {"./local-tool", work, &path, work + "/./local-tool"},
      {"local-tool", work, &withEmpty, work + "/./local-tool"},
      {"local-tool", work, &path, ""},          // a name is never looked up in the folder
      {bin + "/pel-tool", work, &path, bin + "/pel-tool"},
      {"missing", "", &path, ""},
      {"", "", &path, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(resolveProgram(c.program, c.cwd, c.path), c.expected) << c.program << " in " << c.cwd;
  }
}

TEST_F(ProcessTest, ExitCodesOutputFolderAndEnvironment) {
  ChildSpec spec = shell("printf '%s|%s|' \"$PEL_X\" \"$(pwd)\"; printf e >&2; exit 3");
  spec.cwd = root_ + "/work";
  spec.env = {{"PEL_X", "hello"}};
  auto child = launchChild(spec);
  const Output output = pump(*child);
  EXPECT_EQ(output.out, "hello|" + root_ + "/work|");
  EXPECT_EQ(output.err, "e");
  EXPECT_EQ(output.ended, 1);
  EXPECT_TRUE(child->reaped());
  EXPECT_EQ(child->exitCode(), 3);
  EXPECT_FALSE(child->signal(SIGTERM));  // reaped: never signalled again

  // A program found on the PATH the child is given.
  ChildSpec tool;
  tool.program = "pel-tool";
  tool.args = {"a b", "c"};
  tool.env = {{"PATH", root_ + "/bin:/bin:/usr/bin"}};
  tool.pipeOutput = true;
  auto toolChild = launchChild(tool);
  EXPECT_EQ(pump(*toolChild).out, "tool a b c\n");
  EXPECT_EQ(toolChild->exitCode(), 0);

  // A child ended by a signal reports 128 + the signal.
  auto killed = launchChild(shell("kill -9 $$"));
  pump(*killed);
  EXPECT_EQ(killed->exitCode(), 128 + SIGKILL);
  auto stopped = launchChild(shell("sleep 30"));
  EXPECT_TRUE(stopped->signal(SIGTERM));
  EXPECT_EQ(stopped->wait(), 128 + SIGTERM);
}

TEST_F(ProcessTest, LaunchFailuresAreReportedNotExitCodes) {
  struct Case {
    std::string program, cwd;
  };
  const std::vector<Case> cases = {
      {"/nonexistent/program", ""},
      {"pel-no-such-program", ""},
      {root_ + "/bin/pel-plain", ""},  // not executable
      {"/bin/sh", root_ + "/missing"},
      {"/bin/sh", root_ + "/bin/pel-tool"},  // a file is no folder
  };
  for (const Case& c : cases) {
    ChildSpec spec;
    spec.program = c.program;
    spec.cwd = c.cwd;
    try {
      launchChild(spec);
      ADD_FAILURE() << c.program << " started";
    } catch (const Poco::SystemException& e) {
      EXPECT_EQ(e.message(), "Cannot launch process: " + c.program);
    }
  }
  EXPECT_TRUE(zombieChildren().empty());
}

TEST_F(ProcessTest, BothPipesAreReadAtOnce) {
  // 128 KiB to standard error first, then to standard output: a reader that waits for the end of
  // the output before it reads the error would wait for ever.
  auto child = launchChild(
      shell("head -c 131072 /dev/zero | tr '\\0' e >&2; head -c 131072 /dev/zero | tr '\\0' o"));
  const Output output = pump(*child);
  EXPECT_EQ(output.out, std::string(131072, 'o'));
  EXPECT_EQ(output.err, std::string(131072, 'e'));
  EXPECT_EQ(child->exitCode(), 0);
}

TEST_F(ProcessTest, OutputAfterTheEndIsReadAndAGrandchildHoldingThePipesDoesNotHang) {
  // The grandchild keeps both pipes open for 30 s; the pump returns after the child's end once
  // the pipes stay quiet, with everything the child wrote.
  auto child = launchChild(shell("sleep 30 & echo $!; echo last >&2"));
  const Output output = pump(*child);
  EXPECT_EQ(output.err, "last\n");
  EXPECT_EQ(output.ended, 1);
  const pid_t grandchild = static_cast<pid_t>(std::atoi(output.out.c_str()));
  ASSERT_GT(grandchild, 0);
  kill(grandchild, SIGKILL);  // adopted by init (or a subreaper), which reaps it
}

TEST_F(ProcessTest, ChildrenNobodyWaitsForAreReaped) {
  std::vector<pid_t> pids;
  for (int i = 0; i < 5; ++i) {
    ChildSpec spec;
    spec.program = "/bin/true";
    auto child = launchChild(spec);
    pids.push_back(child->pid());
    // Dropped without a wait: the background reaper takes it.
  }
  reapInBackground(-1);  // ignored
  EXPECT_TRUE(noZombiesSoon());
}

TEST_F(ProcessTest, WritingToAnEndedChildFailsInsteadOfEndingUs) {
  ChildSpec spec = shell("exit 0");
  spec.pipeInput = true;
  auto child = launchChild(spec);
  child->wait();
  const char byte = 'x';
  // The child's input has no reader any more: EPIPE, not SIGPIPE.
  EXPECT_THROW(child->input()->writeBytes(&byte, 1), Poco::WriteFileException);
  struct sigaction action {};
  sigaction(SIGPIPE, nullptr, &action);
  EXPECT_EQ(action.sa_handler, SIG_IGN);
}

}  // namespace
}  // namespace desk
