// The path plugin ("path"): the user's well-known folders, showing an item in the file manager, and
// path arithmetic (resolve, join, normalize, folder part, base name, extension, absolute test) on
// POSIX paths. Its page script publishes the separator "/" and the list delimiter ":".
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class PathPlugin : public Plugin {
  VESK_DECLARE_CLASS(PathPlugin, Plugin, "zrk::plugin")

 public:
  PathPlugin();

  // Defines window.__zrk_internals__.plugins.path = { sep: "/", delimiter: ":" }.
  std::string initScript() override;
  // Only the payload is used. A std::exception out of a command answers 400 with its text; an
  // unknown command gives an empty result.
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;
};

// Makes the one plugin and adds it to the plugin registry on the first call; later calls do
// nothing.
void registerPathPlugin();

namespace path {

// A parsed path. Both "/" and "\" separate; a leading separator makes the path absolute (a leading
// "//" is just "/"); there are no drives, no servers and no "~" expansion. Directory pieces are
// normalised as they are added ("." and empty pieces dropped, ".." taking the previous piece
// away, or kept at the start of a relative path); the name (after the last separator) stays as it
// is, even "." or "..".
struct PathForm {
  bool absolute = false;
  std::vector<std::string> directories;
  std::string name;
};

// Throws std::invalid_argument "Bad path syntax" for a text holding a NUL byte.
PathForm parse(const std::string& text);
// Pieces joined with "/", a leading "/" when absolute; a relative path without pieces is "".
std::string print(const PathForm& path);
// Appends b to a: a's name becomes a directory piece (by the rules above), then b's directory
// pieces follow as they are, and a takes b's name. b's absolute flag is ignored.
void append(PathForm& a, const PathForm& b);

// Opens the folder that holds the item (the folder itself for a path ending in a separator) in
// the file manager. Failures are not reported; an empty path does nothing.
void revealPath(const std::string& path);

}  // namespace path

}  // namespace zrk::plugin
