#include "zrkwebview/browser/src/http-plugins/logging/logging-plugin.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

#include <Poco/URI.h>
#include <nlohmann/json.hpp>

#include "vesk/log.h"
#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http-plugins/window/plugin-replies.h"

namespace zrk::plugin {

namespace {

using json = nlohmann::json;
using Reply = std::shared_ptr<http::HttpResponse>;

// The low 32 bits of a JSON number's whole part (a fraction cut off); empty for anything that is
// not a number. A floating-point number beyond 64 bits gives the nearest end of the 32-bit range.
std::optional<uint32_t> lowBitsOf(const json& body, const char* key) {
  const json* m = payload::member(body, key);
  if (m == nullptr || !m->is_number()) return std::nullopt;
  if (m->is_number_unsigned()) return static_cast<uint32_t>(m->get<uint64_t>());
  if (m->is_number_integer()) return static_cast<uint32_t>(static_cast<uint64_t>(m->get<int64_t>()));
  const double d = std::trunc(m->get<double>());
  if (std::isnan(d)) return 0u;
  if (d >= 9223372036854775808.0) return 0x7FFFFFFFu;
  if (d < -9223372036854775808.0) return 0x80000000u;
  return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(d)));
}

int32_t levelOf(const json& body, int32_t fallback) {
  auto bits = lowBitsOf(body, "level");
  return bits ? static_cast<int32_t>(*bits) : fallback;
}

// The categories pages have used, which are the loggers made for them.
struct Categories {
  std::mutex mutex;
  std::set<std::string> names;
};
Categories& pageCategories() {
  static Categories categories;
  return categories;
}

// Whether the category may have (or already has) a logger of its own.
bool admitCategory(const std::string& category) {
  Categories& c = pageCategories();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (c.names.count(category) != 0) return true;
  if (category.size() > LoggingPlugin::kMaxCategoryLength ||
      c.names.size() >= LoggingPlugin::kMaxCategories) {
    return false;
  }
  c.names.insert(category);
  return true;
}

}  // namespace

LoggingPlugin::LoggingPlugin() {
  name_ = "logging";
  description_ = "logging plugin";
  version_ = "1.0.0";
}

Reply LoggingPlugin::log(const json& body) {
  const std::string category = payload::stringOr(body, "category");
  const int32_t level = levelOf(body, 0);
  const json* m = payload::member(body, "message");
  if (m == nullptr || !m->is_string()) throw std::runtime_error("Invalid payload, missing message.");
  std::string message = m->get<std::string>();
  if (message.find('%') != std::string::npos) {
    std::string decoded;
    Poco::URI::decode(message, decoded, false);
    message = std::move(decoded);
  }
  if (message.empty()) return replies::ok();
  if (category.empty()) {
    zrk::log(nullptr, 0, level, "%s", message.c_str());
  } else if (admitCategory(category)) {
    zrk::logTo(category.c_str(), nullptr, 0, level, "%s", message.c_str());
  } else {
    zrk::log(nullptr, 0, level, "[%s] %s", category.c_str(), message.c_str());
  }
  return replies::ok();
}

Reply LoggingPlugin::config(const json& body) {
  const std::string file = payload::stringOr(body, "file");
  const uint32_t rotate = lowBitsOf(body, "rotate").value_or(0);
  const bool async = payload::boolOr(body, "async", false);
  const bool utc = payload::boolOr(body, "utc", false);
  // The file layer opens the file only for the first record; a file that cannot be opened would
  // silence the log of the whole process from then on.
  std::FILE* probe = file.empty() ? nullptr : std::fopen(file.c_str(), "a");
  if (probe == nullptr) {
    ZRK_LOG_WARN("the log stays where it is: cannot append to \"%s\"", file.c_str());
    return replies::ok();
  }
  std::fclose(probe);
  configureLogging(file, static_cast<int>(rotate), async, !utc);
  return replies::ok();
}

Reply LoggingPlugin::setlevel(const json& body) {
  setLogLevel(levelOf(body, 5));
  return replies::ok();
}

std::shared_ptr<Vesk::TObject> LoggingPlugin::invoke(const std::string& command,
                                                     zrk::Webview* webview,
                                                     http::HttpResponseConnection* connection,
                                                     http::HttpRequest* request,
                                                     const json& body) {
  (void)connection;
  const CommandTable table{
      {"log", [](const json& b, zrk::Webview*, http::HttpRequest*) { return log(b); }},
      {"config", [](const json& b, zrk::Webview*, http::HttpRequest*) { return config(b); }},
      {"setlevel", [](const json& b, zrk::Webview*, http::HttpRequest*) { return setlevel(b); }},
  };
  return runCommandOr400(table, command, body, webview, request);
}

void registerLoggingPlugin() { registerPluginOnce<LoggingPlugin>(); }

}  // namespace zrk::plugin
