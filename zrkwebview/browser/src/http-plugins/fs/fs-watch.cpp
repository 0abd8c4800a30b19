#include "zrkwebview/browser/src/http-plugins/fs/fs-watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include <Poco/Exception.h>
#include <nlohmann/json.hpp>

#include "vesk/log.h"
#include "vesk/strings.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-plugin.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-support.h"

namespace zrk {

namespace {

constexpr uint32_t kAddedBits = IN_CREATE | IN_MOVED_TO;
constexpr uint32_t kRemovedBits = IN_DELETE | IN_MOVED_FROM;
constexpr uint32_t kModifiedBits = IN_MODIFY | IN_ATTRIB;

uint32_t inotifyMaskFor(int mask) {
  uint32_t bits = 0;
  if (mask & MyDirectoryWatcher::kItemAdded) bits |= kAddedBits;
  if (mask & MyDirectoryWatcher::kItemRemoved) bits |= kRemovedBits;
  if (mask & MyDirectoryWatcher::kItemModified) bits |= kModifiedBits;
  return bits;
}

std::string withoutTrailingSeparator(const std::string& path) {
  if (path.size() > 1 && path.back() == '/') return path.substr(0, path.size() - 1);
  return path;
}

}  // namespace

MyDirectoryWatcher::MyDirectoryWatcher(const std::string& path, int mask, int depth,
                                       Handler onAdded, Handler onRemoved, Handler onModified)
    : path_(withoutTrailingSeparator(path)),
      mask_(mask),
      onAdded_(std::move(onAdded)),
      onRemoved_(std::move(onRemoved)),
      onModified_(std::move(onModified)) {
  plugin::fs::checkedPath(path_);
  struct stat info {};
  if (::stat(path_.c_str(), &info) != 0) {
    if (errno == ENOENT) throw Poco::FileNotFoundException(path_);
    plugin::fs::throwFileError(path_, errno);
  }
  if (!S_ISDIR(info.st_mode)) throw Poco::InvalidArgumentException("not a directory", path_);

  inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ < 0) {
    if (errno == EMFILE) {
      throw std::runtime_error(
          "Too many folder watchers: the system limit fs.inotify.max_user_instances is reached.");
    }
    throw std::runtime_error("Cannot watch folders: " + plugin::fs::systemErrorText(errno));
  }
  try {
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) throw std::runtime_error(plugin::fs::systemErrorText(errno));
    addWatch(path_, false);
    if (depth != 0) {
      hasChildren_ = true;
      namespace stdfs = std::filesystem;
      for (stdfs::recursive_directory_iterator it(path_), end; it != end; ++it) {
        if (it->is_symlink() || !it->is_directory()) continue;
        const int level = it.depth() + 1;
        if (depth < 0 || level <= depth) addWatch(it->path().string(), true);
        if (depth > 0 && level >= depth) it.disable_recursion_pending();
      }
    }
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    if (stopFd_ >= 0) ::close(stopFd_);
    ::close(inotifyFd_);
    throw;
  }
}

MyDirectoryWatcher::~MyDirectoryWatcher() {
  stop();
  ::close(stopFd_);
  ::close(inotifyFd_);
}

void MyDirectoryWatcher::addWatch(const std::string& folder, bool child) {
  uint32_t bits = inotifyMaskFor(mask_) | IN_ONLYDIR;
  if (child) bits |= IN_DONT_FOLLOW;
  const int wd = ::inotify_add_watch(inotifyFd_, folder.c_str(), bits);
  if (wd < 0) {
    if (errno == ENOSPC) {
      throw std::runtime_error(
          "Too many watched folders: the system limit fs.inotify.max_user_watches is reached.");
    }
    plugin::fs::throwFileError(folder, errno);
  }
  std::lock_guard<std::mutex> lock(childMutex_);
  folders_[wd] = folder;
  if (child) children_.emplace_back(folder, wd);
}

void MyDirectoryWatcher::stop() {
  if (!thread_.joinable()) return;
  const uint64_t one = 1;
  ssize_t written;
  do {
    written = ::write(stopFd_, &one, sizeof one);
  } while (written < 0 && errno == EINTR);
  thread_.join();
}

std::vector<std::string> MyDirectoryWatcher::childPaths() const {
  std::lock_guard<std::mutex> lock(childMutex_);
  std::vector<std::string> paths;
  for (const auto& child : children_) paths.push_back(child.first);
  return paths;
}

bool MyDirectoryWatcher::hasChild(const std::string& path) const {
  std::lock_guard<std::mutex> lock(childMutex_);
  return std::any_of(children_.begin(), children_.end(),
                     [&](const auto& child) { return child.first == path; });
}

bool MyDirectoryWatcher::removeChild(const std::string& path) {
  std::lock_guard<std::mutex> lock(childMutex_);
  auto it = std::find_if(children_.begin(), children_.end(),
                         [&](const auto& child) { return child.first == path; });
  if (it == children_.end()) return false;
  ::inotify_rm_watch(inotifyFd_, it->second);
  folders_.erase(it->second);
  children_.erase(it);
  return true;
}

void MyDirectoryWatcher::run() {
  alignas(struct inotify_event) char buffer[16384];
  for (;;) {
    pollfd fds[2] = {{stopFd_, POLLIN, 0}, {inotifyFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      ZRK_LOG_ERROR("folder watcher: %s", plugin::fs::systemErrorText(errno).c_str());
      return;
    }
    if (fds[0].revents != 0) return;
    if ((fds[1].revents & POLLIN) == 0) continue;
    for (;;) {
      const ssize_t got = ::read(inotifyFd_, buffer, sizeof buffer);
      if (got <= 0) break;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        if (event->mask & IN_IGNORED) {
          std::lock_guard<std::mutex> lock(childMutex_);
          folders_.erase(event->wd);
          continue;
        }
        if (event->len == 0) continue;  // about the folder itself
        dispatch(event->wd, event->mask, event->name);
      }
    }
  }
}

void MyDirectoryWatcher::dispatch(int wd, uint32_t bits, const char* name) {
  std::string folder;
  {
    std::lock_guard<std::mutex> lock(childMutex_);
    auto it = folders_.find(wd);
    if (it == folders_.end()) return;
    folder = it->second;
  }
  const Handler* handler = nullptr;
  if ((bits & kAddedBits) && (mask_ & kItemAdded)) {
    handler = &onAdded_;
  } else if ((bits & kRemovedBits) && (mask_ & kItemRemoved)) {
    handler = &onRemoved_;
  } else if ((bits & kModifiedBits) && (mask_ & kItemModified)) {
    handler = &onModified_;
  }
  if (handler == nullptr || !*handler) return;
  const std::string itemPath = (folder == "/" ? folder : folder + "/") + name;
  try {
    (*handler)(itemPath);
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("folder watcher handler: %s", e.what());
  } catch (...) {
    ZRK_LOG_ERROR("folder watcher handler failed");
  }
}

namespace plugin {

using namespace fs;

namespace {

struct WatcherList {
  std::mutex mutex;
  std::vector<std::shared_ptr<MyDirectoryWatcher>> watchers;
  ~WatcherList() {
    // The threads end before the process does, even when nobody stopped them.
    for (auto& watcher : watchers) watcher->stop();
  }
};

WatcherList& watcherList() {
  static WatcherList list;
  return list;
}

struct SinkSlot {
  std::mutex mutex;
  DirectoryEventSink sink;
};

// Never destroyed: watcher threads may still emit while the process ends.
SinkSlot& sinkSlot() {
  static SinkSlot* slot = new SinkSlot;
  return *slot;
}

void emitDirectoryChanged(const std::string& itemPath, int kind) {
  DirectoryEventSink sink;
  {
    std::lock_guard<std::mutex> lock(sinkSlot().mutex);
    sink = sinkSlot().sink;
  }
  if (sink) sink("zrk://directory-changed", json{{"event", kind}, {"path", itemPath}});
}

}  // namespace

void setDirectoryEventSink(DirectoryEventSink sink) {
  std::lock_guard<std::mutex> lock(sinkSlot().mutex);
  sinkSlot().sink = std::move(sink);
}

std::string addWatcher(const std::string& path, int mask, int depth,
                       MyDirectoryWatcher::Handler onAdded, MyDirectoryWatcher::Handler onRemoved,
                       MyDirectoryWatcher::Handler onModified) {
  auto watcher = std::make_shared<MyDirectoryWatcher>(path, mask, depth, std::move(onAdded),
                                                      std::move(onRemoved), std::move(onModified));
  watcher->id = makeUniqueId("pw_");
  WatcherList& list = watcherList();
  std::lock_guard<std::mutex> lock(list.mutex);
  list.watchers.push_back(watcher);
  return watcher->id;
}

bool isPathWatched(const std::string& path, bool* subwatch) {
  WatcherList& list = watcherList();
  std::lock_guard<std::mutex> lock(list.mutex);
  for (const auto& watcher : list.watchers) {
    if (watcher->path() == path) return true;
  }
  if (subwatch == nullptr) return false;
  for (const auto& watcher : list.watchers) {
    if (watcher->hasChild(path)) {
      *subwatch = true;
      return true;
    }
  }
  return false;
}

bool unwatchPath(const std::string& path, const std::string& id) {
  WatcherList& list = watcherList();
  std::vector<std::shared_ptr<MyDirectoryWatcher>> removed;  // stopped after the lock is gone
  bool childRemoved = false;
  {
    std::lock_guard<std::mutex> lock(list.mutex);
    auto& watchers = list.watchers;
    auto matches = [&](const std::shared_ptr<MyDirectoryWatcher>& watcher) {
      if (!path.empty() && watcher->path() != path) return false;
      return id.empty() || watcher->id == id;
    };
    auto keep = std::stable_partition(watchers.begin(), watchers.end(),
                                      [&](const auto& watcher) { return !matches(watcher); });
    removed.assign(keep, watchers.end());
    watchers.erase(keep, watchers.end());
    if (removed.empty() && !path.empty()) {
      for (const auto& watcher : watchers) {
        if (watcher->removeChild(path)) {
          childRemoved = true;
          break;
        }
      }
    }
  }
  const bool any = childRemoved || !removed.empty();
  removed.clear();
  return any;
}

void watchedDirectoriesJson(json& out) {
  WatcherList& list = watcherList();
  std::lock_guard<std::mutex> lock(list.mutex);
  for (const auto& watcher : list.watchers) {
    out.push_back(json{{"id", watcher->id}, {"path", watcher->path()}, {"paths", watcher->childPaths()}});
  }
}

void stopAllWatchers() {
  std::vector<std::shared_ptr<MyDirectoryWatcher>> removed;
  {
    WatcherList& list = watcherList();
    std::lock_guard<std::mutex> lock(list.mutex);
    removed.swap(list.watchers);
  }
  removed.clear();
}

std::shared_ptr<http::HttpResponse> FSPlugin::watch(const json& payload, FSPlugin*, uint64_t,
                                                    http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return failure("Path not specified.");
  const json& options = optionsOf(payload);
  const int depth = numberOr<int32_t>(options, "depth", 0);
  int events = numberOr<int32_t>(options, "events", 7);
  if (events == 0) events = 7;
  try {
    const std::string id = addWatcher(
        path, events, depth,
        [](const std::string& item) { emitDirectoryChanged(item, MyDirectoryWatcher::kItemAdded); },
        [](const std::string& item) { emitDirectoryChanged(item, MyDirectoryWatcher::kItemRemoved); },
        [](const std::string& item) { emitDirectoryChanged(item, MyDirectoryWatcher::kItemModified); });
    return textReply(id);
  } catch (const std::exception& e) {
    return failure(libraryErrorText(e));
  }
}

std::shared_ptr<http::HttpResponse> FSPlugin::isWatched(const json& payload, FSPlugin*, uint64_t,
                                                        http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return failure("Path not specified.");
  bool subwatch = false;
  const bool watched = isPathWatched(path, &subwatch);
  return jsonReply(dumpJson({{"subwatch", subwatch}, {"watched", watched}}));
}

std::shared_ptr<http::HttpResponse> FSPlugin::unwatch(const json& payload, FSPlugin*, uint64_t,
                                                      http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  const std::string id = stringOr(payload, "id");
  if (path.empty() && id.empty()) return failure("Path or id not specified.");
  return jsonReply(unwatchPath(path, id) ? "true" : "false");
}

std::shared_ptr<http::HttpResponse> FSPlugin::unwatchAll(const json&, FSPlugin*, uint64_t,
                                                         http::HttpRequest*) {
  try {
    stopAllWatchers();
    return jsonReply("true");
  } catch (const Poco::Exception& e) {
    return failure(e.displayText());
  } catch (const std::exception& e) {
    return failure(e.what());
  }
}

std::shared_ptr<http::HttpResponse> FSPlugin::watchedDirectories(const json&, FSPlugin*, uint64_t,
                                                                 http::HttpRequest*) {
  try {
    json out;  // null when nothing is watched
    watchedDirectoriesJson(out);
    return jsonReply(dumpJson(out));
  } catch (const Poco::Exception& e) {
    return failure(e.displayText());
  } catch (const std::exception& e) {
    return failure(e.what());
  }
}

}  // namespace plugin
}  // namespace zrk
