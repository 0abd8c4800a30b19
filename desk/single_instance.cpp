#include "desk/single_instance.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace desk {
namespace {

constexpr char kAck = '\x06';

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

bool isAbsoluteFolder(const char* path) {
  if (path == nullptr || path[0] != '/') return false;
  struct stat st{};
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool fillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path)) return false;
  std::memcpy(address->sun_path, path.data(), path.size());
  return true;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Reads one hand-over from `fd` until the sender's end of data: true with the text, false when
// the sender went silent, sent too much, failed, or `stopFd` became readable.
bool readText(int fd, int stopFd, std::string* text) {
  char buffer[4096];
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, SingleInstance::kSilenceMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;  // silent, or poll failed
    if (fds[1].revents != 0) return false;
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (text->size() + static_cast<size_t>(n) > SingleInstance::kMaxText) return false;
    text->append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

SingleInstance::SingleInstance(std::string appName, std::string id)
    : appName_(std::move(appName)), id_(std::move(id)) {}

SingleInstance::~SingleInstance() {
  stopListener();
  if (bound_) ::unlink(socketPath().c_str());
  closeFd(listenFd_);
  closeFd(lockFd_);
}

std::string SingleInstance::lockPath() const {
  return folder_ + "/" + appName_ + "-" + id_ + ".lock";
}
std::string SingleInstance::socketPath() const {
  return folder_ + "/" + appName_ + "-" + id_ + ".sock";
}

std::string SingleInstance::runtimeFolder(const std::string& appName, std::string* error) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (isAbsoluteFolder(runtime)) return runtime;
  const char* tmp = std::getenv("TMPDIR");
  std::string base = isAbsoluteFolder(tmp) ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  const uid_t uid = ::getuid();
  const std::string folder = base + "/" + appName + "-" + std::to_string(uid);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error) *error = "cannot make " + folder + ": " + std::strerror(errno);
    return {};
  }
  // Someone else's folder, a link, or one others may write into is not ours to use.
  struct stat st{};
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid ||
      (st.st_mode & 077) != 0) {
    if (error) *error = folder + " is not a private folder of this user";
    return {};
  }
  return folder;
}

bool SingleInstance::fail(const std::string& what, int err) {
  error_ = what;
  if (err != 0) {
    error_ += ": ";
    error_ += std::strerror(err);
  }
  return false;
}

SingleInstance::Role SingleInstance::acquire() {
  if (lockFd_ >= 0) return bound_ ? Role::First : Role::Later;
  folder_ = runtimeFolder(appName_, &error_);
  if (folder_.empty()) return Role::Failed;
  sockaddr_un address;
  if (!fillAddress(socketPath(), &address)) {
    fail("the socket path " + socketPath() + " is too long", 0);
    return Role::Failed;
  }
  lockFd_ = ::open(lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lockFd_ < 0) {
    fail("cannot open " + lockPath(), errno);
    return Role::Failed;
  }
  while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return Role::Later;
    fail("cannot lock " + lockPath(), errno);
    closeFd(lockFd_);
    return Role::Failed;
  }
  // The lock is ours: whatever socket file is there was left by an instance that has ended.
  ::unlink(socketPath().c_str());
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) {
    fail("cannot make a socket", errno);
    closeFd(lockFd_);
    return Role::Failed;
  }
  const mode_t old = ::umask(077);
  const int boundResult =
      ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  const int bindErr = errno;
  ::umask(old);
  if (boundResult != 0 || ::listen(listenFd_, SOMAXCONN) != 0) {
    fail("cannot listen on " + socketPath(), boundResult != 0 ? bindErr : errno);
    if (boundResult == 0) ::unlink(socketPath().c_str());
    closeFd(listenFd_);
    closeFd(lockFd_);
    return Role::Failed;
  }
  bound_ = true;
  return Role::First;
}

bool SingleInstance::startListener(std::function<void(std::string)> onText) {
  if (!bound_) return fail("no socket to listen on", 0);
  if (listener_.joinable()) return fail("the listener runs already", 0);
  if (::pipe2(stopPipe_, O_CLOEXEC) != 0) return fail("cannot make the listener's pipe", errno);
  try {
    listener_ = std::thread([this, onText = std::move(onText)]() mutable { listen(onText); });
  } catch (const std::exception& e) {
    closeFd(stopPipe_[0]);
    closeFd(stopPipe_[1]);
    return fail(std::string("cannot start the listener: ") + e.what(), 0);
  }
  return true;
}

void SingleInstance::stopListener() {
  if (!listener_.joinable()) return;
  const char byte = 1;
  while (::write(stopPipe_[1], &byte, 1) < 0 && errno == EINTR) {
  }
  listener_.join();
  closeFd(stopPipe_[0]);
  closeFd(stopPipe_[1]);
}

void SingleInstance::listen(std::function<void(std::string)> onText) {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents == 0) continue;
    int connection = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    std::string text;
    if (readText(connection, stopPipe_[0], &text)) {
      // A text the receiver could not take is not acknowledged: its sender reports it.
      bool taken = true;
      try {
        onText(std::move(text));
      } catch (...) {
        taken = false;
      }
      if (taken) ::send(connection, &kAck, 1, MSG_NOSIGNAL);
    }
    closeFd(connection);
  }
}

bool SingleInstance::handOver(const std::string& text, int retryMs, int ackMs) {
  if (text.size() > kMaxText) {
    return fail("the start page is longer than " + std::to_string(kMaxText) + " bytes", 0);
  }
  if (folder_.empty()) folder_ = runtimeFolder(appName_, &error_);
  if (folder_.empty()) return false;
  sockaddr_un address;
  if (!fillAddress(socketPath(), &address)) return fail("the socket path is too long", 0);

  const auto retryEnd = Clock::now() + std::chrono::milliseconds(retryMs);
  int fd = -1;
  for (;;) {
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail("cannot make a socket", errno);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) break;
    const int err = errno;
    closeFd(fd);
    if ((err != ENOENT && err != ECONNREFUSED && err != EAGAIN && err != EINTR) ||
        Clock::now() >= retryEnd) {
      return fail("no running instance answers at " + socketPath(), err);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }

  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = errno;
      closeFd(fd);
      return fail("the running instance did not take the start page", err);
    }
    sent += static_cast<size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);

  const auto ackEnd = Clock::now() + std::chrono::milliseconds(ackMs);
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, msLeft(ackEnd));
    if (ready < 0 && errno == EINTR) continue;
    char reply = 0;
    const ssize_t n = ready > 0 ? ::recv(fd, &reply, 1, 0) : -1;
    if (n < 0 && errno == EINTR) continue;
    closeFd(fd);
    if (n == 1 && reply == kAck) return true;
    return fail("the running instance did not acknowledge the start page", 0);
  }
}

}  // namespace desk
