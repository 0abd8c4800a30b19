// A private D-Bus session bus for a test: `dbus-daemon --session --nofork --print-address` on a
// socket in a folder of its own, ended by its pid. Tests reach it only by its address, never
// through the environment's session bus.
#pragma once

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pel::test {

class PrivateBus {
 public:
  PrivateBus() {
    char pattern[] = "/tmp/pel-bus-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    folder_ = pattern;
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      const std::string listen = "--address=unix:dir=" + folder_;
      ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address",
               listen.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    if (pid_ < 0) {
      ::close(out[0]);
      return;
    }
    // The daemon prints its address once it listens.
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') address_ += c;
    ::close(out[0]);
  }
  ~PrivateBus() {
    kill();
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Empty when the daemon could not be started.
  const std::string& address() const { return address_; }

  // Ends the daemon (a bus that dies under its clients).
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  std::string folder_;
  std::string address_;
  pid_t pid_ = -1;
};

}  // namespace pel::test
