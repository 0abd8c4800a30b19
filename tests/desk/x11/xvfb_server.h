// A private X server for one test: Xvfb on a display number it picks itself (-displayfd), never
// the caller's DISPLAY, optionally with a small EWMH window manager (openbox) on it. Both die with
// the test (parent-death signal) and are ended when the fixture goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "desk/display/x11_connection.h"

extern char** environ;

namespace pel_test {

class XvfbServer {
 public:
  XvfbServer() = default;
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;
  ~XvfbServer() {
    stopWindowManager();
    stop();
  }

  // Starts the server with one screen (e.g. "1280x800x24") at `dpi`; false with `error` set.
  bool start(std::string& error, const std::string& screen = "1280x800x24", int dpi = 96) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      error = std::string("pipe: ") + std::strerror(errno);
      return false;
    }
    server_ = spawn({"/usr/bin/Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset", "-screen", "0", screen,
                     "-dpi", std::to_string(dpi)},
                    {}, fds[1], error);
    ::close(fds[1]);
    if (server_ <= 0) {
      ::close(fds[0]);
      return false;
    }
    // The server writes its display number once it accepts connections.
    std::string number;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fds[0], POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      char buffer[32];
      ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      number.append(buffer, static_cast<size_t>(n));
      if (number.find('\n') != std::string::npos) break;
    }
    ::close(fds[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
    if (number.empty()) {
      error = "Xvfb did not report a display number";
      stop();
      return false;
    }
    display_ = ":" + number;
    return true;
  }

  const std::string& display() const { return display_; }
  pid_t pid() const { return server_; }

  // Ends the server as a crash would (SIGKILL) or politely (SIGTERM), and reaps it.
  void stop(bool kill = false) { end(server_, kill ? SIGKILL : SIGTERM); }

  // Starts openbox on the display and waits until it has taken the screen.
  bool startWindowManager(std::string& error) {
    manager_ = spawn({"/usr/bin/openbox", "--sm-disable"}, {"DISPLAY=" + display_}, -1, error);
    if (manager_ <= 0) return false;
    auto connection = desk::display::X11Connection::open(display_, error);
    if (!connection) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (connection->hasWindowManager()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error = "openbox did not take the screen";
    return false;
  }
  void stopWindowManager() { end(manager_, SIGTERM); }

 private:
  static pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv, int displayFd,
                     std::string& error) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "DISPLAY=", 8) != 0) env.emplace_back(*e);
    }
    for (auto& e : extraEnv) env.push_back(e);
    std::vector<char*> argv, envp;
    std::vector<std::string> argsCopy = args;
    for (auto& a : argsCopy) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
      ::setpgid(0, 0);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      int devnull = ::open("/dev/null", O_RDWR);
      if (devnull >= 0) ::dup2(devnull, 0), ::dup2(devnull, 1), ::dup2(devnull, 2);
      // dup2 clears close-on-exec on the copy; an fd that already is 3 needs it cleared by hand.
      if (displayFd == 3) ::fcntl(3, F_SETFD, 0);
      else if (displayFd >= 0) ::dup2(displayFd, 3);
      sigset_t none;
      ::sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    if (pid < 0) error = std::string("fork: ") + std::strerror(errno);
    return pid;
  }

  static void end(pid_t& pid, int signal) {
    if (pid <= 0) return;
    ::kill(pid, signal);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      pid_t r = ::waitpid(pid, nullptr, WNOHANG);
      if (r == pid || (r < 0 && errno != EINTR)) break;
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid = 0;
  }

  pid_t server_ = 0;
  pid_t manager_ = 0;
  std::string display_;
};

}  // namespace pel_test
