#include "zrkwebview/browser/src/http-plugins/path/path-plugin.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "desk/folders.h"
#include "desk/shell.h"
#include "desk/detail/codec.h"
#include "desk/window.h"
#include "vesk/strings.h"
#include "zrkwebview/browser/src/app-paths.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-support.h"

namespace zrk::plugin {

namespace path {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// Adds one directory piece under the normalising rules.
void pushDirectory(PathForm& path, const std::string& piece) {
  if (piece.empty() || piece == ".") return;
  if (piece == "..") {
    if (!path.directories.empty() && path.directories.back() != "..") {
      path.directories.pop_back();
    } else if (!path.absolute) {
      path.directories.push_back(piece);
    }
    return;
  }
  path.directories.push_back(piece);
}

}  // namespace

PathForm parse(const std::string& text) {
  if (text.find('\0') != std::string::npos) throw std::invalid_argument("Bad path syntax");
  PathForm path;
  if (text.empty()) return path;
  path.absolute = isSeparator(text[0]);
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (isSeparator(text[i])) {
      pushDirectory(path, text.substr(start, i - start));
      start = i + 1;
    }
  }
  path.name = text.substr(start);
  return path;
}

std::string print(const PathForm& path) {
  std::string out = path.absolute ? "/" : "";
  for (const std::string& piece : path.directories) {
    out += piece;
    out += '/';
  }
  out += path.name;
  return out;
}

void append(PathForm& a, const PathForm& b) {
  pushDirectory(a, a.name);
  a.directories.insert(a.directories.end(), b.directories.begin(), b.directories.end());
  a.name = b.name;
}

void revealPath(const std::string& path) {
  if (path.empty()) return;
  const std::u16string wide = desk::detail::utf8ToUtf16(path);
  if (!isSeparator(path.back())) {
    desk::ITEMIDLIST* list = nullptr;
    if (desk::SHParseDisplayName(wide.c_str(), nullptr, &list, 0, nullptr) >= 0 && list) {
      desk::SHOpenFolderAndSelectItems(list, 0, nullptr, 0);
      desk::ILFree(list);
      return;
    }
  }
  const auto opened = [](const std::u16string& target) {
    const auto result = desk::ShellExecuteW(nullptr, u"explore", target.c_str(), nullptr, nullptr,
                                            desk::SW_SHOWNORMAL);
    return reinterpret_cast<intptr_t>(result) > 32;
  };
  if (opened(wide)) return;
  // The folder the item would be in.
  const size_t slash = path.find_last_of('/');
  const std::string parent = slash == std::string::npos ? std::string() : path.substr(0, slash);
  opened(desk::detail::utf8ToUtf16(parent));
}

}  // namespace path

namespace {

using fs::json;
using path::PathForm;

// The path argument: the payload's "path" when it is a string, else "".
std::string pathArgument(const json& payload) { return fs::stringOr(payload, "path"); }

std::shared_ptr<http::HttpResponse> plain(std::string text) { return fs::textReply(std::move(text)); }

std::string withoutTrailingSlash(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

// The current folder as a directory (its last piece a directory piece, not a name).
PathForm currentFolder() {
  std::string buffer(PATH_MAX, '\0');
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    throw std::runtime_error(std::string("Cannot get current directory: ") + std::strerror(errno));
  }
  buffer.resize(std::strlen(buffer.c_str()));
  return path::parse(buffer + "/");
}

// The "directory" member as a 32-bit id: integers keep their low 32 bits, fractions are dropped,
// booleans are 0 and 1; values that are not finite or too large for any integer are 0 (no
// entry). Other types raise the JSON library's own type error.
int32_t directoryId(const json& value) {
  if (value.is_number_unsigned()) return static_cast<int32_t>(static_cast<uint32_t>(value.get<uint64_t>()));
  if (value.is_number_integer()) return static_cast<int32_t>(static_cast<uint32_t>(value.get<int64_t>()));
  if (value.is_number_float()) {
    const double d = std::trunc(value.get<double>());
    if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(d)));
  }
  return value.get<int32_t>();  // booleans; anything else throws the library's type error
}

// The folder of a directory id, or "" when the id has no entry or its folder is not known.
std::string folderOf(int32_t id) {
  const auto known = [](const desk::KNOWNFOLDERID& folder) { return desk::knownFolderPath(folder); };
  const auto appData = [] { return withoutTrailingSlash(zrk::dataDirectory()); };
  const auto programFolder = [] { return zrk::programDirectory(); };
  const std::map<int32_t, std::function<std::string()>> table{
      {1, [&] { return known(desk::FOLDERID_Music); }},
      {2, [&] { return known(desk::FOLDERID_Documents); }},
      {3, [&] { return known(desk::FOLDERID_Downloads); }},
      {4, [&] { return known(desk::FOLDERID_Pictures); }},
      {5, [&] { return known(desk::FOLDERID_Public); }},
      {6, [&] { return known(desk::FOLDERID_Videos); }},
      {7, [] { return path::print([] {
         PathForm folder = path::parse(zrk::executableDirectory() + "/");
         path::append(folder, path::parse("Resources"));
         return folder;
       }()); }},
      {8, [] { return withoutTrailingSlash(desk::tempFolder()); }},
      {9, [&] { return known(desk::FOLDERID_LocalAppData); }},
      {10, [&] { return known(desk::FOLDERID_RoamingAppData); }},
      {11, [&] { return known(desk::FOLDERID_RoamingAppData); }},
      {12, [&] { return known(desk::FOLDERID_LocalAppData); }},
      {13, appData},
      {14, appData},
      {15, appData},
      {16, appData},
      {17, appData},
      {18, [&] { return known(desk::FOLDERID_Desktop); }},
      {19, [] { return zrk::executableName(true); }},
      {20, programFolder},
      {21, [&] { return known(desk::FOLDERID_Fonts); }},
      {22, [&] { return known(desk::FOLDERID_Profile); }},
      {23, programFolder},
      {24, [&] { return known(desk::FOLDERID_Templates); }},
  };
  const auto it = table.find(id);
  return it == table.end() ? std::string() : it->second();
}

std::shared_ptr<http::HttpResponse> resolveDirectory(const json& payload) {
  if (!payload.is_object() || !payload.contains("directory")) {
    return fs::failure("Missing parameters.");
  }
  const int32_t id = directoryId(payload["directory"]);
  std::string folder = folderOf(id);
  if (folder.empty()) return fs::failure("Could not find path for (" + std::to_string(id) + ")");
  return plain(std::move(folder));
}

std::shared_ptr<http::HttpResponse> reveal(const json& payload) {
  const std::string text = pathArgument(payload);
  try {
    path::revealPath(text);
  } catch (...) {
    // Failures of the file manager are not reported.
  }
  return plain(text);
}

// The "paths" array, or nothing when it is missing or not an array.
const json* pathList(const json& payload) {
  const json* paths = fs::member(payload, "paths");
  return paths != nullptr && paths->is_array() ? paths : nullptr;
}

std::shared_ptr<http::HttpResponse> resolve(const json& payload) {
  const json* paths = pathList(payload);
  if (paths == nullptr) return fs::failure("Incorrect paths");
  // From the last element to the first, stopping at an absolute one: elements to its left are
  // never looked at.
  std::string joined;
  for (auto it = paths->rbegin(); it != paths->rend(); ++it) {
    if (!it->is_string()) return fs::failure("Incorrect paths");
    const PathForm element = path::parse(it->get<std::string>());
    if (!joined.empty()) joined.insert(joined.begin(), '/');
    joined.insert(0, path::print(element));
    if (element.absolute) break;
  }
  const PathForm relative = path::parse(joined);
  if (relative.absolute) return plain(path::print(relative));
  PathForm result = currentFolder();
  path::append(result, relative);
  return plain(path::print(result));
}

std::shared_ptr<http::HttpResponse> join(const json& payload) {
  const json* paths = pathList(payload);
  if (paths == nullptr) return fs::failure("Incorrect paths");
  PathForm result;
  for (const json& element : *paths) {
    if (!element.is_string()) return fs::failure("Incorrect paths");
    const PathForm next = path::parse(element.get<std::string>());
    if (next.absolute) {
      result = next;
    } else {
      path::append(result, next);
    }
  }
  return plain(path::print(result));
}

std::shared_ptr<http::HttpResponse> normalize(const json& payload) {
  return plain(path::print(path::parse(pathArgument(payload))));
}

std::shared_ptr<http::HttpResponse> dirname(const json& payload) {
  PathForm parsed = path::parse(pathArgument(payload));
  parsed.name.clear();
  return plain(path::print(parsed));
}

std::shared_ptr<http::HttpResponse> basename(const json& payload) {
  const std::string name = path::parse(pathArgument(payload)).name;
  const size_t dot = name.rfind('.');
  return plain(dot == std::string::npos || dot == 0 ? name : name.substr(0, dot));
}

std::shared_ptr<http::HttpResponse> extname(const json& payload) {
  const std::string name = path::parse(pathArgument(payload)).name;
  const size_t dot = name.rfind('.');
  return plain(dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1));
}

std::shared_ptr<http::HttpResponse> isAbsolute(const json& payload) {
  return fs::jsonReply(path::parse(pathArgument(payload)).absolute ? "true" : "false");
}

}  // namespace

PathPlugin::PathPlugin() {
  setName("path");
  setVersion("1.0");
  setDescription("common paths");
}

std::string PathPlugin::initScript() {
  std::string script =
      "Object.defineProperty(window.__zrk_internals__.plugins, 'path', { value: { sep: "
      "'PATH_SEPARATOR', delimiter: 'PATH_DELIMITER', } });";
  replaceAll(script, "PATH_SEPARATOR", "/");
  replaceAll(script, "PATH_DELIMITER", ":");
  return script;
}

std::shared_ptr<Vesk::TObject> PathPlugin::invoke(const std::string& command, zrk::Webview* webview,
                                                  http::HttpResponseConnection* connection,
                                                  http::HttpRequest* request,
                                                  const nlohmann::json& payload) {
  (void)webview;
  (void)connection;
  (void)request;
  using Command = std::shared_ptr<http::HttpResponse> (*)(const json&);
  const std::map<std::string, Command> table{
      {"resolve_directory", &resolveDirectory},
      {"reveal", &reveal},
      {"resolve", &resolve},
      {"normalize", &normalize},
      {"join", &join},
      {"dirname", &dirname},
      {"extname", &extname},
      {"basename", &basename},
      {"isAbsolute", &isAbsolute},
  };
  const auto it = table.find(command);
  if (it == table.end()) return nullptr;
  try {
    return it->second(payload);
  } catch (const std::exception& e) {
    return fs::failure(e.what());
  }
}

void registerPathPlugin() {
  registerPluginOnce<PathPlugin>();
}

}  // namespace zrk::plugin
