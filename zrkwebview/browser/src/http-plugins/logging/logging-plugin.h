// The logging plugin ("logging"): pages write messages into the program's log, under a level and
// optionally a category of their own, and change the log's file, rotation, writing mode, time zone
// and threshold for every writer of the process.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace http {
class HttpResponse;
}

namespace zrk::plugin {

class LoggingPlugin : public Plugin {
  VESK_DECLARE_CLASS(LoggingPlugin, Plugin, "zrk::plugin")

 public:
  // Each category a page names makes a logger that lives for the rest of the process, so pages
  // get at most this many categories of at most this many bytes. A record under any other
  // category goes to the framework's logger with the category at the front of its text.
  static constexpr size_t kMaxCategories = 64;
  static constexpr size_t kMaxCategoryLength = 64;

  LoggingPlugin();
  ~LoggingPlugin() override = default;

  // Runs "log", "config" or "setlevel"; empty for any other name. Whatever a command throws
  // becomes 400 with its text.
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  // {message, category, level}: writes the message (percent-decoded when it holds "%") as text,
  // at the level (0 unless given) and under the category's logger (the framework's without one).
  // 400 "Invalid payload, missing message." without a text message; 400 "Bad URI syntax" for a
  // "%" that does not start an escape.
  static std::shared_ptr<http::HttpResponse> log(const nlohmann::json& body);
  // {file, rotate, async, utc}: the log goes to that file from now on. A path that is empty or
  // cannot be opened for appending keeps the previous file (and says so with a warning).
  static std::shared_ptr<http::HttpResponse> config(const nlohmann::json& body);
  // {level}: the threshold (5 unless given).
  static std::shared_ptr<http::HttpResponse> setlevel(const nlohmann::json& body);
};

// Makes and registers the plugin once per process.
void registerLoggingPlugin();

}  // namespace zrk::plugin
