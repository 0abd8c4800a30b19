#include "desk/web/browser_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "desk/web/chromium_engine.h"

extern char** environ;

namespace desk::web {

std::vector<std::string> ChromiumEngine::defaultFlags() {
  return {"--headless",
          "--no-sandbox",
          "--disable-gpu",
          "--no-first-run",
          "--no-default-browser-check",
          "--disable-background-networking",
          "--disable-component-update",
          "--disable-sync",
          "--disable-extensions",
          "--disable-default-apps",
          "--disable-breakpad",
          "--disable-dev-shm-usage",
          "--mute-audio",
          "--disable-background-timer-throttling",
          "--disable-renderer-backgrounding",
          "--disable-backgrounding-occluded-windows",
          "--disable-ipc-flooding-protection",
          // Nothing leaves the machine; loopback stays reachable for the engine's own server.
          "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
          // Pages reach the loopback server (redirected there, never directly) without the local
          // network permission a headless browser cannot ask for.
          "--disable-features=LocalNetworkAccessChecks",
          "--remote-debugging-pipe"};
}

std::vector<std::string> ChromiumEngine::windowFlags(bool asRoot) {
  std::vector<std::string> flags;
  for (auto& f : defaultFlags()) {
    if (f == "--headless" || (f == "--no-sandbox" && !asRoot)) continue;
    flags.push_back(f);
  }
  // --test-type keeps the warning bar about --no-sandbox away: no browser bar may show.
  if (asRoot) flags.push_back("--test-type");
  // An app window needs a page it accepts as an app (about:blank gives a tabbed window).
  flags.push_back("--app=" + std::string(kAppLaunchPage));
  return flags;
}

bool BrowserProcess::spawn(const EnvironmentOptions& options, const std::vector<std::string>& flags,
                           int& toBrowser, int& fromBrowser, std::string& error) {
  std::error_code ec;
  if (options.userDataFolder.empty()) {
    error = "no user-data folder given";
    return false;
  }
  std::filesystem::create_directories(options.userDataFolder, ec);
  if (ec) {
    error = "cannot make the user-data folder " + options.userDataFolder + ": " + ec.message();
    return false;
  }
  if (::access(options.browserPath.c_str(), X_OK) != 0) {
    error = "no browser at " + options.browserPath + ": " + std::strerror(errno);
    return false;
  }

  std::vector<std::string> args{options.browserPath};
  for (auto& f : flags) args.push_back(f);
  args.push_back("--user-data-dir=" + options.userDataFolder);
  for (auto& a : splitArguments(options.browserArguments)) args.push_back(a);
  // Chromium keeps only the last --disable-features: the lists of every one are joined into one.
  const std::string kDisable = "--disable-features=";
  std::string disabled;
  for (auto it = args.begin() + 1; it != args.end();) {
    if (it->rfind(kDisable, 0) != 0) {
      ++it;
      continue;
    }
    std::string list = it->substr(kDisable.size());
    if (!list.empty()) disabled += (disabled.empty() ? "" : ",") + list;
    it = args.erase(it);
  }
  if (!disabled.empty()) args.push_back(kDisable + disabled);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int toChild[2], fromChild[2], status[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    ::close(toChild[0]), ::close(toChild[1]);
    return false;
  }
  if (::pipe2(status, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) ::close(fd);
    return false;
  }
  const char* logPath = options.browserLog.empty() ? "/dev/null" : options.browserLog.c_str();
  int logFd = ::open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t parent = ::getpid();

  pid_t pid = ::fork();
  if (pid == 0) {
    // The child: only async-signal-safe calls until exec.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    int in = ::fcntl(toChild[0], F_DUPFD, 10);
    int out = ::fcntl(fromChild[1], F_DUPFD, 10);
    if (nullFd >= 0) ::dup2(nullFd, 0);
    if (logFd >= 0) ::dup2(logFd, 1), ::dup2(logFd, 2);
    if (in < 0 || out < 0 || ::dup2(in, 3) < 0 || ::dup2(out, 4) < 0) {
      int e = errno;
      (void)!::write(status[1], &e, sizeof e);
      ::_exit(127);
    }
    for (int fd = 5; fd < 1024; ++fd) {
      if (fd != status[1]) ::close(fd);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(argv[0], argv.data(), environ);
    int e = errno;
    (void)!::write(status[1], &e, sizeof e);
    ::_exit(127);
  }
  int forkErrno = errno;
  for (int fd : {toChild[0], fromChild[1], status[1], logFd, nullFd}) {
    if (fd >= 0) ::close(fd);
  }
  if (pid < 0) {
    for (int fd : {toChild[1], fromChild[0], status[0]}) ::close(fd);
    error = std::string("fork: ") + std::strerror(forkErrno);
    return false;
  }
  int childErrno = 0;
  ssize_t n;
  do {
    n = ::read(status[0], &childErrno, sizeof childErrno);
  } while (n < 0 && errno == EINTR);
  ::close(status[0]);
  if (n > 0) {
    ::waitpid(pid, nullptr, 0);
    ::close(toChild[1]), ::close(fromChild[0]);
    error = "cannot start " + options.browserPath + ": " + std::strerror(childErrno);
    return false;
  }
  // Large pipes: a big reply then crosses in a few writes instead of many small wake-ups.
  ::fcntl(toChild[1], F_SETPIPE_SZ, 1 << 20);
  ::fcntl(fromChild[0], F_SETPIPE_SZ, 1 << 20);
  pid_ = pid;
  toBrowser = toChild[1];
  fromBrowser = fromChild[0];
  return true;
}

void BrowserProcess::kill() const {
  if (pid_ > 0) ::kill(-pid_, SIGKILL), ::kill(pid_, SIGKILL);
}

void BrowserProcess::reap() {
  pid_t pid = pid_;
  if (pid <= 0) return;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = 0;
}

}  // namespace desk::web
