#include "zrkwebview/browser/src/http-plugins/app/app-plugin.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/sysinfo.h"
#include "vesk/log.h"
#include "vesk/tstring.h"
#include "vesk/utf.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http-plugins/window/plugin-replies.h"

namespace zrk {

namespace {

// Room for the longest path the system gives out.
constexpr desk::DWORD kPathCapacity = 32768;

}  // namespace

void withVersionBlock(const std::function<void(const void* block)>& callback) {
  std::vector<char16_t> path(kPathCapacity, u'\0');
  if (desk::GetModuleFileNameW(nullptr, path.data(), kPathCapacity) == 0) return;
  desk::DWORD handle = 0;
  const desk::DWORD size = desk::GetFileVersionInfoSizeW(path.data(), &handle);
  if (size == 0) {
    callback(nullptr);
    return;
  }
  std::vector<unsigned char> block(size, 0);
  if (!desk::GetFileVersionInfoW(path.data(), handle, size, block.data())) {
    std::string reason;
    try {
      reason = Vesk::TString::fromSystemError(0).utf8String();
    } catch (const std::exception&) {
      reason = "unreadable version information";
    }
    ZRK_LOG_WARN("%s", reason.c_str());
    callback(nullptr);
    return;
  }
  callback(block.data());
}

void forEachVersionTranslation(
    const void* block,
    const std::function<bool(const void* block, uint16_t language, uint16_t codePage)>& callback) {
  void* value = nullptr;
  desk::UINT length = 0;
  if (block == nullptr ||
      !desk::VerQueryValueW(block, u"\\VarFileInfo\\Translation", &value, &length) ||
      value == nullptr) {
    callback(nullptr, 0, 0);
    return;
  }
  const auto* bytes = static_cast<const unsigned char*>(value);
  for (desk::UINT i = 0; i + 4 <= length; i += 4) {
    uint16_t pair[2];
    std::memcpy(pair, bytes + i, sizeof(pair));
    if (!callback(block, pair[0], pair[1])) return;
  }
}

bool queryVersionString(const void* block, const std::string& path, std::string& out) {
  const std::u16string widePath = Vesk::utf::fromUtf8(path);
  void* value = nullptr;
  desk::UINT length = 0;
  if (block == nullptr || !desk::VerQueryValueW(block, widePath.c_str(), &value, &length)) {
    return false;
  }
  // The length counts the terminator; an entry of length 0 holds nothing at all.
  std::string text;
  if (value != nullptr && length > 1) {
    if (!Vesk::utf::utf16ToUtf8(std::u16string_view(static_cast<const char16_t*>(value), length - 1),
                                text, Vesk::utf::Policy::Strict)) {
      text.clear();
    }
  }
  out = std::move(text);
  return true;
}

std::string readVersionString(const std::string& key) {
  std::string result;
  withVersionBlock([&](const void* block) {
    forEachVersionTranslation(block, [&](const void* b, uint16_t language, uint16_t codePage) {
      if (b != nullptr) {
        char digits[9];
        std::snprintf(digits, sizeof(digits), "%04x%04x", language, codePage);
        queryVersionString(b, std::string("\\StringFileInfo\\") + digits + "\\" + key, result);
      }
      return false;  // only the first translation counts
    });
  });
  return result;
}

std::string readVersionIdentifier() { return readVersionString("Identifier"); }

}  // namespace zrk

namespace zrk::plugin {

namespace {

using json = nlohmann::json;
using Reply = std::shared_ptr<http::HttpResponse>;

// A JSON number as 32 bits: the low 32 bits of its whole part (a fraction cut off); empty for
// anything that is not a number, or a floating-point one beyond 64 bits.
std::optional<uint32_t> lowBitsOf(const json* m) {
  if (m == nullptr || !m->is_number()) return std::nullopt;
  if (m->is_number_unsigned()) return static_cast<uint32_t>(m->get<uint64_t>());
  if (m->is_number_integer()) return static_cast<uint32_t>(static_cast<uint64_t>(m->get<int64_t>()));
  const double d = std::trunc(m->get<double>());
  if (!(d > -9223372036854775808.0 && d < 9223372036854775808.0)) return std::nullopt;
  return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(d)));
}

// A delay in milliseconds: a fraction cut off, a negative number 0, one beyond 32 bits the
// largest; 0 for anything that is not a number.
uint32_t delayOf(const json& body) {
  const json* m = payload::member(body, "delay");
  if (m == nullptr || !m->is_number()) return 0;
  if (m->is_number_unsigned()) {
    const uint64_t v = m->get<uint64_t>();
    return v > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                    : static_cast<uint32_t>(v);
  }
  const double d = m->is_number_integer() ? static_cast<double>(m->get<int64_t>())
                                          : std::trunc(m->get<double>());
  if (std::isnan(d) || d <= 0) return 0;
  if (d >= 4294967295.0) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(d);
}

Reply textReply(std::string text) { return replies::text(std::move(text)); }

}  // namespace

AppPlugin::AppPlugin() {
  name_ = "app";
  description_ = "app plugin";
  version_ = "1.0.0";
}

std::string AppPlugin::appName() const { return readVersionString("ProductName"); }

std::string AppPlugin::appVersion() const {
  std::string version = readVersionString("ProductVersion");
  return version.empty() ? appBundleVersion() : version;
}

std::string AppPlugin::appBundleVersion() const {
  std::string result;
  withVersionBlock([&](const void* block) {
    result = "1.0.0.";
    void* value = nullptr;
    desk::UINT length = 0;
    if (block == nullptr || !desk::VerQueryValueW(block, u"\\", &value, &length) ||
        value == nullptr || length < sizeof(desk::VS_FIXEDFILEINFO)) {
      return;
    }
    desk::VS_FIXEDFILEINFO info;
    std::memcpy(&info, value, sizeof(info));
    result = std::to_string(info.dwFileVersionMS >> 16) + "." +
             std::to_string(info.dwFileVersionMS & 0xFFFF) + "." +
             std::to_string(info.dwFileVersionLS >> 16) + "." +
             std::to_string(info.dwFileVersionLS & 0xFFFF);
  });
  return result;
}

std::string AppPlugin::appCompany() const { return readVersionString("Company"); }
std::string AppPlugin::appCopyright() const { return readVersionString("LegalCopyright"); }
std::string AppPlugin::appEmail() const { return readVersionString("Email"); }
std::string AppPlugin::appWebsite() const { return readVersionString("Website"); }
std::string AppPlugin::appIdentifier() const { return readVersionIdentifier(); }
std::string AppPlugin::frameworkVersion() const { return "1.0.0"; }

Reply AppPlugin::quit(const json& body) {
  App::instance()->quit(delayOf(body));
  return replies::ok();
}

Reply AppPlugin::setDialogAttributes(const json& body) {
  if (!body.is_object()) return replies::ok();
  DialogAttributes record = dialogAttributes();
  if (const json* m = payload::member(body, "fontFace"); m != nullptr && m->is_string()) {
    record.fontFace = m->get<std::string>();
  }
  if (auto size = lowBitsOf(payload::member(body, "fontSize"))) {
    record.fontSize = static_cast<uint16_t>(*size & 0xFFFF);
  }
  const std::pair<const char*, std::optional<uint32_t>*> colours[] = {
      {"textColor", &record.textColor},
      {"backgroundColor", &record.backgroundColor},
      {"borderColor", &record.borderColor},
      {"controlBackgroundColor", &record.controlBackgroundColor},
      {"controlTextColor", &record.controlTextColor},
      {"controlBorderColor", &record.controlBorderColor},
  };
  for (const auto& [key, field] : colours) {
    const json* m = payload::member(body, key);
    if (m == nullptr) continue;
    *field = lowBitsOf(m);  // another type clears the colour
  }
  if (auto duration = lowBitsOf(payload::member(body, "animationDuration"))) {
    record.animationDuration = *duration;
  }
  zrk::setDialogAttributes(record);
  return replies::ok();
}

Reply AppPlugin::addHostLocation(const json& body) {
  const std::string location = payload::stringOr(body, "location");
  const std::string path = payload::stringOr(body, "path");
  if (location.empty() || path.empty()) return replies::error(400, "Missing location or path.");
  zrk::addHostLocation(location, path);
  return replies::ok();
}

std::shared_ptr<Vesk::TObject> AppPlugin::invoke(const std::string& command, zrk::Webview* webview,
                                                 http::HttpResponseConnection* connection,
                                                 http::HttpRequest* request, const json& body) {
  (void)connection;
  auto reader = [this](std::string (AppPlugin::*read)() const) -> CommandHandler {
    return [this, read](const json&, zrk::Webview*, http::HttpRequest*) {
      return textReply((this->*read)());
    };
  };
  const CommandTable table{
      {"version", reader(&AppPlugin::appVersion)},
      {"bundle_version", reader(&AppPlugin::appBundleVersion)},
      {"name", reader(&AppPlugin::appName)},
      {"zrk_version", reader(&AppPlugin::frameworkVersion)},
      {"identifier", reader(&AppPlugin::appIdentifier)},
      {"company", reader(&AppPlugin::appCompany)},
      {"url", reader(&AppPlugin::appWebsite)},
      {"email", reader(&AppPlugin::appEmail)},
      {"copyright", reader(&AppPlugin::appCopyright)},
      {"quit", [](const json& b, zrk::Webview*, http::HttpRequest*) { return quit(b); }},
      {"get_args", [](const json&, zrk::Webview*, http::HttpRequest*) {
         return replies::json(App::instance()->arguments());
       }},
      {"set_dialog_attributes", [](const json& b, zrk::Webview*, http::HttpRequest*) {
         return setDialogAttributes(b);
       }},
      {"add_host_location", [](const json& b, zrk::Webview*, http::HttpRequest*) {
         return addHostLocation(b);
       }},
  };
  return runCommand(table, command, body, webview, request);
}

void registerAppPlugin() { registerPluginOnce<AppPlugin>(); }

}  // namespace zrk::plugin
