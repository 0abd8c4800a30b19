// The file-system plugin ("fs"): pages read, write, list, hash and watch the user's files.
//
// Every command runs on the plugin request thread, one after another. What outlives a call lives
// in process-wide records: the open-file registry (fs-open-files.h) and the watcher list
// (fs-watch.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class FSPlugin : public Plugin {
  VESK_DECLARE_CLASS(FSPlugin, Plugin, "zrk::plugin")

 public:
  FSPlugin();
  ~FSPlugin() override = default;

  std::string initScript() override { return std::string(); }
  // Takes the resource id from payload["rid"] (any JSON number, a fraction dropped; anything else,
  // and numbers that are negative, not finite or too large, give 0), runs the command and returns
  // its reply; empty for a command the plugin does not have. A std::exception out of a command
  // answers 400 with its what().
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  // A command: (payload, plugin, resource id, request) -> reply.
  using Handler = std::shared_ptr<http::HttpResponse> (*)(const nlohmann::json& payload,
                                                          FSPlugin* plugin, uint64_t rid,
                                                          http::HttpRequest* request);

  // Open files (fs-open-files.cpp).
  static std::shared_ptr<http::HttpResponse> read(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> seek(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> write(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> open(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> close(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> readlineOpen(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> readlineNext(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> readlineClose(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> readNLines(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);

  // File and folder commands (fs-file-commands.cpp).
  static std::shared_ptr<http::HttpResponse> writeFile(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> exists(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> realpath(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> stat(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> move(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> rename(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> copyFile(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> remove(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> readFile(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> mkdir(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> digest(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> setReadonly(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> setModification(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> createLink(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);

  // Listing (fs-read-dir.cpp).
  static std::shared_ptr<http::HttpResponse> readDir(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);

  // Watching (fs-watch.cpp).
  static std::shared_ptr<http::HttpResponse> watch(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> isWatched(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> unwatch(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> unwatchAll(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> watchedDirectories(const nlohmann::json&, FSPlugin*, uint64_t, http::HttpRequest*);
};

// Makes the one plugin and adds it to the plugin registry on the first call, and points the
// watchers' events at the application's windows (emitToEveryWindow); later calls do nothing. The
// application's registration of its built-in plugins calls it at start-up.
void registerFSPlugin();
// Hands a page event to every window of the application (Window::emit to all its webviews).
void emitToEveryWindow(const std::string& event, const nlohmann::json& payload);

// True when a file can be created in the folder: an unnamed O_TMPFILE file, or, where the file
// system refuses those, a named one removed at once. Root passes wherever the file system is
// writable.
bool isDirectoryWritable(const std::string& path);

// Moves a file or folder (with its content) to the user's recycle bin. Throws
// std::runtime_error with the reason when it cannot; the item then stays where it was.
void moveToRecycleBin(const std::string& path);

// The function moveToRecycleBin calls. By default the platform layer's recycle bin; tests and
// the application may put another in its place. An empty function restores the default.
using RecycleBinMover = std::function<void(const std::string& path)>;
void setRecycleBinMover(RecycleBinMover mover);

}  // namespace zrk::plugin
