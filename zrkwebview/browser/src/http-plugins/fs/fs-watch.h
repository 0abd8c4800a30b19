// Folder watchers: one inotify instance and one thread per top-level watch, every watched
// subfolder one more watch descriptor of it. Items added (1), removed (2) and modified (4)
// directly inside a watched folder reach the handlers on the watcher's thread; a rename is
// reported as removed (old name) and added (new name).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace zrk {

class MyDirectoryWatcher {
 public:
  using Handler = std::function<void(const std::string& itemPath)>;

  enum Event : int { kItemAdded = 1, kItemRemoved = 2, kItemModified = 4 };

  // Starts watching `path` (less one trailing "/", unless it is "/") for the events of `mask`,
  // and for a non-zero depth its subfolders down to that level (every level when negative;
  // links are not followed). The handlers are in place before anything is watched.
  // Throws Poco::FileNotFoundException for a missing folder, Poco::InvalidArgumentException for
  // a path that is not a folder, std::filesystem::filesystem_error when the tree cannot be
  // walked, and std::runtime_error naming the system limit when inotify's limits are reached.
  MyDirectoryWatcher(const std::string& path, int mask, int depth, Handler onAdded,
                     Handler onRemoved, Handler onModified);
  ~MyDirectoryWatcher();
  MyDirectoryWatcher(const MyDirectoryWatcher&) = delete;
  MyDirectoryWatcher& operator=(const MyDirectoryWatcher&) = delete;

  // Stops the thread and waits for it; afterwards no handler runs. Safe to call twice.
  void stop();

  const std::string& path() const { return path_; }
  int mask() const { return mask_; }
  bool hasChildren() const { return hasChildren_; }
  // The watched subfolders, in the order of the walk.
  std::vector<std::string> childPaths() const;
  // True when a watched subfolder has exactly this path.
  bool hasChild(const std::string& path) const;
  // Stops watching the first subfolder with this path; false when there is none.
  bool removeChild(const std::string& path);

  std::string id;

 private:
  void addWatch(const std::string& folder, bool child);
  void run();
  void dispatch(int wd, uint32_t mask, const char* name);

  std::string path_;
  int mask_;
  bool hasChildren_ = false;
  int inotifyFd_ = -1;
  int stopFd_ = -1;
  Handler onAdded_, onRemoved_, onModified_;

  mutable std::mutex childMutex_;
  // Watch descriptor to folder path, and the subfolders in walk order.
  std::map<int, std::string> folders_;
  std::vector<std::pair<std::string, int>> children_;

  std::thread thread_;
};

namespace plugin {

// Where the "zrk://directory-changed" events go: the application hands them to every window
// (App::forEachWindow, Window::emit with an empty webview label). Until one is set, changes are
// detected and nothing is emitted.
using DirectoryEventSink =
    std::function<void(const std::string& event, const nlohmann::json& payload)>;
void setDirectoryEventSink(DirectoryEventSink sink);

// The watcher list of the plugin.
std::string addWatcher(const std::string& path, int mask, int depth,
                       MyDirectoryWatcher::Handler onAdded, MyDirectoryWatcher::Handler onRemoved,
                       MyDirectoryWatcher::Handler onModified);
bool isPathWatched(const std::string& path, bool* subwatch);
bool unwatchPath(const std::string& path, const std::string& id);
void watchedDirectoriesJson(nlohmann::json& out);
// Stops and drops every watcher. The application calls it when it quits, before its loop ends.
void stopAllWatchers();

}  // namespace plugin
}  // namespace zrk
