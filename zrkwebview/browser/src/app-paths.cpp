#include "zrkwebview/browser/src/app-paths.h"

#include <gio/gio.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "desk/registry.h"
#include "desk/sysinfo.h"
#include "desk/thread.h"
#include "vesk/log.h"
#include "vesk/utf.h"
#include "zrkwebview/browser/src/app.h"

namespace zrk {

namespace {

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
  return std::string();
}

std::string lastComponent(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string withoutLastComponent(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The version block of the executable, read into `block`; false (logged with `log`) when there
// is none or it cannot be read.
bool readVersionBlock(std::vector<unsigned char>& block, bool log) {
  std::u16string path = Vesk::utf::fromUtf8(desk::executablePath());
  desk::DWORD handle = 0;
  desk::DWORD size = desk::GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (size == 0) return false;
  block.assign(size, 0);
  if (!desk::GetFileVersionInfoW(path.c_str(), handle, size, block.data())) {
    if (log)
      ZRK_LOG_ERROR("Error getting version info: %lu\n",
                    static_cast<unsigned long>(desk::GetLastError()));
    return false;
  }
  return true;
}

// The session bus's address when one is running; never one that would start a bus.
std::string sessionBusAddress() {
  const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (env != nullptr) return env;  // set, even empty: that is the answer
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == 0) return {};
  std::string socketPath = std::string(runtime) + "/bus";
  struct stat st {};
  if (stat(socketPath.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return {};
  return "unix:path=" + socketPath;
}

std::optional<unsigned> unpackScheme(GVariant* value) {
  // Unwrap nested variants ("Read" answers v(v(u)), "ReadOne" v(u)).
  GVariant* inner = g_variant_ref(value);
  while (g_variant_is_of_type(inner, G_VARIANT_TYPE_VARIANT)) {
    GVariant* next = g_variant_get_variant(inner);
    g_variant_unref(inner);
    inner = next;
  }
  std::optional<unsigned> result;
  if (g_variant_is_of_type(inner, G_VARIANT_TYPE_UINT32)) result = g_variant_get_uint32(inner);
  g_variant_unref(inner);
  return result;
}

}  // namespace

std::string executableDirectory() { return withoutLastComponent(desk::executablePath()); }
std::string programDirectory() { return executableDirectory(); }

std::string executableName(bool fullPath) {
  std::string path = desk::executablePath();
  return fullPath ? path : lastComponent(path);
}

std::string dataDirectory() {
  std::string override = App::instance()->dataPath();
  if (!override.empty()) return override;
  std::string base;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    std::string home = homeDirectory();
    if (home.empty()) return "./";
    base = home + "/.local/share";
  }
  while (!base.empty() && base.back() == '/') base.pop_back();
  std::string identifier = versionString("Identifier", false);
  return base + "/" + (identifier.empty() ? std::string("zrk") : identifier) + "/";
}

std::string versionString(const std::string& key, bool logFailures) {
  std::vector<unsigned char> block;
  if (!readVersionBlock(block, logFailures)) return {};
  void* value = nullptr;
  desk::UINT length = 0;
  if (!desk::VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &value, &length) ||
      value == nullptr || length < 4) {
    if (logFailures)
      ZRK_LOG_ERROR("Error querying translation: %lu\n",
                    static_cast<unsigned long>(desk::GetLastError()));
    return {};
  }
  uint16_t pair[2];
  std::memcpy(pair, value, sizeof(pair));
  char query[256];
  std::snprintf(query, sizeof(query), "\\StringFileInfo\\%04x%04x\\%s", pair[0], pair[1],
                key.c_str());
  std::u16string wideQuery = Vesk::utf::fromUtf8(query);
  value = nullptr;
  length = 0;
  if (!desk::VerQueryValueW(block.data(), wideQuery.c_str(), &value, &length) || length == 0 ||
      value == nullptr)
    return {};
  std::u16string text(static_cast<const char16_t*>(value), length);
  while (!text.empty() && text.back() == 0) text.pop_back();
  return Vesk::utf::toUtf8(text);
}

std::string productName() { return versionString("ProductName", true); }

std::string fileVersion() {
  std::vector<unsigned char> block;
  if (!readVersionBlock(block, true)) return {};
  void* value = nullptr;
  desk::UINT length = 0;
  if (!desk::VerQueryValueW(block.data(), u"\\", &value, &length) || value == nullptr) return {};
  desk::VS_FIXEDFILEINFO info;
  std::memcpy(&info, value, sizeof(info));
  char text[64];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", info.dwFileVersionMS >> 16,
                info.dwFileVersionMS & 0xFFFF, info.dwFileVersionLS >> 16,
                info.dwFileVersionLS & 0xFFFF);
  return text;
}

std::optional<unsigned> desktopColorScheme() {
  std::string address = sessionBusAddress();
  if (address.empty()) return std::nullopt;
  GError* error = nullptr;
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (bus == nullptr) {
    g_clear_error(&error);
    return std::nullopt;
  }
  std::optional<unsigned> scheme;
  for (const char* method : {"ReadOne", "Read"}) {
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "org.freedesktop.portal.Settings", method,
        g_variant_new("(ss)", "org.freedesktop.appearance", "color-scheme"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, 1000, nullptr, &error);
    g_clear_error(&error);
    if (reply == nullptr) continue;
    GVariant* value = g_variant_get_child_value(reply, 0);
    scheme = unpackScheme(value);
    g_variant_unref(value);
    g_variant_unref(reply);
    if (scheme) break;
  }
  g_dbus_connection_close_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
  return scheme;
}

bool isSystemDarkTheme() {
  if (auto scheme = desktopColorScheme()) return *scheme == 1;
  desk::HKEY key = nullptr;
  if (desk::RegOpenKeyW(desk::HKEY_CURRENT_USER,
                        u"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize",
                        &key) != desk::ERROR_SUCCESS)
    return false;
  unsigned char data[4] = {0, 0, 0, 0};
  desk::DWORD size = sizeof(data);
  desk::LSTATUS status = desk::RegQueryValueExW(key, u"AppsUseLightTheme", nullptr, nullptr, data,
                                                &size);
  desk::RegCloseKey(key);
  if (status != desk::ERROR_SUCCESS) return false;
  uint32_t light = static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
                   (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
  return light == 0;
}

std::vector<std::string> arguments() {
  std::vector<std::string> result;
  for (const std::string& argument : desk::commandLineArguments()) {
    std::u16string check;
    if (Vesk::utf::utf8ToUtf16(argument, check, Vesk::utf::Policy::Strict))
      result.push_back(argument);
    else
      result.emplace_back();
  }
  return result;
}

}  // namespace zrk
