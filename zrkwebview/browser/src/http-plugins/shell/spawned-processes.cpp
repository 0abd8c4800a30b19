// The spawned children of the shell plugin: "spawn", "stdin_write", "kill", the process table
// and the output pumps.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <Poco/Pipe.h>

#include "zrkwebview/browser/src/http-plugins/ipc/channel-id.h"
#include "zrkwebview/browser/src/http-plugins/shell/shell-plugin.h"
#include "zrkwebview/browser/src/http-plugins/shell/shell-support.h"
#include "zrkwebview/browser/src/http-plugins/shell/utf8-stream.h"
#include "zrkwebview/browser/src/webview.h"

namespace zrk::plugin {

namespace shell {

namespace {

// Channel messages carry no order.
constexpr uint32_t kNoOrder = static_cast<uint32_t>(-1);
// Bytes read from an output pipe at a time.
constexpr size_t kOutputChunk = 65530;

// Feeds a child's standard input from a queue, on a thread of its own, so a child that does not
// read never blocks the caller. Writes go all or nothing into the queue; a write that fails closes
// the input for good.
class InputWriter : public std::enable_shared_from_this<InputWriter> {
 public:
  explicit InputWriter(std::shared_ptr<Poco::Pipe> pipe) : pipe_(std::move(pipe)) {}

  enum class Result { kQueued, kFull, kFailed };

  Result enqueue(std::string bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (failed_) return Result::kFailed;
    if (bytes.empty()) return Result::kQueued;
    if (bytes.size() > kInputQueueLimit - queued_) return Result::kFull;
    if (!started_) {
      // The write end becomes non-blocking so the writer can notice stop() while a child does
      // not read.
      const int fd = pipe_->writeHandle();
      const int flags = fcntl(fd, F_GETFL);
      if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
      std::thread([self = shared_from_this()] { self->run(); }).detach();
      started_ = true;
    }
    queued_ += bytes.size();
    queue_.push_back(std::move(bytes));
    wake_.notify_one();
    return Result::kQueued;
  }

  // Drops what is queued; the writer thread ends.
  void stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    queue_.clear();
    queued_ = 0;
    wake_.notify_one();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopped_ || failed_ || !queue_.empty(); });
      if (stopped_ || failed_) return;
      std::string piece = queue_.front();
      lock.unlock();
      const bool written = writeAll(piece);
      lock.lock();
      if (stopped_) return;
      if (!queue_.empty()) {
        queue_.pop_front();
        queued_ -= piece.size();
      }
      if (!written) {
        failed_ = true;
        queue_.clear();
        queued_ = 0;
        pipe_->close(Poco::Pipe::CLOSE_WRITE);
        return;
      }
    }
  }

  bool stopRequested() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
  }

  bool writeAll(const std::string& bytes) {
    const int fd = pipe_->writeHandle();
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        if (stopRequested()) return true;
        pollfd out{fd, POLLOUT, 0};
        poll(&out, 1, 200);
        continue;
      }
      return false;  // EPIPE: the child has closed its input or ended
    }
    return true;
  }

  std::shared_ptr<Poco::Pipe> pipe_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> queue_;
  size_t queued_ = 0;
  bool started_ = false;
  bool stopped_ = false;
  bool failed_ = false;
};

struct SpawnedProcess {
  std::shared_ptr<desk::Child> child;
  uint32_t callbackNumber = 0;
  std::weak_ptr<zrk::Webview> ownerWebview;
  std::shared_ptr<InputWriter> input;
  bool ended = false;  // under the table's mutex: the child has been reaped
};

// The table lives as long as the process: pumps that still run at exit may use it.
std::mutex& tableMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::map<uint32_t, std::shared_ptr<SpawnedProcess>>& processTable() {
  static auto* table = new std::map<uint32_t, std::shared_ptr<SpawnedProcess>>;
  return *table;
}

json spawnEvent(const char* event, json payload) {
  return json{{"event", event}, {"payload", std::move(payload)}};
}

// The pump of one child, on its own thread: its output and error as events while it runs, the
// rest of both after its end, then "Terminated"; finally its table entry goes.
void pumpSpawnedOutput(const std::shared_ptr<SpawnedProcess>& record) {
  const std::shared_ptr<zrk::Webview> webview = record->ownerWebview.lock();
  const uint32_t pid = static_cast<uint32_t>(record->child->pid());
  const auto send = [&](const char* event, json payload) {
    if (webview) webview->sendChannelMessage(record->callbackNumber, spawnEvent(event, std::move(payload)), kNoOrder);
  };
  try {
    Utf8Stream outText, errText;
    desk::pumpChild(
        *record->child, kOutputChunk,
        [&](int stream, std::string bytes) {
          const std::string text = (stream == 1 ? outText : errText).feed(bytes);
          if (!text.empty()) send(stream == 1 ? "Stdout" : "Stderr", text);
        },
        [&] {
          std::lock_guard<std::mutex> lock(tableMutex());
          record->ended = true;
        });
    if (std::string rest = outText.finish(); !rest.empty()) send("Stdout", rest);
    if (std::string rest = errText.finish(); !rest.empty()) send("Stderr", rest);
  } catch (...) {
    // The child is still reaped below; what was read is what the page got.
  }
  try {
    record->child->wait();
    {
      std::lock_guard<std::mutex> lock(tableMutex());
      record->ended = true;
    }
    send("Terminated", json::array({"pid", pid}));
  } catch (...) {
  }
  {
    std::lock_guard<std::mutex> lock(tableMutex());
    auto& table = processTable();
    const auto it = table.find(pid);
    if (it != table.end() && it->second == record) table.erase(it);
  }
  record->input->stop();
}

// The payload's "pid": nothing when it is not a number; 0 (no child has it) for a number that is
// no 32-bit pid.
std::optional<uint32_t> pidOf(const json& payload) {
  const json* value = fs::member(payload, "pid");
  if (value == nullptr || !value->is_number()) return std::nullopt;
  return fs::numberOf<uint32_t>(payload, "pid").value_or(0);
}

// The bytes of a "buffer" array: every element a number (its integer part modulo 256); nothing
// when an element is not a number, or not finite, or too large for any integer.
std::optional<std::string> bytesOf(const json& array) {
  std::string bytes;
  bytes.reserve(array.size());
  for (const json& element : array) {
    int64_t value = 0;
    if (element.is_number_unsigned()) {
      value = static_cast<int64_t>(element.get<uint64_t>() & 0xFF);
    } else if (element.is_number_integer()) {
      value = element.get<int64_t>();
    } else if (element.is_number_float()) {
      const double d = std::trunc(element.get<double>());
      if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) return std::nullopt;
      value = static_cast<int64_t>(std::fmod(d, 256.0));
    } else {
      return std::nullopt;
    }
    bytes.push_back(static_cast<char>(static_cast<uint8_t>(((value % 256) + 256) % 256)));
  }
  return bytes;
}

}  // namespace

std::vector<uint32_t> spawnedProcessIds() {
  std::lock_guard<std::mutex> lock(tableMutex());
  std::vector<uint32_t> ids;
  for (const auto& entry : processTable()) ids.push_back(entry.first);
  return ids;
}

}  // namespace shell

std::shared_ptr<http::HttpResponse> ShellPlugin::spawn(const nlohmann::json& payload,
                                                       const WebviewRef& webview) {
  std::optional<desk::ChildSpec> spec = shell::childSpecOf(payload);
  if (!spec) return fs::failure("Bad Request (missing program)");
  const nlohmann::json* onEvent = fs::member(payload, "onEvent");
  if (onEvent == nullptr || !onEvent->is_string()) {
    return fs::failure("Bad Request (missing onEvent)");
  }
  // A malformed channel is not answered here: its exception goes to the plugin handler.
  const uint32_t callback = parseChannelCallback(onEvent->get<std::string>());
  try {
    spec->pipeInput = true;
    spec->pipeOutput = true;
    spec->pipeError = true;
    auto record = std::make_shared<shell::SpawnedProcess>();
    record->child = desk::launchChild(*spec);
    record->callbackNumber = callback;
    record->ownerWebview = webview;
    record->input = std::make_shared<shell::InputWriter>(record->child->input());
    const uint32_t pid = static_cast<uint32_t>(record->child->pid());
    // The entry is in the table before its pump can take it out.
    std::lock_guard<std::mutex> lock(shell::tableMutex());
    shell::processTable()[pid] = record;
    try {
      std::thread([record] { shell::pumpSpawnedOutput(record); }).detach();
    } catch (...) {
      shell::processTable().erase(pid);
      record->child->signal(SIGKILL);
      throw;
    }
    return fs::jsonReply(std::to_string(pid));
  } catch (const std::exception& e) {
    const std::string message = shell::launchErrorText(e);
    if (webview) {
      webview->sendChannelMessage(callback, shell::spawnEvent("Error", message), shell::kNoOrder);
    }
    return fs::failure(message);
  }
}

std::shared_ptr<http::HttpResponse> ShellPlugin::stdinWrite(const nlohmann::json& payload,
                                                            const WebviewRef& webview) {
  (void)webview;
  const std::optional<uint32_t> pid = shell::pidOf(payload);
  if (!pid) return fs::failure("Bad Request (missing pid)");
  const nlohmann::json* buffer = fs::member(payload, "buffer");
  if (buffer == nullptr) return fs::failure("Bad Request (missing data)");
  try {
    std::shared_ptr<shell::InputWriter> input;
    std::string bytes;
    {
      std::lock_guard<std::mutex> lock(shell::tableMutex());
      const auto& table = shell::processTable();
      const auto it = table.find(*pid);
      if (it == table.end()) return fs::failure("Bad Request (no such process)");
      if (it->second->ended) return fs::failure("Bad Request (process terminated)");
      if (buffer->is_string()) {
        bytes = buffer->get<std::string>();
      } else if (buffer->is_array()) {
        std::optional<std::string> converted = shell::bytesOf(*buffer);
        if (!converted) return fs::failure("Bad Request (invalid data)");
        bytes = std::move(*converted);
      } else {
        return fs::failure("Bad Request (invalid data)");
      }
      input = it->second->input;
    }
    switch (input->enqueue(std::move(bytes))) {
      case shell::InputWriter::Result::kQueued: return shell::trueReply();
      case shell::InputWriter::Result::kFull: return fs::failure("Bad Request (input queue full)");
      case shell::InputWriter::Result::kFailed: return fs::failure("Cannot write file");
    }
    return fs::failure("Cannot write file");
  } catch (const std::exception& e) {
    return fs::failure(e.what());
  }
}

std::shared_ptr<http::HttpResponse> ShellPlugin::kill(const nlohmann::json& payload,
                                                      const WebviewRef& webview) {
  (void)webview;
  const std::optional<uint32_t> pid = shell::pidOf(payload);
  if (!pid) return fs::failure("Bad Request (missing pid)");
  try {
    std::lock_guard<std::mutex> lock(shell::tableMutex());
    const auto& table = shell::processTable();
    const auto it = table.find(*pid);
    if (it == table.end()) return fs::failure("Bad Request (no such process)");
    // A reaped child's pid may already be someone else's: it is never signalled.
    if (!it->second->ended) it->second->child->signal(SIGKILL);
    return shell::trueReply();
  } catch (const std::exception& e) {
    return fs::failure(e.what());
  }
}

}  // namespace zrk::plugin
