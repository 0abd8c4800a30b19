// The webview as the framework's services see it: its label, the native objects its pages hold,
// the channel data parked for its pages, and running a script in its page. The webview host
// implements it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "vesk/tobject.h"

namespace zrk {

class ResourceManager;
class WebviewDelegate;

// What a script evaluation reports back to its completion.
struct EvalCallbackContext {
  bool succeeded = false;
  std::string result;  // the script's result as JSON text, empty when there is none
};

using EvalCompletion = std::function<void(const EvalCallbackContext&)>;

class Webview : public Vesk::TObject {
  VESK_DECLARE_CLASS(Webview, Vesk::TObject, "zrk")

 public:
  ~Webview() override = default;

  virtual const std::string& label() const = 0;
  // The manager of the native objects this webview's pages hold; always the same one.
  virtual std::shared_ptr<ResourceManager> resourceManager() = 0;
  // Copies the JSON value parked under `dataId` into `out`; with `erase` the entry is removed.
  // False, with `out` untouched, when nothing is parked under the id.
  virtual bool takeChannelData(uint32_t dataId, nlohmann::json& out, bool erase) = 0;
  // Runs `script` in the current page on the UI thread; from another thread it returns once the
  // browser has taken the script. -3 when the webview has no browser yet.
  virtual int evaluateScript(const std::string& script, EvalCompletion completion, bool flag) = 0;
};

}  // namespace zrk
