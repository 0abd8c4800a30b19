#include "zrkwebview/browser/src/webview-maker.h"

#include <mutex>
#include <utility>

namespace zrk {

namespace {
std::mutex& makerMutex() {
  static std::mutex mutex;
  return mutex;
}
WebviewMaker& makerSlot() {
  static WebviewMaker maker;
  return maker;
}
}  // namespace

WebviewMaker setWebviewMaker(WebviewMaker maker) {
  std::lock_guard<std::mutex> lock(makerMutex());
  std::swap(makerSlot(), maker);
  return maker;
}

std::shared_ptr<Webview> makeWebview(const std::string& label, Window* window,
                                     const WebviewOptions& options,
                                     Webview::CreateCompletion completion) {
  WebviewMaker maker;
  {
    std::lock_guard<std::mutex> lock(makerMutex());
    maker = makerSlot();
  }
  if (!maker) {
    if (completion) completion(nullptr, false);
    return nullptr;
  }
  return maker(label, window, options, std::move(completion));
}

}  // namespace zrk
