// The process-wide maker of webviews. Windows make their webviews through it; the webview host
// installs its engine's maker at start-up, and tests install their own.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "zrkwebview/browser/src/webview.h"

namespace zrk {

class Window;

// Makes the webview `label` of `window` and starts creating its engine view; returns the webview
// at once (empty when nothing was made). The completion runs later on the UI thread with the
// webview and true once it is usable, or with false when creation failed.
using WebviewMaker =
    std::function<std::shared_ptr<Webview>(const std::string& label, Window* window,
                                           const WebviewOptions& options,
                                           Webview::CreateCompletion completion)>;

// Installs the maker (an empty one removes it); returns the one it replaces.
WebviewMaker setWebviewMaker(WebviewMaker maker);

// Makes a webview with the installed maker. Without one, the completion reports failure at once
// (a null webview and false) and the result is empty.
std::shared_ptr<Webview> makeWebview(const std::string& label, Window* window,
                                     const WebviewOptions& options,
                                     Webview::CreateCompletion completion);

}  // namespace zrk
