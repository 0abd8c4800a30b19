// The framework's process-wide settings beside the application object: the built-in handlers and
// plugins, the values the start-up code sets before the first window and the webview host reads
// (extra request-filter domains, browser arguments, request worker count, document scripts, CORS
// headers), the look of native dialogs, static folders and the application identifier. Every
// value but the browser arguments has a mutex of its own, held only for the copy or the update.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zrk {

// The look of the native modal dialogs and the duration of window animations.
struct DialogAttributes {
  uint16_t fontSize = 0;  // 0: not set
  std::string fontFace;   // empty: not set
  std::optional<uint32_t> textColor;
  std::optional<uint32_t> backgroundColor;
  std::optional<uint32_t> borderColor;
  std::optional<uint32_t> controlBackgroundColor;
  std::optional<uint32_t> controlTextColor;
  std::optional<uint32_t> controlBorderColor;
  // Milliseconds of an animated move or resize; 200 when not set.
  std::optional<uint32_t> animationDuration;
};

// Registers the framework's built-in handlers (behind any registered before) and plugins, in their
// fixed order. Each registration happens once per process; later calls add nothing.
void registerBuiltinPlugins();
// The names of the built-in registrations, in order: the handlers' paths, then the plugins'
// names; only those this build has.
std::vector<std::string> builtinRegistrations();

// Appends the domain unless an equal text (byte for byte) is already there.
void addWebResourceDomain(const std::string& domain);
std::vector<std::string> webResourceDomains();

// Written once during start-up, before any reader; no lock.
void setBrowserArguments(const std::string& text);
const std::string& browserArguments();

void setWorkerCount(int count);
int workerCount();

// Appends the script unless an equal text is already there.
void addDocumentScript(const std::string& script);
std::vector<std::string> documentScripts();
// Appends "; " and the text to the document script.
void appendDocumentScript(const std::string& text);
std::string documentScript();

using HeaderList = std::vector<std::pair<std::string, std::string>>;
void setCorsHeaders(const HeaderList& headers);
HeaderList corsHeaders();

void setDialogAttributes(const DialogAttributes& attributes);
DialogAttributes dialogAttributes();
// The duration of animated window moves and resizes: the dialog attributes' value, else 200 ms.
uint32_t animationDuration();

// Maps a URL prefix to a local folder in the static-file table.
void addHostLocation(const std::string& location, const std::string& folder);

// The "Identifier" entry of the executable's version block; empty when absent.
std::string applicationIdentifier();

// Texts other parts of the framework key their data by.
extern const std::string kInternalListenersFunctionId;  // "__internal_listeners_function_id__"
extern const std::string kInternalListenersObjectId;    // "__internal_listeners_object_id"
extern const std::string kMiddlewareHeaderPrefix;       // "--ZRK-Middleware-"
extern const std::string kRemoteStatusHeader;           // "zrk-remote-status"

}  // namespace zrk
