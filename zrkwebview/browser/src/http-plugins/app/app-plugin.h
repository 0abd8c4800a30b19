// The app plugin ("app"): the application's identity as its version block holds it (name,
// versions, company, copyright, e-mail, web site, identifier), the framework's version, the
// command line, quitting, the look of the native dialogs and further static-file locations.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace http {
class HttpResponse;
}

namespace zrk {

// Hands the running executable's version block to `callback` once (null when the executable has
// none, or it cannot be read: the failure is logged as a warning). Nothing is called when the
// executable's path cannot be read. The block lives until the callback returns.
void withVersionBlock(const std::function<void(const void* block)>& callback);
// Calls `callback` with the block's translations ({language, code page}) in order until it
// returns false; once with (null, 0, 0) when there is no block or no translation table.
void forEachVersionTranslation(
    const void* block,
    const std::function<bool(const void* block, uint16_t language, uint16_t codePage)>& callback);
// Reads the string entry at `path` ("\StringFileInfo\llllcccc\Key") into `out`; false, `out`
// untouched, when the block lacks it. An entry that holds no text reads as empty.
bool queryVersionString(const void* block, const std::string& path, std::string& out);
// The string entry `key` of the first translation of the executable's version block; empty when
// any part of that is missing (the later translations are never consulted).
std::string readVersionString(const std::string& key);
// The entry "Identifier".
std::string readVersionIdentifier();

}  // namespace zrk

namespace zrk::plugin {

class AppPlugin : public Plugin {
  VESK_DECLARE_CLASS(AppPlugin, Plugin, "zrk::plugin")

 public:
  AppPlugin();
  ~AppPlugin() override = default;

  // Runs one of the thirteen commands; empty for any other name. Nothing is caught here.
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  // The version block's readers; each reads the block afresh.
  std::string appName() const;          // "ProductName"
  std::string appVersion() const;       // "ProductVersion", else appBundleVersion()
  std::string appBundleVersion() const;  // the file version "a.b.c.d"; "1.0.0." without one
  std::string appCompany() const;       // "Company"
  std::string appCopyright() const;     // "LegalCopyright"
  std::string appEmail() const;         // "Email"
  std::string appWebsite() const;       // "Website"
  std::string appIdentifier() const;    // "Identifier"
  std::string frameworkVersion() const;  // "1.0.0"

  // {delay}: the application ends its loop after max(delay, 1000) ms; a negative delay counts as
  // 0, one beyond 32 bits as the largest. 200 "OK" at once.
  static std::shared_ptr<http::HttpResponse> quit(const nlohmann::json& body);
  // Changes the keys given of the dialog attributes: a colour of another type than a number is
  // cleared, "animationDuration" only ever set. Always 200 "OK".
  static std::shared_ptr<http::HttpResponse> setDialogAttributes(const nlohmann::json& body);
  // {location, path}: serves the folder under the URL prefix; 400 "Missing location or path."
  // unless both are non-empty texts.
  static std::shared_ptr<http::HttpResponse> addHostLocation(const nlohmann::json& body);
};

// Makes and registers the plugin once per process.
void registerAppPlugin();

}  // namespace zrk::plugin
