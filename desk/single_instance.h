// One running instance per user: the first start of a program holds an exclusive lock on a file
// in the user's runtime folder for as long as it lives (the kernel drops it with the process, so a
// crash never blocks the next start), and listens on a Unix-domain socket beside it. A later start
// finds the lock taken, writes one text (its start page) to the socket, waits for a one-byte
// acknowledgement and ends.
//
// The folder is $XDG_RUNTIME_DIR when it names a folder, else a 0700 folder of the user's under
// $TMPDIR (or /tmp), so another user's starts never meet ours.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

namespace desk {

class SingleInstance {
 public:
  enum class Role { First, Later, Failed };

  // The largest text a hand-over carries (an encoded PATH_MAX path with its page name fits).
  static constexpr size_t kMaxText = 64 * 1024;
  // The listener drops a connection silent for this long.
  static constexpr int kSilenceMs = 2000;

  // `appName` and `id` name the files: "<appName>-<id>.lock" and "<appName>-<id>.sock"; the
  // fallback folder is "<tmp>/<appName>-<uid>".
  SingleInstance(std::string appName, std::string id);
  // Stops the listener; the first instance removes its socket and releases the lock.
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Decides the role once. First: the lock is held and the socket bound and listening (a stale
  // socket left by an ended instance is replaced). Later: another process holds the lock.
  // Failed: see error().
  Role acquire();

  // First instance: serves hand-overs on a thread of its own until stopListener(). Each complete
  // text goes to `onText` on that thread, one at a time in arrival order, before the sender is
  // acknowledged; a connection sending more than kMaxText bytes or silent for kSilenceMs is
  // dropped unanswered. False (see error()) when it cannot start.
  bool startListener(std::function<void(std::string)> onText);
  // Ends the listener thread and waits for it; connections not accepted yet stay unanswered.
  void stopListener();

  // Later instance: sends `text` to the first instance, retrying the connection for up to
  // `retryMs` (the first may still be setting up its socket), and waits up to `ackMs` for the
  // acknowledgement. False (see error()) when the text is too long, nobody listens or no
  // acknowledgement came.
  bool handOver(const std::string& text, int retryMs = 3000, int ackMs = 10000);

  const std::string& error() const { return error_; }
  const std::string& folder() const { return folder_; }
  std::string lockPath() const;
  std::string socketPath() const;

  // The runtime folder for `appName`, made (0700) when it is the fallback; empty with `error` set
  // when there is none that is safe to use.
  static std::string runtimeFolder(const std::string& appName, std::string* error);

 private:
  void listen(std::function<void(std::string)> onText);
  bool fail(const std::string& what, int err);

  std::string appName_;
  std::string id_;
  std::string folder_;
  std::string error_;
  int lockFd_ = -1;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  bool bound_ = false;
  std::thread listener_;
};

}  // namespace desk
