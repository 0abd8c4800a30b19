// The ordered, process-wide list of request handlers the router walks for every request, the
// wrapper that fills it, and the registration functions of the framework's own handlers.
#pragma once

#include <memory>
#include <vector>

#include "vesk/tobject.h"

namespace http {

// Shared handler objects, each an http::HttpHandler kind; the first is asked first.
using HandlerArray = std::vector<std::shared_ptr<Vesk::TObject>>;

// The process's handler list: empty before any registration, the same list on every call. It is
// filled on the starting thread before the first request and only read afterwards, without a
// lock.
std::shared_ptr<HandlerArray>& handlerList();

// Puts a handler into the handler list when it is made: at the front when `first` is set, else at
// the end. Anything that is not an http::HttpHandler kind, and a null pointer, is ignored. The
// wrapper keeps no reference: the list holds the handler until the process ends.
class HandlerWrapper : public Vesk::TObject {
  VESK_DECLARE_CLASS(HandlerWrapper, Vesk::TObject, "http")

 public:
  HandlerWrapper() = default;
  HandlerWrapper(const std::shared_ptr<Vesk::TObject>& handler, bool first);
  ~HandlerWrapper() override = default;

 private:
  std::shared_ptr<Vesk::TObject> object_;
};

// Each appends its handler to the list once per process; later calls return at once. The
// application calls them in this order, after registering its own handlers.
void registerAssetHandler();
void registerLocalfileHandler();
void registerPluginHandler();

}  // namespace http
