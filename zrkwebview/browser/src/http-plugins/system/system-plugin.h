// The system plugin ("system"): facts about the machine for pages (a fresh UUID, a system record
// with the machine identifier, the installed font families) and a way to run a program or open a
// document or address with its application.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class SystemPlugin : public Plugin {
  VESK_DECLARE_CLASS(SystemPlugin, Plugin, "zrk::plugin")

 public:
  SystemPlugin() = default;
  ~SystemPlugin() override = default;

  // Empty without a webview or a request, and for a command the plugin does not have. A
  // std::exception out of a command answers 400 with its what().
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  static std::shared_ptr<http::HttpResponse> uuid(const nlohmann::json& payload, SystemPlugin*);
  static std::shared_ptr<http::HttpResponse> getSysInfo(const nlohmann::json& payload, SystemPlugin*);
  static std::shared_ptr<http::HttpResponse> listFontfamilies(const nlohmann::json& payload, SystemPlugin*);
  static std::shared_ptr<http::HttpResponse> execute(const nlohmann::json& payload, SystemPlugin*);
  static std::shared_ptr<http::HttpResponse> openSystemPreferencesPanel(const nlohmann::json& payload, SystemPlugin*);
  static std::shared_ptr<http::HttpResponse> executeOsascript(const nlohmann::json& payload, SystemPlugin*);
};

void registerSystemPlugin();

// The system record of "get_sys_info".
nlohmann::json buildSystemInfo();
// "x64", "arm64", "x86", "arm32" or "unknown": the machine's (native) or this build's.
std::string architectureName(bool native);
// The name of uname's machine text ("x86_64" gives "x64").
std::string architectureNameFor(const std::string& machine);
// The locale record of a BCP 47 tag; the empty tag (no locale, "C", "POSIX") gives the fixed
// English record.
nlohmann::json localeRecord(const std::string& tag);
// The font families, or null when there are none.
nlohmann::json listFontFamilies();

// Splits parameters into words as a POSIX shell does (blanks separate; single quotes, double quotes
// and backslashes quote), without running a shell or expanding anything. Throws
// std::runtime_error for an unterminated quote.
std::vector<std::string> splitShellWords(const std::string& text);

// Runs a program or opens a document, address or folder ("execute"): the reply's integer. With
// "sync" it is the program's exit status (128 + the signal when a signal ended it) or an error
// code (2 missing, 3 working folder missing, 5 not allowed, 1155 no association); without it a
// value above 32 when the request was handed on, else 2, 3, 5 or 31.
int32_t runShellCommand(const std::string& cmd, const std::string& args,
                        const nlohmann::json& options);

}  // namespace zrk::plugin
