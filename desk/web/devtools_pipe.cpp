#include "desk/web/devtools_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace desk::web::devtools {

namespace {

// A paused request whose message is this large carries a body that goes to the loopback server
// instead: its copies inside the message (the text "postData" and the base64 "postDataEntries")
// are cut out before parsing, never decoded or stored.
constexpr size_t kLargeMessage = 1 << 20;

bool trace() {
  // DESKWEB_TRACE=1 prints the start of every message, both ways, for debugging.
  static const bool on = getenv("DESKWEB_TRACE") != nullptr;
  return on;
}

// Milliseconds since the first trace, for the trace lines.
long traceMs() {
  static const auto start = std::chrono::steady_clock::now();
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

// The end of the JSON value that starts at `at` (just past it), or npos when it is cut short.
// Strings are skipped with memchr, so a value of a hundred megabytes takes a few milliseconds.
size_t skipValue(std::string_view text, size_t at) {
  int depth = 0;
  size_t i = at;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') {
      // Find the closing quote: one not preceded by an odd run of backslashes.
      size_t j = i + 1;
      for (;;) {
        const void* q = std::memchr(text.data() + j, '"', text.size() - j);
        if (!q) return std::string_view::npos;
        j = static_cast<size_t>(static_cast<const char*>(q) - text.data());
        size_t slashes = 0;
        while (j - slashes > i + 1 && text[j - slashes - 1] == '\\') ++slashes;
        if (slashes % 2 == 0) break;
        ++j;
      }
      i = j + 1;
      if (depth == 0) return i;
      continue;
    }
    if (c == '[' || c == '{') {
      ++depth;
    } else if (c == ']' || c == '}') {
      if (depth == 0) return i;  // a number, true, false or null ended the object
      if (--depth == 0) return i + 1;
    } else if (depth == 0 && c == ',') {
      return i;  // a number, true, false or null ended
    }
    ++i;
  }
  return std::string_view::npos;
}

// The message with the values of the named members replaced by null (the keys are matched with
// their quotes, which inside a JSON string would be escaped).
std::string withoutMembers(std::string_view text, std::initializer_list<std::string_view> names) {
  std::string out;
  size_t copied = 0;
  for (;;) {
    size_t best = std::string_view::npos, keyLength = 0;
    for (std::string_view name : names) {
      std::string key(name.size() + 3, '"');
      name.copy(key.data() + 1, name.size());
      key.back() = ':';
      size_t at = text.find(key, copied);
      if (at < best) best = at, keyLength = key.size();
    }
    if (best == std::string_view::npos) break;
    size_t valueStart = best + keyLength;
    size_t valueEnd = skipValue(text, valueStart);
    if (valueEnd == std::string_view::npos) break;
    out.append(text.substr(copied, valueStart - copied));
    out += "null";
    copied = valueEnd;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace

std::string dumpJson(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

const std::string* stringAt(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

std::string stringOr(const json& j, const char* key, const std::string& fallback) {
  const std::string* s = stringAt(j, key);
  return s ? *s : fallback;
}

Pipe::Pipe() = default;

Pipe::~Pipe() {
  for (int fd : {toBrowser_, fromBrowser_, wake_[0], wake_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

bool Pipe::init(std::string& error) {
  if (::pipe2(wake_, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  return true;
}

void Pipe::attach(int toBrowser, int fromBrowser) {
  std::lock_guard lock(mutex_);
  toBrowser_ = toBrowser;
  fromBrowser_ = fromBrowser;
  open_ = true;
}

void Pipe::wake() {
  char c = 1;
  if (wake_[1] >= 0) (void)!::write(wake_[1], &c, 1);
}

void Pipe::run(const EventHandler& onEvent) {
  std::string buffer;
  size_t scanned = 0;
  std::vector<char> chunk(1 << 16);
  for (;;) {
    pollfd fds[2] = {{fromBrowser_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    int rc = ::poll(fds, 2, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;  // told to stop
    ssize_t n = ::read(fromBrowser_, chunk.data(), chunk.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;  // the browser closed its end: it is gone
    buffer.append(chunk.data(), static_cast<size_t>(n));
    size_t start = 0;
    for (;;) {
      size_t nul = buffer.find('\0', scanned);
      if (nul == std::string::npos) {
        scanned = buffer.size();
        break;
      }
      dispatch(std::string_view(buffer).substr(start, nul - start), onEvent);
      start = nul + 1;
      scanned = start;
    }
    if (start > 0) {
      buffer.erase(0, start);
      scanned -= start;
    }
    // A message of a hundred megabytes must not stay held after it was handled.
    if (buffer.empty() && buffer.capacity() > (4u << 20)) std::string().swap(buffer);
  }
  failPending();
}

void Pipe::failPending() {
  std::map<int64_t, Continuation> pending;
  {
    std::lock_guard lock(mutex_);
    open_ = false;
    pending.swap(pending_);
  }
  Reply r;
  r.error = "the browser is gone";
  r.code = goneResult();
  for (auto& [id, k] : pending) k(r);
}

void Pipe::dispatch(std::string_view text, const EventHandler& onEvent) {
  if (trace()) {
    fprintf(stderr, "%6ld devtools< (%zu) %.*s\n", traceMs(), text.size(),
            static_cast<int>(std::min<size_t>(text.size(), 400)), text.data());
  }
  json msg;
  static constexpr std::string_view kPaused = R"({"method":"Fetch.requestPaused")";
  if (text.size() > kLargeMessage && text.substr(0, kPaused.size()) == kPaused) {
    msg = json::parse(withoutMembers(text, {"postData", "postDataEntries"}), nullptr, false);
  } else {
    msg = json::parse(text, nullptr, false);
  }
  if (msg.is_discarded() || !msg.is_object()) return;
  auto idIt = msg.find("id");
  if (idIt != msg.end() && idIt->is_number_integer()) {
    Continuation k;
    {
      std::lock_guard lock(mutex_);
      auto it = pending_.find(idIt->get<int64_t>());
      if (it == pending_.end()) return;
      k = std::move(it->second);
      pending_.erase(it);
    }
    Reply r;
    auto err = msg.find("error");
    if (err != msg.end()) {
      r.error = err->is_object() ? stringOr(*err, "message", "error") : "error";
      r.code = Result::failed;
    } else {
      r.ok = true;
      r.code = Result::ok;
      static const json empty = json::object();
      auto res = msg.find("result");
      r.result = res != msg.end() ? &*res : &empty;
    }
    k(r);
    return;
  }
  const std::string* method = stringAt(msg, "method");
  if (!method) return;
  static const json emptyParams = json::object();
  auto pit = msg.find("params");
  const json& params = pit != msg.end() ? *pit : emptyParams;
  onEvent(*method, params, stringOr(msg, "sessionId"));
}

void Pipe::send(const std::string& method, json params, const std::string& sessionId, Continuation k) {
  sendText(method, dumpJson(params), sessionId, std::move(k));
}

void Pipe::sendText(const std::string& method, const std::string& params, const std::string& sessionId,
                    Continuation k) {
  int64_t id;
  std::string text;
  {
    std::unique_lock lock(mutex_);
    if (!open_) {
      lock.unlock();
      Reply r;
      r.error = "the browser is gone";
      r.code = goneResult();
      if (k) k(r);
      return;
    }
    id = nextId_++;
    if (k) pending_.emplace(id, std::move(k));
  }
  // Put together by hand so a large body is copied once, never re-escaped.
  text.reserve(params.size() + method.size() + sessionId.size() + 64);
  text += "{\"id\":";
  text += std::to_string(id);
  text += ",\"method\":";
  text += dumpJson(json(method));
  if (!sessionId.empty()) {
    text += ",\"sessionId\":";
    text += dumpJson(json(sessionId));
  }
  text += ",\"params\":";
  text += params;
  text += '}';
  if (trace()) {
    fprintf(stderr, "%6ld devtools> (%zu) %.*s\n", traceMs(), text.size(),
            static_cast<int>(std::min<size_t>(text.size(), 400)), text.data());
  }
  text.push_back('\0');

  bool written = true;
  {
    std::lock_guard lock(writeMutex_);
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
      ssize_t n = ::write(toBrowser_, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        written = false;
        break;
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
  }
  if (!written) {
    // The browser is going; its end is noticed by the reader. Answer this command now.
    Continuation failed;
    {
      std::lock_guard lock(mutex_);
      auto it = pending_.find(id);
      if (it != pending_.end()) {
        failed = std::move(it->second);
        pending_.erase(it);
      }
    }
    if (failed) {
      Reply r;
      r.error = "the browser is gone";
      r.code = goneResult();
      failed(r);
    }
  }
}

}  // namespace desk::web::devtools
