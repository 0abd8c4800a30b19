#include "zrkwebview/browser/src/configuration.h"

#include <algorithm>
#include <mutex>

#include "zrkwebview/browser/src/app-paths.h"
#include "zrkwebview/browser/src/handlers/static-path-table.h"
#include "zrkwebview/browser/src/http-plugins/app/app-plugin.h"
#include "zrkwebview/browser/src/http-plugins/clipboard/clipboard-plugin.h"
#include "zrkwebview/browser/src/http-plugins/defaults/defaults-plugin.h"
#include "zrkwebview/browser/src/http-plugins/dialog/dialog-plugin.h"
#include "zrkwebview/browser/src/http-plugins/dropzone/dropzone-plugin.h"
#include "zrkwebview/browser/src/http-plugins/event/event-plugin.h"
#include "zrkwebview/browser/src/http-plugins/fetch/fetch-plugin.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-plugin.h"
#include "zrkwebview/browser/src/http-plugins/image/image-plugin.h"
#include "zrkwebview/browser/src/http-plugins/ipc/ipc-plugin.h"
#include "zrkwebview/browser/src/http-plugins/logging/logging-plugin.h"
#include "zrkwebview/browser/src/http-plugins/menu/menu-plugin.h"
#include "zrkwebview/browser/src/http-plugins/notification/notification-plugin.h"
#include "zrkwebview/browser/src/http-plugins/path/path-plugin.h"
#include "zrkwebview/browser/src/http-plugins/printer/printer-plugin.h"
#include "zrkwebview/browser/src/http-plugins/resource/resource-plugin.h"
#include "zrkwebview/browser/src/http-plugins/sharedmem/sharedmem-plugin.h"
#include "zrkwebview/browser/src/http-plugins/system/system-plugin.h"
#include "zrkwebview/browser/src/http-plugins/tray/tray-plugin.h"
#include "zrkwebview/browser/src/http-plugins/webview/webview-plugin.h"
#include "zrkwebview/browser/src/http-plugins/window/window-plugin.h"
#include "zrkwebview/browser/src/http/handler-list.h"

namespace zrk {

const std::string kInternalListenersFunctionId = "__internal_listeners_function_id__";
const std::string kInternalListenersObjectId = "__internal_listeners_object_id";
const std::string kMiddlewareHeaderPrefix = "--ZRK-Middleware-";
const std::string kRemoteStatusHeader = "zrk-remote-status";

namespace {

struct Registration {
  const char* name;  // the handler's path or the plugin's name
  void (*call)();    // null while this build does not have it
};

// The built-in handlers and plugins in registration order. A row without a call is a plugin this
// build does not have yet.
constexpr Registration kBuiltins[] = {
    {"/asset", &http::registerAssetHandler},
    {"/localfile", &http::registerLocalfileHandler},
    {"/plugin", &http::registerPluginHandler},
    {"app", &plugin::registerAppPlugin},
    {"defaults", &plugin::registerDefaultsPlugin},
    {"dialog", &plugin::registerDialogPlugin},
    {"event", &plugin::registerEventPlugin},
    {"fetch", &plugin::registerFetchPlugin},
    {"fs", &plugin::registerFSPlugin},
    {"image", &plugin::registerImagePlugin},
    {"__zrk_channel__", &plugin::registerIpcPlugin},
    {"menu", &plugin::registerMenuPlugin},
    {"notification", &plugin::registerNotificationPlugin},
    {"path", &plugin::registerPathPlugin},
    {"resource", &plugin::registerResourcePlugin},
    {"tray", &plugin::registerTrayPlugin},
    {"webview", &plugin::registerWebviewPlugin},
    {"window", &plugin::registerWindowPlugin},
    {"system", &plugin::registerSystemPlugin},
    {"printer", &plugin::registerPrinterPlugin},
    {"clipboard", &plugin::registerClipboardPlugin},
    {"sharedmem", &plugin::registerSharedMemPlugin},
    {"logging", &plugin::registerLoggingPlugin},
    {"dropzone", &plugin::registerDropzonePlugin},
};

template <typename T>
struct Guarded {
  std::mutex mutex;
  T value{};
};

Guarded<std::vector<std::string>>& filterDomains() {
  static Guarded<std::vector<std::string>> v;
  return v;
}
std::string& browserArgumentsSlot() {
  static std::string v;
  return v;
}
Guarded<int>& workerCountSlot() {
  static Guarded<int> v;
  return v;
}
Guarded<std::vector<std::string>>& documentScriptList() {
  static Guarded<std::vector<std::string>> v;
  return v;
}
Guarded<std::string>& documentScriptSlot() {
  static Guarded<std::string> v;
  return v;
}
Guarded<HeaderList>& corsSlot() {
  static Guarded<HeaderList> v{{},
                               {{"Access-Control-Allow-Origin", " *"},
                                {"Access-Control-Allow-Methods", " GET,HEAD,POST"},
                                {"Access-Control-Allow-Headers",
                                 " ACCEPT, Content-Type, Range, Content-Length"},
                                {"Access-Control-Expose-Headers", " *"},
                                {"Access-Control-Allow-Credentials", " true"}}};
  return v;
}
Guarded<DialogAttributes>& dialogSlot() {
  static Guarded<DialogAttributes> v;
  return v;
}

void addOnce(Guarded<std::vector<std::string>>& list, const std::string& text) {
  std::lock_guard<std::mutex> lock(list.mutex);
  if (std::find(list.value.begin(), list.value.end(), text) == list.value.end())
    list.value.push_back(text);
}

template <typename T>
T copyOf(Guarded<T>& slot) {
  std::lock_guard<std::mutex> lock(slot.mutex);
  return slot.value;
}

}  // namespace

void registerBuiltinPlugins() {
  for (const auto& row : kBuiltins) {
    if (row.call != nullptr) row.call();
  }
}

std::vector<std::string> builtinRegistrations() {
  std::vector<std::string> names;
  for (const auto& row : kBuiltins) {
    if (row.call != nullptr) names.emplace_back(row.name);
  }
  return names;
}

void addWebResourceDomain(const std::string& domain) { addOnce(filterDomains(), domain); }
std::vector<std::string> webResourceDomains() { return copyOf(filterDomains()); }

void setBrowserArguments(const std::string& text) { browserArgumentsSlot() = text; }
const std::string& browserArguments() { return browserArgumentsSlot(); }

void setWorkerCount(int count) {
  auto& slot = workerCountSlot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.value = count;
}
int workerCount() { return copyOf(workerCountSlot()); }

void addDocumentScript(const std::string& script) { addOnce(documentScriptList(), script); }
std::vector<std::string> documentScripts() { return copyOf(documentScriptList()); }

void appendDocumentScript(const std::string& text) {
  auto& slot = documentScriptSlot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.value += "; ";
  slot.value += text;
}
std::string documentScript() { return copyOf(documentScriptSlot()); }

void setCorsHeaders(const HeaderList& headers) {
  auto& slot = corsSlot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (&headers != &slot.value) slot.value = headers;
}
HeaderList corsHeaders() { return copyOf(corsSlot()); }

void setDialogAttributes(const DialogAttributes& attributes) {
  auto& slot = dialogSlot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.value = attributes;
}
DialogAttributes dialogAttributes() { return copyOf(dialogSlot()); }

uint32_t animationDuration() { return dialogAttributes().animationDuration.value_or(200); }

void addHostLocation(const std::string& location, const std::string& folder) {
  http::StaticPathTable::add(location, folder);
}

std::string applicationIdentifier() { return versionString("Identifier", false); }

}  // namespace zrk
