#include "desk/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <Poco/Exception.h>
#include <Poco/Pipe.h>
#include <Poco/Process.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace desk {

namespace {

// How long the pipes may stay silent, after the child has ended, before a grandchild holding
// them open is assumed.
constexpr int kQuietAfterEndMs = 200;
// The wake-up interval where the system gives no process descriptor.
constexpr int kPollWithoutPidfdMs = 50;

void setFlag(int fd, int getCommand, int setCommand, int flag) {
  if (fd < 0) return;
  const int flags = fcntl(fd, getCommand);
  if (flags >= 0) fcntl(fd, setCommand, flags | flag);
}

void closeOnExec(const Poco::Pipe& pipe) {
  setFlag(pipe.readHandle(), F_GETFD, F_SETFD, FD_CLOEXEC);
  setFlag(pipe.writeHandle(), F_GETFD, F_SETFD, FD_CLOEXEC);
}

bool isRunnableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool isFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A path as the child will see it: relative paths are taken in its folder.
std::string inFolder(const std::string& path, const std::string& cwd) {
  if (path.empty() || path[0] == '/' || cwd.empty()) return path;
  return cwd + "/" + path;
}

}  // namespace

void ignoreBrokenPipes() {
  static const bool done = [] {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
    return true;
  }();
  (void)done;
}

int exitCodeFromStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string resolveProgram(const std::string& program, const std::string& cwd,
                           const std::string* path) {
  if (program.empty()) return std::string();
  if (program.find('/') != std::string::npos) {
    const std::string file = inFolder(program, cwd);
    return isRunnableFile(file) ? file : std::string();
  }
  std::string search;
  if (path != nullptr) {
    search = *path;
  } else {
    const char* variable = std::getenv("PATH");
    search = variable != nullptr ? variable : "/bin:/usr/bin";  // exec's own default
  }
  size_t start = 0;
  for (;;) {
    const size_t end = std::min(search.find(':', start), search.size());
    const std::string folder = search.substr(start, end - start);
    const std::string file = inFolder((folder.empty() ? "." : folder) + "/" + program, cwd);
    if (isRunnableFile(file)) return file;
    if (end == search.size()) break;
    start = end + 1;
  }
  return std::string();
}

Child::Child(pid_t pid, std::shared_ptr<Poco::Pipe> input, std::shared_ptr<Poco::Pipe> output,
             std::shared_ptr<Poco::Pipe> error)
    : pid_(pid), input_(std::move(input)), output_(std::move(output)), error_(std::move(error)) {
  // Not reaped yet, so the pid is still this child's.
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd_ >= 0) setFlag(pidfd_, F_GETFD, F_SETFD, FD_CLOEXEC);
}

Child::~Child() {
  if (pidfd_ >= 0) close(pidfd_);
  if (!reaped()) reapInBackground(pid_);
}

void Child::recordStatus(int status) {
  reaped_ = true;
  exitCode_ = exitCodeFromStatus(status);
}

bool Child::tryReap() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (reaped_) return true;
  int status = 0;
  pid_t result;
  while ((result = waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
  }
  if (result == pid_) {
    recordStatus(status);
  } else if (result < 0 && errno == ECHILD) {
    reaped_ = true;  // reaped elsewhere: it has ended, its code is unknown
  }
  return reaped_;
}

int Child::wait() {
  // Wait for the end without reaping (so the pid stays this child's while signal() may run),
  // then reap under the lock.
  siginfo_t info{};
  while (!reaped() && waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 &&
         errno == EINTR) {
  }
  while (!tryReap()) {
    // Only a child reaped by someone else between the two calls gets here; tryReap sees ECHILD.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return exitCode();
}

bool Child::reaped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reaped_;
}

int Child::exitCode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exitCode_;
}

bool Child::signal(int signalNumber) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (reaped_) return false;
  return ::kill(pid_, signalNumber) == 0;
}

std::shared_ptr<Child> launchChild(const ChildSpec& spec) {
  ignoreBrokenPipes();
  const auto refuse = [&spec] {
    throw Poco::SystemException("Cannot launch process", spec.program);
  };
  if (!spec.cwd.empty() && !isFolder(spec.cwd)) refuse();
  const auto pathVariable = spec.env.find("PATH");
  const std::string file = resolveProgram(
      spec.program, spec.cwd, pathVariable == spec.env.end() ? nullptr : &pathVariable->second);
  if (file.empty()) refuse();

  std::shared_ptr<Poco::Pipe> input, output, error;
  if (spec.pipeInput) input = std::make_shared<Poco::Pipe>();
  if (spec.pipeOutput) output = std::make_shared<Poco::Pipe>();
  if (spec.pipeError) error = std::make_shared<Poco::Pipe>();
  for (const auto* pipe : {input.get(), output.get(), error.get()}) {
    if (pipe != nullptr) closeOnExec(*pipe);
  }
  const Poco::Process::Args args(spec.args.begin(), spec.args.end());
  const Poco::Process::Env env(spec.env.begin(), spec.env.end());
  const Poco::ProcessHandle handle =
      Poco::Process::launch(file, args, spec.cwd, input.get(), output.get(), error.get(), env);
  // The child's ends are its own now.
  if (input) input->close(Poco::Pipe::CLOSE_READ);
  if (output) output->close(Poco::Pipe::CLOSE_WRITE);
  if (error) error->close(Poco::Pipe::CLOSE_WRITE);
  if (output) setFlag(output->readHandle(), F_GETFL, F_SETFL, O_NONBLOCK);
  if (error) setFlag(error->readHandle(), F_GETFL, F_SETFL, O_NONBLOCK);
  return std::make_shared<Child>(static_cast<pid_t>(handle.id()), input, output, error);
}

void reapInBackground(pid_t pid) {
  if (pid <= 0) return;
  try {
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (...) {
    // No thread to spare: the child stays a zombie until we end.
  }
}

void pumpChild(Child& child, size_t chunk,
               const std::function<void(int stream, std::string bytes)>& onData,
               const std::function<void()>& onEnded) {
  int pipes[2] = {child.output() ? child.output()->readHandle() : -1,
                  child.error() ? child.error()->readHandle() : -1};
  bool ended = false;
  const auto noteEnd = [&] {
    if (!ended && child.tryReap()) {
      ended = true;
      if (onEnded) onEnded();
    }
  };
  std::string buffer(chunk, '\0');
  for (;;) {
    const bool pipesOpen = pipes[0] >= 0 || pipes[1] >= 0;
    if (!pipesOpen) {
      if (!ended) {
        child.wait();
        noteEnd();
      }
      return;
    }
    pollfd fds[3];
    int count = 0;
    int slot[2] = {-1, -1};
    for (int i = 0; i < 2; ++i) {
      if (pipes[i] >= 0) {
        slot[i] = count;
        fds[count++] = pollfd{pipes[i], POLLIN, 0};
      }
    }
    const bool watchEnd = !ended && child.pidfd() >= 0;
    if (watchEnd) fds[count++] = pollfd{child.pidfd(), POLLIN, 0};
    const int timeout = ended ? kQuietAfterEndMs : (watchEnd ? -1 : kPollWithoutPidfdMs);
    const int ready = poll(fds, static_cast<nfds_t>(count), timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollWithoutPidfdMs));
    }
    if (ready == 0 && ended) return;  // silent pipes held open by someone else
    for (int i = 0; i < 2; ++i) {
      if (slot[i] < 0 || ready <= 0 || fds[slot[i]].revents == 0) continue;
      const ssize_t n = read(pipes[i], buffer.data(), buffer.size());
      if (n > 0) {
        if (onData) onData(i + 1, buffer.substr(0, static_cast<size_t>(n)));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        pipes[i] = -1;  // ended (the pipe object closes the descriptor)
      }
    }
    if (!watchEnd || (ready > 0 && (fds[count - 1].revents != 0))) noteEnd();
  }
}

}  // namespace desk
