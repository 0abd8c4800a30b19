// The platform-neutral webview: one page view inside a zrk::Window, addressed by its label. It
// owns what every webview has whatever engine shows the page: its label, a weak link to its
// window, its delegate, its resource manager and the channel hand-off by which native code passes
// data to a page callback. It declares the webview's whole interface; the engine-facing webview
// implements it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/types.h"
#include "vesk/tobject.h"

namespace zrk {

class ResourceManager;
class WebviewDelegate;
class Window;
class Webview;

// What a script evaluation reports back to its completion.
struct EvalCallbackContext {
  bool succeeded = false;
  std::string result;  // the script's result as JSON text, empty when there is none
};

using EvalCompletion = std::function<void(const EvalCallbackContext&)>;

struct FloatPoint {
  float x = 0;
  float y = 0;
};

struct FloatSize {
  float width = 0;
  float height = 0;
};

// The settings of a new webview.
struct WebviewOptions {
  bool transparent = false;     // kept; not read by the webview
  bool dragDropEnabled = true;  // kept; drops are the drop zones' in every case
  // Placement in the window's client area, in pixels; the window's inner area when absent.
  std::optional<int32_t> x;
  std::optional<int32_t> y;
  std::optional<int32_t> width;
  std::optional<int32_t> height;
  // The same four as a caller received them as text; kept, not read.
  std::string xText;
  std::string yText;
  std::string widthText;
  std::string heightText;
  // The address a new webview is sent to (the creator navigates); the user agent is kept only.
  std::string url;
  std::string userAgent;
  // Which edges follow the window (18: width and height); the webview's default when absent.
  std::optional<int> resizingMask;
  // The default background, 0xAABBGGRR (alpha in the top byte, red in the low byte).
  std::optional<uint32_t> backgroundColor;
};

class Webview : public Vesk::TObject, public std::enable_shared_from_this<Webview> {
  VESK_DECLARE_CLASS(Webview, Vesk::TObject, "zrk")

 public:
  using ScriptIdCallback = std::function<void(const std::string& scriptId)>;
  using CreateCompletion = std::function<void(Webview* webview, bool succeeded)>;

  // An empty label becomes "webview_" and a unique suffix. The window, when given, must be under
  // shared ownership (std::bad_weak_ptr otherwise); the webview keeps a weak reference to it.
  // Every webview gets its own resource manager, numbered in the order of construction.
  Webview(const std::string& label, Window* window);
  Webview(const Webview&) = delete;
  Webview& operator=(const Webview&) = delete;
  ~Webview() override;

  const std::string& label() const { return label_; }
  void setLabel(const std::string& label) { label_ = label; }
  // The owning window, or empty when it is gone (or the webview has none).
  std::shared_ptr<Window> window() const { return window_.lock(); }
  std::shared_ptr<ResourceManager> resourceManager();
  int resizingMask() const { return resizingMask_; }
  void setResizingMask(int mask) { resizingMask_ = mask; }

  // Parks `data` under a fresh data id and tells the page to fetch it and pass it to the page
  // function "_<callbackId>".
  void sendChannelData(uint32_t callbackId, const nlohmann::json& data);
  // The same; the page function receives {message: data, id: order}.
  void sendChannelMessage(uint32_t callbackId, const nlohmann::json& data, uint32_t order);
  // Copies the value parked under `dataId` into `out`; with `erase` the entry is removed and its
  // id given back for reuse. False, with `out` untouched, when nothing is parked under the id.
  bool takeChannelData(uint32_t dataId, nlohmann::json& out, bool erase);

  // --- The webview's interface; the base behaviours are those of a webview without an engine.

  // Runs `script` at the start of every later document. Base: drops the callback, false.
  virtual bool addScriptOnDocumentCreated(const std::string& script, ScriptIdCallback callback);
  virtual void navigate(const std::string& url);
  virtual void reserved();
  // Runs `script` in the current page. Base: 1, the completion is not called.
  virtual int evaluateScript(const std::string& script, EvalCompletion completion, bool flag);
  virtual void setDelegate(const std::shared_ptr<WebviewDelegate>& delegate);
  virtual std::shared_ptr<WebviewDelegate> delegate();
  virtual FloatPoint position() = 0;
  virtual void setPosition(FloatPoint position) = 0;
  virtual FloatSize size() = 0;
  virtual void setSize(FloatSize size) = 0;
  virtual int64_t passThrough(int64_t value);
  // Stops the webview. Base: throws std::logic_error (every concrete webview overrides it).
  virtual void close();
  virtual desk::HWND browserWindowHandle() = 0;
  virtual void print(const nlohmann::json& options) = 0;
  virtual void setZoomControlEnabled(bool enabled) = 0;
  virtual bool isZoomControlEnabled() = 0;
  // Returns the previous factor.
  virtual double setZoomFactor(double factor) = 0;
  virtual void setDevToolsEnabled(bool enabled) = 0;
  virtual bool isDevToolsEnabled() = 0;
  virtual void showDevTools() = 0;
  virtual void closeDevTools() = 0;
  virtual bool isDevToolsVisible() = 0;
  virtual void focus();
  // 0xRRGGBB.
  virtual void setBackgroundColor(uint32_t color) = 0;
  // 0xAARRGGBB.
  virtual uint32_t backgroundColor() = 0;
  virtual void cancelRequests(const std::vector<std::string>& urls);
  virtual void cancelAllRequests();
  virtual void runCommand(const std::string& command, const std::optional<nlohmann::json>& payload);
  // Creates the engine's view. Base: false; the completion is never called.
  virtual bool create(const WebviewOptions& options, CreateCompletion completion);
  virtual void handleWebMessage(const std::string& message);

 protected:
  // Guards channelData_.
  std::recursive_mutex channelMutex_;
  std::map<uint32_t, nlohmann::json> channelData_;

 private:
  uint32_t parkChannelData(const nlohmann::json& data);

  std::string label_;
  std::weak_ptr<Window> window_;
  std::shared_ptr<WebviewDelegate> delegate_;
  int resizingMask_ = 18;
  std::shared_ptr<ResourceManager> resourceManager_;
};

}  // namespace zrk
