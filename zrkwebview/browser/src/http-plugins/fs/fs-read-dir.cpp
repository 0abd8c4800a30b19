// "read_dir": one folder, or the whole tree below it, as an array of entry records.
#include "zrkwebview/browser/src/http-plugins/fs/fs-read-dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <Poco/Exception.h>
#include <nlohmann/json.hpp>

#include "vesk/log.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-plugin.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-support.h"

namespace zrk::plugin {

using namespace fs;
namespace stdfs = std::filesystem;

std::vector<std::string> splitPathComponents(const std::string& text) {
  std::vector<std::string> parts;
  std::string current;
  for (const char c : text) {
    if (c == '/' || c == '\\') {
      if (!current.empty()) parts.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(std::move(current));
  return parts;
}

std::vector<std::string> normalizePathComponents(const std::vector<std::string>& components) {
  std::vector<std::string> out;
  for (const auto& part : components) {
    if (part == ".") continue;
    if (part == "..") {
      if (!out.empty() && out.back() != "..") {
        out.pop_back();
      } else {
        out.push_back(part);
      }
      continue;
    }
    out.push_back(part);
  }
  return out;
}

bool matchComponent(const std::string& pattern, const std::string& text, bool caseSensitive) {
  auto same = [caseSensitive](char a, char b) {
    if (caseSensitive) return a == b;
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  };
  size_t p = 0, t = 0;
  size_t star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], text[t]))) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p;
      resume = t;
      ++p;
    } else if (star != std::string::npos) {
      ++resume;
      p = star + 1;
      t = resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool matchPathComponents(const std::vector<std::string>& pattern, size_t i,
                         const std::vector<std::string>& path, size_t j, bool caseSensitive) {
  while (i < pattern.size()) {
    if (pattern[i] == "**") {
      for (size_t k = j; k <= path.size(); ++k) {
        if (matchPathComponents(pattern, i + 1, path, k, caseSensitive)) return true;
      }
      return false;
    }
    if (j == path.size()) return false;
    if (!matchComponent(pattern[i], path[j], caseSensitive)) return false;
    ++i;
    ++j;
  }
  return j == path.size();
}

bool matchAnyFolderFilter(const std::string& path, const std::vector<std::string>& filters,
                          bool caseSensitive) {
  const auto pathParts = normalizePathComponents(splitPathComponents(path));
  for (const auto& filter : filters) {
    const auto patternParts = normalizePathComponents(splitPathComponents(filter));
    if (matchPathComponents(patternParts, 0, pathParts, 0, caseSensitive)) return true;
  }
  return false;
}

namespace {

struct ReadDirOptions {
  bool recursive = false;
  bool includeFile = true;
  bool includeFolder = true;
  bool includePath = false;
  bool relativePath = false;
  bool caseSensitive = false;
  std::vector<std::string> extensions;  // ".jpg", lower-case
  std::vector<std::string> folderFilters;
};

std::string lowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

ReadDirOptions parseOptions(const json& payload) {
  const json& o = optionsOf(payload);
  ReadDirOptions options;
  options.recursive = boolOr(o, "recursive", false);
  options.includeFile = boolOr(o, "includeFile", true);
  options.includeFolder = boolOr(o, "includeFolder", true);
  options.includePath = boolOr(o, "includePath", false);
  options.relativePath = boolOr(o, "relativePath", false);
  options.caseSensitive = boolOr(o, "caseSensitive", false);
  if (const json* list = member(o, "extensions"); list != nullptr && list->is_array()) {
    for (const auto& item : *list) {
      if (!item.is_string()) continue;
      std::string extension = item.get<std::string>();
      if (extension.empty() || extension[0] != '.') extension = "." + extension;
      options.extensions.push_back(lowerAscii(std::move(extension)));
    }
  }
  if (const json* list = member(o, "folderFilters"); list != nullptr && list->is_array()) {
    for (const auto& item : *list) {
      if (item.is_string() && !item.get<std::string>().empty()) {
        options.folderFilters.push_back(item.get<std::string>());
      }
    }
  }
  return options;
}

// The extension as the standard path library defines it: from the last dot of the name, the
// dot included; none for a name whose only dot is its first character.
std::string extensionOf(const std::string& name) {
  if (name == "." || name == "..") return std::string();
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return std::string();
  return name.substr(dot);
}

bool extensionAccepted(const std::string& name, const ReadDirOptions& options) {
  if (options.extensions.empty()) return true;
  const std::string extension = lowerAscii(extensionOf(name));
  return std::find(options.extensions.begin(), options.extensions.end(), extension) !=
         options.extensions.end();
}

struct EntryFacts {
  bool isDirectory = false;
  bool isFile = false;
  bool isLink = false;
  uint64_t size = 0;
  uint64_t mtimeMs = 0;
  double btimeMs = 0;
};

// statx of the entry, links followed; `isLink` from the entry itself. Returns errno.
int entryFacts(int dirFd, const char* name, bool knownLink, bool typeUnknown, EntryFacts& facts) {
  struct statx info {};
  if (::statx(dirFd, name, AT_STATX_SYNC_AS_STAT, STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_BTIME,
              &info) != 0) {
    return errno;
  }
  facts.isDirectory = S_ISDIR(info.stx_mode);
  facts.isFile = S_ISREG(info.stx_mode);
  facts.size = info.stx_size;
  const int64_t mtimeMs =
      static_cast<int64_t>(info.stx_mtime.tv_sec) * 1000 + info.stx_mtime.tv_nsec / 1000000;
  facts.mtimeMs = mtimeMs < 0 ? 0 : static_cast<uint64_t>(mtimeMs);
  const auto& birth = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_mtime;
  const int64_t micros = static_cast<int64_t>(birth.tv_sec) * 1000000 + birth.tv_nsec / 1000;
  facts.btimeMs = static_cast<double>(micros) / 1000.0;
  facts.isLink = knownLink;
  if (typeUnknown) {
    struct stat own {};
    facts.isLink = ::fstatat(dirFd, name, &own, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(own.st_mode);
  }
  return 0;
}

// Appends a JSON string: plain ASCII is copied, anything else goes through the JSON library
// (bytes that are not UTF-8 become U+FFFD).
void appendJsonString(std::string& out, const std::string& text) {
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x20 && b < 0x80 && c != '"' && c != '\\';
  });
  if (plain) {
    out += '"';
    out += text;
    out += '"';
  } else {
    out += dumpJson(json(text));
  }
}

// Writes the records straight as JSON text, keys in the order the JSON library sorts them:
// one object of maps per entry costs more than the listing itself.
struct Lister {
  const std::string& base;
  const ReadDirOptions& options;
  std::string& out;  // the records, each followed by ","

  std::string written(const std::string& full) const {
    if (!options.relativePath || base.empty() || full.compare(0, base.size(), base) != 0) {
      return full;
    }
    size_t cut = base.size();
    if (cut < full.size() && full[cut] == '/' && base.back() != '/') ++cut;
    return full.substr(cut);
  }

  void record(const std::string& full, const std::string& name, const EntryFacts& facts,
              bool recursive) {
    const std::string shown = written(full);
    out += "{\"btime\":";
    out += dumpJson(json(facts.btimeMs));
    out += facts.isDirectory ? ",\"isDirectory\":true" : ",\"isDirectory\":false";
    out += facts.isFile ? ",\"isFile\":true" : ",\"isFile\":false";
    out += facts.isLink ? ",\"isSymblink\":true" : ",\"isSymblink\":false";
    out += ",\"mtime\":";
    out += std::to_string(facts.mtimeMs);
    out += ",\"name\":";
    appendJsonString(out, recursive && !options.includePath ? shown : name);
    if (options.includePath) {
      out += ",\"path\":";
      appendJsonString(out, shown);
    }
    if (!facts.isDirectory) {
      out += ",\"size\":";
      out += std::to_string(facts.size);
    }
    if (facts.isLink) {
      std::error_code error;
      const stdfs::path target = stdfs::read_symlink(full, error);
      if (error) throw stdfs::filesystem_error("read_symlink", full, error);
      out += ",\"symblinkTarget\":";
      appendJsonString(out, target.string());
    }
    out += "},";
  }
};

std::string joined(const std::string& folder, const char* name) {
  std::string full = folder;
  if (full.empty() || full.back() != '/') full += '/';
  full += name;
  return full;
}

bool isReadableDirectory(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    ZRK_LOG_DEBUG("Access error: %s", systemErrorText(errno).c_str());
    return false;
  }
  ::closedir(dir);
  return true;
}

// One subfolder of a recursive listing: the folder itself, then its tree in pre-order.
void listSubfolder(Lister& lister, const std::string& folder) {
  const ReadDirOptions& options = lister.options;
  if (!isReadableDirectory(folder)) return;
  std::string block;
  Lister local{lister.base, options, block};
  if (options.includeFolder) {
    EntryFacts facts;
    struct stat own {};
    const bool isLink = ::lstat(folder.c_str(), &own) == 0 && S_ISLNK(own.st_mode);
    if (entryFacts(AT_FDCWD, folder.c_str(), isLink, false, facts) == 0) {
      local.record(folder, stdfs::path(folder).filename().string(), facts, true);
    }
  }
  for (stdfs::recursive_directory_iterator it(folder), end; it != end; ++it) {
    const std::string full = it->path().string();
    const std::string name = it->path().filename().string();
    EntryFacts facts;
    const int error = entryFacts(AT_FDCWD, full.c_str(), it->is_symlink(), false, facts);
    if (error == ENOENT) continue;  // a broken link
    if (error != 0) {
      throw stdfs::filesystem_error("directory_entry::status", full,
                                    std::error_code(error, std::generic_category()));
    }
    if (options.includeFile && facts.isFile && extensionAccepted(name, options)) {
      local.record(full, name, facts, true);
    }
    if (options.includeFolder && facts.isDirectory &&
        !matchAnyFolderFilter(full, options.folderFilters, options.caseSensitive)) {
      local.record(full, name, facts, true);
    }
  }
  lister.out += block;
}

std::shared_ptr<http::HttpResponse> listFolder(const std::string& path,
                                               const ReadDirOptions& options) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG) {
      return failure("\"" + path + "\" not exists.");
    }
    throw stdfs::filesystem_error("exists", path, std::error_code(error, std::generic_category()));
  }
  if (!S_ISDIR(info.st_mode)) return failure("\"" + path + "\" is not directory.");

  std::string out = "[";
  Lister lister{path, options, out};
  std::vector<std::string> pending;
  {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
      throw stdfs::filesystem_error("directory_iterator::directory_iterator", path,
                                    std::error_code(errno, std::generic_category()));
    }
    std::unique_ptr<DIR, int (*)(DIR*)> guard(dir, &::closedir);
    const int dirFd = ::dirfd(dir);
    for (;;) {
      errno = 0;
      const dirent* item = ::readdir(dir);
      if (item == nullptr) break;
      const char* name = item->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      EntryFacts facts;
      const int error = entryFacts(dirFd, name, item->d_type == DT_LNK, item->d_type == DT_UNKNOWN,
                                   facts);
      if (error == ENOENT) continue;  // a broken link
      if (error != 0) {
        throw stdfs::filesystem_error("directory_entry::status", joined(path, name),
                                      std::error_code(error, std::generic_category()));
      }
      if (facts.isDirectory) {
        const std::string full = joined(path, name);
        if (matchAnyFolderFilter(full, options.folderFilters, options.caseSensitive)) continue;
        if (options.recursive) {
          pending.push_back(full);
        } else if (options.includeFolder) {
          lister.record(full, name, facts, false);
        }
      } else if (facts.isFile && options.includeFile && extensionAccepted(name, options)) {
        lister.record(joined(path, name), name, facts, options.recursive);
      }
    }
    if (errno != 0) {
      throw stdfs::filesystem_error("directory_iterator::operator++", path,
                                    std::error_code(errno, std::generic_category()));
    }
  }
  // Every top-level file first, then each subfolder's block in the order the folders came.
  for (const auto& folder : pending) listSubfolder(lister, folder);
  if (out.back() == ',') out.pop_back();
  out += ']';
  return jsonReply(std::move(out));
}

}  // namespace

std::shared_ptr<http::HttpResponse> FSPlugin::readDir(const json& payload, FSPlugin*, uint64_t,
                                                      http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return failure("Path not specified.");
  const ReadDirOptions options = parseOptions(payload);
  try {
    checkedPath(path);
    return listFolder(path, options);
  } catch (const std::exception& e) {
    return failure(libraryErrorText(e));
  }
}

}  // namespace zrk::plugin
