// The dialog plugin ("dialog"): pages open the file, folder, font and alert dialogs. Every command
// answers `true` at once; the dialog runs later on the UI thread, owned by a native window, and its
// outcome reaches the page through the channel callback the request names in "handler".
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "desk/types.h"
#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class DialogPlugin : public Plugin {
  VESK_DECLARE_CLASS(DialogPlugin, Plugin, "zrk::plugin")

 public:
  DialogPlugin() = default;
  ~DialogPlugin() override = default;

  // Empty for a command the plugin does not have; a std::exception out of a command answers 400
  // with its what(). A webview being destroyed throws std::bad_weak_ptr before that catch.
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  static std::shared_ptr<http::HttpResponse> chooseFolder(const nlohmann::json& payload,
                                                          const std::shared_ptr<zrk::Webview>& webview);
  static std::shared_ptr<http::HttpResponse> openFile(const nlohmann::json& payload,
                                                      const std::shared_ptr<zrk::Webview>& webview);
  static std::shared_ptr<http::HttpResponse> saveFile(const nlohmann::json& payload,
                                                      const std::shared_ptr<zrk::Webview>& webview);
  static std::shared_ptr<http::HttpResponse> chooseFont(const nlohmann::json& payload,
                                                        const std::shared_ptr<zrk::Webview>& webview);
  static std::shared_ptr<http::HttpResponse> alert(const nlohmann::json& payload,
                                                   const std::shared_ptr<zrk::Webview>& webview);
};

void registerDialogPlugin();

// What a command hands to the UI thread.
struct DialogTask {
  std::shared_ptr<zrk::Webview> webview;  // empty when the request came without one
  desk::HWND owner = nullptr;             // not owned; may be null or stale
  nlohmann::json options;
};

// Each posts a DialogTask to the main queue and returns before the dialog is shown. The owner is
// the webview's window (the foreground window without one), or the window "window" names.
void launchFileDialog(const std::shared_ptr<zrk::Webview>& webview, const nlohmann::json& options);
void launchFolderDialog(const std::shared_ptr<zrk::Webview>& webview, const nlohmann::json& options);
void launchFontDialog(const std::shared_ptr<zrk::Webview>& webview, const nlohmann::json& options);
// Throws std::runtime_error "Missing window label in options." without a non-empty "window"
// label, and "Window not found: <label>" when it names no window; nothing is posted then.
void launchAlertDialog(const std::shared_ptr<zrk::Webview>& webview, const nlohmann::json& options);

// The callback id of "handler": a number cut to an unsigned 32-bit integer; anything else, a
// negative or an out-of-range number gives 0.
uint32_t callbackIdOf(const nlohmann::json& options);

}  // namespace zrk::plugin
