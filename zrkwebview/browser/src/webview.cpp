#include "zrkwebview/browser/src/webview.h"

#include <stdexcept>

#include "vesk/strings.h"
#include "zrkwebview/browser/src/id-pool.h"
#include "zrkwebview/browser/src/resource.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk {

namespace {

// The ids under which channel data waits for its page, shared by every webview of the process.
// The pool is taken and given back to under one process-wide lock.
BasicIdPool<uint32_t>& channelIdPool() {
  static BasicIdPool<uint32_t> pool(1);
  return pool;
}

std::recursive_mutex& channelIdMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

const char kChannelDataScript[] =
    ";(function(){ var window = typeof window==='undefined' ? globalThis : window; "
    "window.__zrk_internals__.invoke( '{FETCH_CHANNEL_DATA_COMMAND}', null, { headers:{ "
    "'{ZRK_CHANNEL_ID_HEADER}': '{data_id}' } } ).then( function(response){ console.log('call "
    "channel message action: ' + '_' + {cb}); window['_' + {cb}](response) })"
    ".catch(console.error); })();";

const char kChannelMessageScript[] =
    ";(function(){ var window = typeof window==='undefined' ? globalThis : window; "
    "window.__zrk_internals__.invoke( '{FETCH_CHANNEL_DATA_COMMAND}', null, { headers:{ "
    "'{ZRK_CHANNEL_ID_HEADER}': '{data_id}' } } ).then( function(response){ window['_' + "
    "{cb}]({ message: response, id: {order} }) }).catch(console.error); })();";

std::string fillChannelCommand(std::string script, uint32_t dataId) {
  replaceAll(script, "{FETCH_CHANNEL_DATA_COMMAND}", "plugin:__zrk_channel__|fetch");
  replaceAll(script, "{ZRK_CHANNEL_ID_HEADER}", "zrk-channel-id");
  replaceAll(script, "{data_id}", std::to_string(dataId));
  return script;
}

}  // namespace

Webview::Webview(const std::string& label, Window* window) : label_(label) {
  if (window != nullptr) window_ = window->shared_from_this();  // std::bad_weak_ptr when not shared
  if (label_.empty()) label_ = makeUniqueId("webview_");
  resourceManager();
}

Webview::~Webview() = default;

std::shared_ptr<ResourceManager> Webview::resourceManager() {
  if (!resourceManager_) resourceManager_ = makeWebviewResourceManager();
  return resourceManager_;
}

uint32_t Webview::parkChannelData(const nlohmann::json& data) {
  uint32_t dataId;
  {
    std::lock_guard<std::recursive_mutex> lock(channelIdMutex());
    dataId = channelIdPool().acquire();
  }
  std::lock_guard<std::recursive_mutex> lock(channelMutex_);
  channelData_[dataId] = data;
  return dataId;
}

void Webview::sendChannelData(uint32_t callbackId, const nlohmann::json& data) {
  const uint32_t dataId = parkChannelData(data);
  std::string script = fillChannelCommand(kChannelDataScript, dataId);
  replaceAll(script, "{cb}", std::to_string(callbackId));
  evaluateScript(script, nullptr, true);
}

void Webview::sendChannelMessage(uint32_t callbackId, const nlohmann::json& data, uint32_t order) {
  const uint32_t dataId = parkChannelData(data);
  std::string script = fillChannelCommand(kChannelMessageScript, dataId);
  replaceAll(script, "{order}", std::to_string(order));
  replaceAll(script, "{cb}", std::to_string(callbackId));
  evaluateScript(script, nullptr, true);
}

bool Webview::takeChannelData(uint32_t dataId, nlohmann::json& out, bool erase) {
  std::lock_guard<std::recursive_mutex> lock(channelMutex_);
  auto it = channelData_.find(dataId);
  if (it == channelData_.end()) return false;
  out = it->second;
  if (!erase) return true;
  std::lock_guard<std::recursive_mutex> idLock(channelIdMutex());
  // An id that was parked without the pool (or is already back) is not given out twice.
  channelIdPool().release(dataId, true);
  channelData_.erase(it);
  return true;
}

bool Webview::addScriptOnDocumentCreated(const std::string& script, ScriptIdCallback callback) {
  (void)script;
  (void)callback;
  return false;
}

void Webview::navigate(const std::string& url) { (void)url; }

void Webview::reserved() {}

int Webview::evaluateScript(const std::string& script, EvalCompletion completion, bool flag) {
  (void)script;
  (void)completion;
  (void)flag;
  return 1;
}

void Webview::setDelegate(const std::shared_ptr<WebviewDelegate>& delegate) { delegate_ = delegate; }

std::shared_ptr<WebviewDelegate> Webview::delegate() { return delegate_; }

int64_t Webview::passThrough(int64_t value) { return value; }

void Webview::close() { throw std::logic_error("not implement yet."); }

void Webview::focus() {}

void Webview::cancelRequests(const std::vector<std::string>& urls) { (void)urls; }

void Webview::cancelAllRequests() {}

void Webview::runCommand(const std::string& command, const std::optional<nlohmann::json>& payload) {
  (void)command;
  (void)payload;
}

bool Webview::create(const WebviewOptions& options, CreateCompletion completion) {
  (void)options;
  (void)completion;
  return false;
}

void Webview::handleWebMessage(const std::string& message) { (void)message; }

}  // namespace zrk
