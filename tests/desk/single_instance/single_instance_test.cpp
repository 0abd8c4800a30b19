// The single-instance lock and hand-over: in this process and across real processes (the probe).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "desk/single_instance.h"

namespace {

using desk::SingleInstance;
using Role = SingleInstance::Role;
namespace fs = std::filesystem;

constexpr char kId[] = "6b1e0c4e-1111-4a5b-9c3d-2e7f00aa55bb";  // the probe's

struct Probe {
  pid_t pid = -1;
  int out = -1;

  // The next line the probe prints, or "" after `ms` without one.
  std::string line(int ms = 20000) {
    std::string text;
    char c = 0;
    for (;;) {
      pollfd pfd{out, POLLIN, 0};
      if (::poll(&pfd, 1, ms) <= 0) return text;
      if (::read(out, &c, 1) != 1 || c == '\n') return text;
      text.push_back(c);
    }
  }
  int wait() {
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (out >= 0) ::close(out);
    out = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void kill() {
    ::kill(pid, SIGKILL);
    wait();
  }
};

Probe startProbe(const std::vector<std::string>& args) {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  Probe probe;
  probe.pid = ::fork();
  if (probe.pid == 0) {
    ::dup2(fds[1], 1);
    std::vector<char*> argv;
    std::string program = PEL_PROBE;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  probe.out = fds[0];
  return probe;
}

// Texts a listener received, in order.
struct Received {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> texts;

  std::function<void(std::string)> sink() {
    return [this](std::string text) {
      std::lock_guard<std::mutex> lock(mutex);
      texts.push_back(std::move(text));
      changed.notify_all();
    };
  }
  bool waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return texts.size() >= count; });
  }
  std::vector<std::string> copy() {
    std::lock_guard<std::mutex> lock(mutex);
    return texts;
  }
};

// A raw client of the socket: connects and sends what a test chooses.
int connectTo(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// What the listener answers a raw client: 1 an acknowledgement, 0 closed without one, -1 nothing
// within `ms`.
int answerOf(int fd, int ms) {
  pollfd pfd{fd, POLLIN, 0};
  if (::poll(&pfd, 1, ms) <= 0) return -1;
  char c = 0;
  return ::recv(fd, &c, 1, 0) == 1 ? 1 : 0;
}

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pel-si-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    folder_ = pattern;
    ::setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  std::string folder_;
};

TEST_F(SingleInstanceTest, LaterStartsHandOverToTheFirstAndNoneIsLost) {
  auto first = std::make_unique<SingleInstance>("probe", kId);
  ASSERT_EQ(first->acquire(), Role::First) << first->error();
  EXPECT_EQ(first->folder(), folder_);
  EXPECT_TRUE(fs::exists(first->lockPath()));
  EXPECT_TRUE(fs::is_socket(first->socketPath()));
  Received received;
  ASSERT_TRUE(first->startListener(received.sink())) << first->error();

  // A second object in this process opens the file anew: the lock is taken.
  SingleInstance later("probe", kId);
  EXPECT_EQ(later.acquire(), Role::Later);
  ASSERT_TRUE(later.handOver("main.w")) << later.error();

  // Five starts at once: every text arrives, each once.
  std::vector<Probe> probes;
  for (int i = 0; i < 5; ++i) probes.push_back(startProbe({"send", "page-" + std::to_string(i)}));
  for (auto& probe : probes) {
    EXPECT_EQ(probe.line(), "sent");
    EXPECT_EQ(probe.wait(), 0);
  }
  ASSERT_TRUE(received.waitFor(6));
  const auto texts = received.copy();
  EXPECT_EQ(texts.front(), "main.w");
  EXPECT_EQ(std::set<std::string>(texts.begin() + 1, texts.end()),
            (std::set<std::string>{"page-0", "page-1", "page-2", "page-3", "page-4"}));

  // The first instance ended: its socket goes with it, and the next start is first.
  const std::string socket = first->socketPath();
  first.reset();
  EXPECT_FALSE(fs::exists(socket));
  SingleInstance next("probe", kId);
  EXPECT_EQ(next.acquire(), Role::First) << next.error();
}

TEST_F(SingleInstanceTest, TwoStartsAtOnceMakeOneFirst) {
  std::vector<Probe> probes;
  for (int i = 0; i < 6; ++i) probes.push_back(startProbe({"hold"}));
  std::multiset<std::string> roles;
  for (auto& probe : probes) roles.insert(probe.line());
  EXPECT_EQ(roles.count("first"), 1u);
  EXPECT_EQ(roles.count("later"), 5u);
  for (auto& probe : probes) probe.kill();
}

TEST_F(SingleInstanceTest, AKilledFirstInstanceNeverBlocksTheNextStart) {
  Probe holder = startProbe({"hold"});
  ASSERT_EQ(holder.line(), "first");
  {
    SingleInstance later("probe", kId);
    ASSERT_EQ(later.acquire(), Role::Later);
    ASSERT_TRUE(later.handOver("viewer.w?file=%2Fa")) << later.error();
    EXPECT_EQ(holder.line(), "viewer.w?file=%2Fa");
  }
  holder.kill();

  SingleInstance first("probe", kId);
  ASSERT_TRUE(fs::is_socket(folder_ + "/probe-" + std::string(kId) + ".sock"));  // left behind
  ASSERT_EQ(first.acquire(), Role::First) << first.error();  // the stale socket is replaced
  Received received;
  ASSERT_TRUE(first.startListener(received.sink()));
  Probe sender = startProbe({"send", "after"});
  EXPECT_EQ(sender.line(), "sent");
  EXPECT_EQ(sender.wait(), 0);
  ASSERT_TRUE(received.waitFor(1));
  EXPECT_EQ(received.copy(), std::vector<std::string>{"after"});
}

TEST_F(SingleInstanceTest, TheListenerDropsSilentAndOversizedSendersAndGoesOn) {
  SingleInstance first("probe", kId);
  ASSERT_EQ(first.acquire(), Role::First);
  Received received;
  ASSERT_TRUE(first.startListener(received.sink()));

  // Silent: dropped after two seconds without an answer; the next sender then gets through.
  const int silent = connectTo(first.socketPath());
  ASSERT_GE(silent, 0);
  const int oversized = connectTo(first.socketPath());
  ASSERT_GE(oversized, 0);
  const std::string tooLong(SingleInstance::kMaxText + 1, 'a');
  std::thread writer([&] { (void)::send(oversized, tooLong.data(), tooLong.size(), MSG_NOSIGNAL); });
  const int full = connectTo(first.socketPath());
  ASSERT_GE(full, 0);
  const std::string largest = "viewer.w?file=" + std::string(SingleInstance::kMaxText - 14, 'b');
  ASSERT_EQ(::send(full, largest.data(), largest.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(largest.size()));
  ::shutdown(full, SHUT_WR);

  EXPECT_EQ(answerOf(silent, 5000), 0);
  writer.join();
  EXPECT_EQ(answerOf(oversized, 5000), 0);
  EXPECT_EQ(answerOf(full, 5000), 1);
  ::close(silent);
  ::close(oversized);
  ::close(full);
  ASSERT_TRUE(received.waitFor(1));
  EXPECT_EQ(received.copy(), std::vector<std::string>{largest});

  // The sending side refuses a text over the limit before it connects.
  SingleInstance later("probe", kId);
  ASSERT_EQ(later.acquire(), Role::Later);
  EXPECT_FALSE(later.handOver(tooLong));
  EXPECT_NE(later.error().find("longer than 65536"), std::string::npos) << later.error();
  EXPECT_TRUE(later.handOver("main.w"));
  ASSERT_TRUE(received.waitFor(2));
  EXPECT_EQ(received.copy().back(), "main.w");
}

TEST_F(SingleInstanceTest, NobodyListeningIsAnErrorNotASuccess) {
  SingleInstance first("probe", kId);
  ASSERT_EQ(first.acquire(), Role::First);
  // The lock is held, but the socket is gone: the later start reports it after its retries.
  ::unlink(first.socketPath().c_str());
  SingleInstance later("probe", kId);
  ASSERT_EQ(later.acquire(), Role::Later);
  EXPECT_FALSE(later.handOver("main.w", 200));
  EXPECT_NE(later.error().find("no running instance"), std::string::npos) << later.error();
}

TEST_F(SingleInstanceTest, WithoutARuntimeFolderAPrivateFolderUnderTmpIsUsed) {
  const std::string tmp = folder_ + "/tmp";
  fs::create_directory(tmp);
  ::setenv("TMPDIR", tmp.c_str(), 1);
  const std::string mine = tmp + "/probe-" + std::to_string(::getuid());
  for (const char* runtime : {static_cast<const char*>(nullptr), "relative/run", "/no/such/run"}) {
    if (runtime) {
      ::setenv("XDG_RUNTIME_DIR", runtime, 1);
    } else {
      ::unsetenv("XDG_RUNTIME_DIR");
    }
    std::string error;
    EXPECT_EQ(SingleInstance::runtimeFolder("probe", &error), mine) << error;
    struct stat st{};
    ASSERT_EQ(::stat(mine.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
  // A folder others may write into, or a link, is refused.
  ::chmod(mine.c_str(), 0755);
  std::string error;
  EXPECT_EQ(SingleInstance::runtimeFolder("probe", &error), "");
  EXPECT_NE(error.find("not a private folder"), std::string::npos);
  fs::remove(mine);
  fs::create_directory_symlink(tmp, mine);
  EXPECT_EQ(SingleInstance::runtimeFolder("probe", &error), "");
  SingleInstance refused("probe", kId);
  EXPECT_EQ(refused.acquire(), Role::Failed);
  EXPECT_FALSE(refused.error().empty());
  ::unsetenv("TMPDIR");
}

}  // namespace
