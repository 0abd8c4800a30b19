#include "zrkwebview/browser/src/http-plugins/fs/fs-plugin.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

#include <Poco/Exception.h>
#include <nlohmann/json.hpp>

#include "desk/shell.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-support.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-watch.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk::plugin {

namespace fs {

std::string readRequestBody(http::HttpRequest* request) {
  std::string body;
  if (request == nullptr) return body;
  constexpr size_t kPiece = 64 * 1024;
  for (;;) {
    std::string piece = request->read(kPiece);
    if (piece.empty()) break;
    body += piece;
  }
  return body;
}

const std::string& checkedPath(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw std::invalid_argument("Invalid path: it holds a NUL character.");
  }
  return path;
}

void throwFileError(const std::string& path, int error) {
  switch (error) {
    case EISDIR:
      throw Poco::FileException("is a directory", path, error);
    case EROFS:
      throw Poco::FileReadOnlyException(path, error);
    case EACCES:
    case EPERM:
      throw Poco::FileAccessDeniedException(path, error);
    case ENOENT:
      throw Poco::FileNotFoundException(path, error);
    case ENOTDIR:
      throw Poco::OpenFileException("not a directory", path, error);
    case EEXIST:
      throw Poco::FileExistsException(path, error);
    case ENOTEMPTY:
      throw Poco::DirectoryNotEmptyException(path, error);
    case ENAMETOOLONG:
      throw Poco::PathSyntaxException(path, error);
    case ENFILE:
    case EMFILE:
      throw Poco::FileException("too many open files", path, error);
    default:
      throw Poco::FileException(systemErrorText(error), path, error);
  }
}

std::string libraryErrorText(const std::exception& e) {
  if (const auto* poco = dynamic_cast<const Poco::Exception*>(&e)) {
    return std::string(poco->name()) + " (" + poco->message() + ")";
  }
  return e.what();
}

std::string systemErrorText(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be in the buffer.
  return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace fs

using fs::json;

FSPlugin::FSPlugin() {
  setName("fs");
  setVersion("1.0");
  setDescription("file system");
}

std::shared_ptr<Vesk::TObject> FSPlugin::invoke(const std::string& command, zrk::Webview* webview,
                                                http::HttpResponseConnection* connection,
                                                http::HttpRequest* request,
                                                const nlohmann::json& payload) {
  (void)webview;
  (void)connection;
  const uint64_t rid = fs::numberOr<uint64_t>(payload, "rid", 0);
  const std::map<std::string, Handler> table{
      {"read", &FSPlugin::read},
      {"seek", &FSPlugin::seek},
      {"write", &FSPlugin::write},
      {"open", &FSPlugin::open},
      {"close", &FSPlugin::close},
      {"write_file", &FSPlugin::writeFile},
      {"exists", &FSPlugin::exists},
      {"realpath", &FSPlugin::realpath},
      {"stat", &FSPlugin::stat},
      {"move", &FSPlugin::move},
      {"rename", &FSPlugin::rename},
      {"copy_file", &FSPlugin::copyFile},
      {"remove", &FSPlugin::remove},
      {"read_file", &FSPlugin::readFile},
      {"read_dir", &FSPlugin::readDir},
      {"mkdir", &FSPlugin::mkdir},
      {"readline_open", &FSPlugin::readlineOpen},
      {"readline_next", &FSPlugin::readlineNext},
      {"readline_close", &FSPlugin::readlineClose},
      {"read_n_lines", &FSPlugin::readNLines},
      {"watch", &FSPlugin::watch},
      {"is_watched", &FSPlugin::isWatched},
      {"unwatch", &FSPlugin::unwatch},
      {"unwatch_all", &FSPlugin::unwatchAll},
      {"watched_directories", &FSPlugin::watchedDirectories},
      {"digest", &FSPlugin::digest},
      {"set_readonly", &FSPlugin::setReadonly},
      {"set_modification", &FSPlugin::setModification},
      {"create_link", &FSPlugin::createLink},
  };
  const auto it = table.find(command);
  if (it == table.end()) return nullptr;
  try {
    return it->second(payload, this, rid, request);
  } catch (const std::exception& e) {
    return fs::failure(e.what());
  }
}

void emitToEveryWindow(const std::string& event, const nlohmann::json& payload) {
  std::shared_ptr<App> app = App::instance();
  if (!app) return;
  app->forEachWindow([&](const std::shared_ptr<Window>& window) {
    if (window) window->emit(event, payload, "");
  });
}

void registerFSPlugin() {
  static const std::shared_ptr<FSPlugin> plugin = [] {
    auto made = std::make_shared<FSPlugin>();
    PluginRegistry::add(made);
    // Watch events go to the pages of every window.
    setDirectoryEventSink(&emitToEveryWindow);
    return made;
  }();
  (void)plugin;
}

bool isDirectoryWritable(const std::string& path) {
  if (path.find('\0') != std::string::npos) return false;
  const std::string folder = path.empty() ? std::string(".") : path;
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  // File systems without unnamed temporary files (overlays of older kernels) answer one of
  // these; a missing or forbidden folder answers otherwise.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  std::string name = folder + "/___test_write_" + std::to_string(::getpid()) + "_XXXXXX.tmp";
  const int named = ::mkostemps(name.data(), 4, O_CLOEXEC);
  if (named < 0) return false;
  ::unlink(name.c_str());
  ::close(named);
  return true;
}

namespace {

std::mutex& moverMutex() {
  static std::mutex mutex;
  return mutex;
}

RecycleBinMover& installedMover() {
  static RecycleBinMover mover;
  return mover;
}

// The freedesktop trash of the platform layer.
void platformRecycle(const std::string& path) {
  std::string error;
  if (!desk::moveToTrash(path, &error)) {
    throw std::runtime_error(error.empty() ? std::string("Cannot move to the trash: ") + path
                                           : error);
  }
}

}  // namespace

void setRecycleBinMover(RecycleBinMover mover) {
  std::lock_guard<std::mutex> lock(moverMutex());
  installedMover() = std::move(mover);
}

void moveToRecycleBin(const std::string& path) {
  RecycleBinMover mover;
  {
    std::lock_guard<std::mutex> lock(moverMutex());
    mover = installedMover();
  }
  if (mover) {
    mover(path);
  } else {
    platformRecycle(path);
  }
}

}  // namespace zrk::plugin
