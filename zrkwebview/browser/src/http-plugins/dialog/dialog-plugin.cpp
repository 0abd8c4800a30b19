#include "zrkwebview/browser/src/http-plugins/dialog/dialog-plugin.h"

#include <stdexcept>
#include <utility>

#include "desk/system_dialogs.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "vesk/log.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/dialogs/dialog.h"
#include "zrkwebview/browser/src/http-plugins/dialog/dialog-impl.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/webview.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk::plugin {

namespace {

using json = nlohmann::json;

std::shared_ptr<http::HttpResponse> accepted() {
  return std::make_shared<http::HttpMimeResponse>("true", "application/json");
}

std::string windowLabel(const json& options) {
  if (!options.is_object()) return std::string();
  auto it = options.find("window");
  return it != options.end() && it->is_string() ? it->get<std::string>() : std::string();
}

desk::HWND windowHandle(const std::string& label) {
  if (label.empty()) return nullptr;
  auto app = App::instance();
  auto window = app ? app->findWindow(label) : nullptr;
  return window ? window->nativeHandle() : nullptr;
}

// The webview's window, else the foreground window; a "window" label that names a window wins.
desk::HWND ownerFor(const std::shared_ptr<Webview>& webview, const json& options) {
  desk::HWND owner = nullptr;
  bool found = false;
  if (webview) {
    if (auto window = webview->window()) {
      owner = window->nativeHandle();
      found = true;
    }
  }
  if (!found) owner = desk::GetForegroundWindow();
  if (desk::HWND named = windowHandle(windowLabel(options))) owner = named;
  return owner;
}

void deliver(const DialogTask& task, const json& value) {
  if (task.webview) task.webview->sendChannelData(callbackIdOf(task.options), value);
}

// Runs a blocking dialog on the UI thread and sends its outcome: the result, null, or an "error"
// object; exactly one value when the task has a webview.
void runModalTask(const DialogTask& task, bool (*show)(desk::HWND, const json&, json&)) {
  json value = nullptr;
  try {
    // An owner closed before the task ran: the dialog is unowned.
    const desk::HWND owner = task.owner && desk::IsWindow(task.owner) ? task.owner : nullptr;
    json result = nullptr;
    if (show(owner, task.options, result)) value = std::move(result);
    // One of the framework's dialogs still open on the owner keeps it disabled.
    if (owner && desk::IsWindow(owner) && openDialogsOf(owner) > 0) desk::EnableWindow(owner, 0);
  } catch (const std::exception& e) {
    value = json{{"error", e.what()}};
  } catch (...) {
    value = json{{"error", "unknown error"}};
  }
  try {
    deliver(task, value);
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("dialog: the outcome could not be sent: %s", e.what());
  }
}

void post(DialogTask task, bool (*show)(desk::HWND, const json&, json&)) {
  dispatch_async(dispatch_get_main_queue(), [task = std::move(task), show] { runModalTask(task, show); });
}

void runAlertTask(const DialogTask& task) {
  try {
    if (task.owner == nullptr || !desk::IsWindow(task.owner)) {
      // The owner went before the dialog could show: nothing to be modal to.
      deliver(task, nullptr);
      return;
    }
    auto webview = task.webview;
    const uint32_t callback = callbackIdOf(task.options);
    showAlertDialog(task.owner, task.options, [webview, callback](const json& value) {
      if (webview) webview->sendChannelData(callback, value);
    });
  } catch (const std::exception& e) {
    deliver(task, json{{"error", e.what()}});
  } catch (...) {
    deliver(task, json{{"error", "unknown error"}});
  }
}

}  // namespace

uint32_t callbackIdOf(const json& options) {
  if (!options.is_object()) return 0;
  auto it = options.find("handler");
  if (it == options.end()) return 0;
  return static_cast<uint32_t>(pageInteger(*it, 0, UINT32_MAX).value_or(0));
}

void launchFileDialog(const std::shared_ptr<Webview>& webview, const json& options) {
  post(DialogTask{webview, ownerFor(webview, options), options}, &showFileDialog);
}

void launchFolderDialog(const std::shared_ptr<Webview>& webview, const json& options) {
  post(DialogTask{webview, ownerFor(webview, options), options}, &showFolderDialog);
}

void launchFontDialog(const std::shared_ptr<Webview>& webview, const json& options) {
  post(DialogTask{webview, ownerFor(webview, options), options}, &showFontDialog);
}

void launchAlertDialog(const std::shared_ptr<Webview>& webview, const json& options) {
  const std::string label = windowLabel(options);
  if (label.empty()) throw std::runtime_error("Missing window label in options.");
  const desk::HWND owner = windowHandle(label);
  if (owner == nullptr) throw std::runtime_error("Window not found: " + label);
  DialogTask task{webview, owner, options};
  dispatch_async(dispatch_get_main_queue(), [task = std::move(task)] { runAlertTask(task); });
}

std::shared_ptr<http::HttpResponse> DialogPlugin::chooseFolder(const json& payload,
                                                               const std::shared_ptr<Webview>& webview) {
  launchFolderDialog(webview, payload);
  return accepted();
}

std::shared_ptr<http::HttpResponse> DialogPlugin::openFile(const json& payload,
                                                           const std::shared_ptr<Webview>& webview) {
  launchFileDialog(webview, payload);
  return accepted();
}

std::shared_ptr<http::HttpResponse> DialogPlugin::saveFile(const json& payload,
                                                           const std::shared_ptr<Webview>& webview) {
  launchFileDialog(webview, payload);
  return accepted();
}

std::shared_ptr<http::HttpResponse> DialogPlugin::chooseFont(const json& payload,
                                                             const std::shared_ptr<Webview>& webview) {
  launchFontDialog(webview, payload);
  return accepted();
}

std::shared_ptr<http::HttpResponse> DialogPlugin::alert(const json& payload,
                                                        const std::shared_ptr<Webview>& webview) {
  launchAlertDialog(webview, payload);
  return accepted();
}

std::shared_ptr<Vesk::TObject> DialogPlugin::invoke(const std::string& command, Webview* webview,
                                                    http::HttpResponseConnection* connection,
                                                    http::HttpRequest* request,
                                                    const json& payload) {
  (void)connection;
  // A webview already being destroyed throws std::bad_weak_ptr here, for the handler to answer.
  std::shared_ptr<Webview> self = webview ? webview->shared_from_this() : nullptr;
  using Handler = std::shared_ptr<http::HttpResponse> (*)(const json&, const std::shared_ptr<Webview>&);
  auto wrap = [&self](Handler handler) {
    return [handler, &self](const json& p, Webview*, http::HttpRequest*) { return handler(p, self); };
  };
  const CommandTable table{
      {"choose_folder", wrap(&DialogPlugin::chooseFolder)},
      {"open_file", wrap(&DialogPlugin::openFile)},
      {"save_file", wrap(&DialogPlugin::saveFile)},
      {"choose_font", wrap(&DialogPlugin::chooseFont)},
      {"alert", wrap(&DialogPlugin::alert)},
  };
  try {
    return runCommand(table, command, payload, webview, request);
  } catch (const std::exception& e) {
    return std::make_shared<http::HttpStatusResponse>(400, std::string(e.what()));
  }
}

void registerDialogPlugin() {
  static const bool registered = [] {
    auto plugin = std::make_shared<DialogPlugin>();
    plugin->setName("dialog");
    plugin->setDescription("dialog plugin");
    plugin->setVersion("1.0");
    PluginRegistry::add(plugin);
    return true;
  }();
  (void)registered;
}

}  // namespace zrk::plugin
