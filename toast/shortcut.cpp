#include "toast/shortcut.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "desk/sysinfo.h"
#include "vesk/strings.h"

namespace toast {

namespace {

constexpr const char* kGroup = "Desktop Entry";

std::string dataHome() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.local/share";
  return std::string();
}

// A value of the file format: backslash and the control characters escaped, so that no line
// break reaches the key, and a leading blank kept.
std::string escapeValue(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case ' ': out += i == 0 ? "\\s" : " "; break;
      default: out += c;
    }
  }
  return out;
}

// Writes the text beside the path and renames it into place.
bool writeAtomically(const std::string& path, const std::string& text) {
  const size_t slash = path.rfind('/');
  const std::string folder = path.substr(0, slash);
  if (g_mkdir_with_parents(folder.c_str(), 0700) != 0) return false;
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool written = done == text.size() && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  ::close(fd);
  if (!written || std::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

struct KeyFileDeleter {
  void operator()(GKeyFile* file) const { g_key_file_free(file); }
};

}  // namespace

std::string quoteExecArgument(const std::string& argument) {
  static const std::string kReserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string escaped;
  for (char c : argument) {
    if (c == '%') {
      escaped += "%%";
      continue;
    }
    if (c == '"' || c == '`' || c == '$' || c == '\\') escaped += '\\';
    escaped += c;
  }
  if (argument.empty() || argument.find_first_of(kReserved) != std::string::npos) {
    return "\"" + escaped + "\"";
  }
  return escaped;
}

std::string shortcutPath(const std::u16string& appName) {
  const std::string name = zrk::toUtf8(appName);
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    return std::string();
  }
  const std::string home = dataHome();
  if (home.empty()) return std::string();
  return home + "/applications/" + name + ".desktop";
}

HRESULT validateShortcut(const std::u16string& appName, const std::u16string& appUserModelId,
                         int32_t policy, bool& changed) {
  changed = false;
  const std::string path = shortcutPath(appName);
  struct stat info;
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return E_FAIL;

  const std::string id = zrk::toUtf8(appUserModelId);
  std::unique_ptr<GKeyFile, KeyFileDeleter> file(g_key_file_new());
  const bool parsed = g_key_file_load_from_file(file.get(), path.c_str(),
                                                static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS |
                                                                           G_KEY_FILE_KEEP_TRANSLATIONS),
                                                nullptr) &&
                      g_key_file_has_group(file.get(), kGroup);
  if (parsed) {
    gchar* stored = g_key_file_get_string(file.get(), kGroup, kAppUserModelIdKey, nullptr);
    const bool same = stored != nullptr && id == stored;
    g_free(stored);
    if (same) return S_OK;
  }
  if (policy != CheckAndCreate) return E_FAIL;
  changed = true;
  if (!parsed) return writeShortcut(appName, appUserModelId, policy);
  // Only the identity changes; everything else in the entry stays.
  g_key_file_set_string(file.get(), kGroup, kAppUserModelIdKey, id.c_str());
  gsize length = 0;
  gchar* data = g_key_file_to_data(file.get(), &length, nullptr);
  const std::string text = data != nullptr ? std::string(data, length) : std::string();
  g_free(data);
  return !text.empty() && writeAtomically(path, text) ? S_OK : E_FAIL;
}

HRESULT writeShortcut(const std::u16string& appName, const std::u16string& appUserModelId,
                      int32_t policy) {
  if (policy != CheckAndCreate) return E_FAIL;
  const std::string path = shortcutPath(appName);
  const std::string executable = desk::executablePath();
  if (path.empty() || executable.empty()) return E_FAIL;
  std::string text = "[Desktop Entry]\n";
  text += "Type=Application\n";
  text += "Name=" + escapeValue(zrk::toUtf8(appName)) + "\n";
  text += "Exec=" + escapeValue(quoteExecArgument(executable)) + "\n";
  text += "Path=" + escapeValue(folderOf(executable)) + "\n";
  text += std::string(kAppUserModelIdKey) + "=" + escapeValue(zrk::toUtf8(appUserModelId)) + "\n";
  return writeAtomically(path, text) ? S_OK : E_FAIL;
}

}  // namespace toast
