#include "desk/folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "desk/detail/codec.h"

namespace desk {

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string homeFolder() {
  std::string home = env("HOME");
  if (home.empty()) {
    struct passwd pw;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir) {
      home = found->pw_dir;
    }
  }
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home;
}

// An XDG base folder: the variable when it holds an absolute path, else home + fallback.
std::string baseFolder(const char* variable, const char* fallback) {
  std::string value = env(variable);
  if (!value.empty() && value[0] == '/') {
    while (value.size() > 1 && value.back() == '/') value.pop_back();
    return value;
  }
  const std::string home = homeFolder();
  return home.empty() ? std::string() : home + fallback;
}

// XDG_<NAME>_DIR from user-dirs.dirs: "$HOME/..." or an absolute path, in double quotes.
std::string userFolder(const char* name, const char* fallback) {
  const std::string home = homeFolder();
  const std::string config = baseFolder("XDG_CONFIG_HOME", "/.config");
  const std::string key = std::string("XDG_") + name + "_DIR";
  std::string result;
  if (!config.empty()) {
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
      size_t i = line.find_first_not_of(" \t");
      if (i == std::string::npos || line[i] == '#') continue;
      if (line.compare(i, key.size(), key) != 0) continue;
      i += key.size();
      if (i >= line.size() || line[i] != '=') continue;
      std::string value = line.substr(i + 1);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) {
        value.pop_back();
      }
      if (value.size() < 2 || value.front() != '"' || value.back() != '"') continue;
      value = value.substr(1, value.size() - 2);
      // The file's own escapes: \" \\ \$ \`.
      std::string unescaped;
      for (size_t k = 0; k < value.size(); ++k) {
        if (value[k] == '\\' && k + 1 < value.size()) ++k;
        unescaped.push_back(value[k]);
      }
      if (unescaped.rfind("$HOME", 0) == 0 && (unescaped.size() == 5 || unescaped[5] == '/')) {
        if (home.empty()) continue;
        result = home + unescaped.substr(5);
      } else if (!unescaped.empty() && unescaped[0] == '/') {
        result = unescaped;
      }
    }
  }
  if (result.empty() && !home.empty()) result = home + "/" + fallback;
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

}  // namespace

std::string knownFolderPath(const KNOWNFOLDERID& id) {
  switch (id.id) {
    case FOLDERID_RoamingAppData.id:
    case FOLDERID_LocalAppData.id:
      return baseFolder("XDG_DATA_HOME", "/.local/share");
    case FOLDERID_Fonts.id: {
      const std::string data = baseFolder("XDG_DATA_HOME", "/.local/share");
      return data.empty() ? data : data + "/fonts";
    }
    case FOLDERID_Profile.id: return homeFolder();
    case FOLDERID_Documents.id: return userFolder("DOCUMENTS", "Documents");
    case FOLDERID_Downloads.id: return userFolder("DOWNLOAD", "Downloads");
    case FOLDERID_Music.id: return userFolder("MUSIC", "Music");
    case FOLDERID_Pictures.id: return userFolder("PICTURES", "Pictures");
    case FOLDERID_Public.id: return userFolder("PUBLICSHARE", "Public");
    case FOLDERID_Videos.id: return userFolder("VIDEOS", "Videos");
    case FOLDERID_Desktop.id: return userFolder("DESKTOP", "Desktop");
    case FOLDERID_Templates.id: return userFolder("TEMPLATES", "Templates");
    default: return std::string();
  }
}

HRESULT SHGetKnownFolderPath(const KNOWNFOLDERID& id, DWORD, HANDLE, char16_t** path) {
  if (path == nullptr) return E_INVALIDARG;
  *path = nullptr;
  const std::string folder = knownFolderPath(id);
  if (folder.empty()) return E_FAIL;
  const std::u16string wide = detail::utf8ToUtf16(folder);
  auto* block = static_cast<char16_t*>(std::malloc((wide.size() + 1) * sizeof(char16_t)));
  if (block == nullptr) return E_OUTOFMEMORY;
  std::memcpy(block, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
  *path = block;
  return S_OK;
}

HRESULT SHGetFolderPathW(HWND, int csidl, HANDLE, DWORD, char16_t* path) {
  if (path == nullptr) return E_INVALIDARG;
  path[0] = 0;
  std::string folder;
  switch (csidl & 0xFF) {
    case CSIDL_APPDATA: folder = knownFolderPath(FOLDERID_RoamingAppData); break;
    case CSIDL_LOCAL_APPDATA: folder = knownFolderPath(FOLDERID_LocalAppData); break;
    case CSIDL_PERSONAL: folder = knownFolderPath(FOLDERID_Documents); break;
    default: return E_INVALIDARG;
  }
  const std::u16string wide = detail::utf8ToUtf16(folder);
  if (folder.empty() || wide.size() >= MAX_PATH) return E_FAIL;
  std::memcpy(path, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
  return S_OK;
}

void CoTaskMemFree(void* block) { std::free(block); }

std::string tempFolder() {
  std::string folder = env("TMPDIR");
  if (folder.empty() || folder[0] != '/') folder = "/tmp";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder != "/") folder.push_back('/');
  return folder;
}

DWORD GetTempPathW(DWORD size, char16_t* buffer) {
  const std::u16string wide = detail::utf8ToUtf16(tempFolder());
  if (buffer == nullptr || size <= wide.size()) return static_cast<DWORD>(wide.size() + 1);
  std::memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
  return static_cast<DWORD>(wide.size());
}

}  // namespace desk
