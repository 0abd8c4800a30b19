#include "zrkwebview/browser/src/http/handler-list.h"

#include "zrkwebview/browser/src/handlers/http-localfile-handler.h"
#include "zrkwebview/browser/src/handlers/http-plugin-handler.h"
#include "zrkwebview/browser/src/handlers/http-static-file-handler.h"
#include "zrkwebview/browser/src/http/http-message.h"

namespace http {

std::shared_ptr<HandlerArray>& handlerList() {
  static std::shared_ptr<HandlerArray> list = std::make_shared<HandlerArray>();
  return list;
}

HandlerWrapper::HandlerWrapper(const std::shared_ptr<Vesk::TObject>& handler, bool first) {
  if (!handler || !handler->isKindOfClass(&HttpHandler::classDescriptor)) return;
  HandlerArray& list = *handlerList();
  if (first) {
    list.insert(list.begin(), handler);
  } else {
    list.push_back(handler);
  }
}

namespace {

template <class Handler>
void registerOnce() {
  static const HandlerWrapper wrapper(std::make_shared<Handler>(), false);
  (void)wrapper;
}

}  // namespace

void registerAssetHandler() { registerOnce<HttpAssetHandler>(); }
void registerLocalfileHandler() { registerOnce<HttpLocalfileHandler>(); }
void registerPluginHandler() { registerOnce<HttpPluginHandler>(); }

}  // namespace http
