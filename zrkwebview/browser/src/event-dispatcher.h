// The pages' event listeners, and the script that delivers one event to one listener's page.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "zrkwebview/browser/src/id-pool.h"

namespace zrk {

class Webview;

struct EventItem {
  uint64_t id = 0;
  // The page function that receives the event is "_" followed by this number.
  uint64_t callbackId = 0;
  std::string event;
  // "Any", "App", "Window", "Webview", "AnyLabel" or empty.
  std::string kind;
  std::string label;
  // The webview whose page holds the listener, when it was registered by a page. Labels only tell
  // webviews apart within one window; this tells them apart across windows.
  std::weak_ptr<Webview> owner;
};

class EventDispatcher {
 public:
  using Visitor = std::function<void(const std::shared_ptr<EventItem>&)>;

  static EventDispatcher& instance();

  uint64_t listen(uint64_t callbackId, const std::string& event, const std::string& kind,
                  const std::string& label, std::weak_ptr<Webview> owner = {});
  void unlisten(uint64_t id);
  std::shared_ptr<EventItem> find(uint64_t id);
  // Note the order: label before kind. The visitor runs under the listener lock and must not
  // call the dispatcher.
  void forEachListener(const std::string& event, const std::string& label, const std::string& kind,
                       const Visitor& visitor);
  // Note the order: kind before label. With `owner`, the listeners that another webview's page
  // registered stay (a namesake in another window); those of `owner` and of no live page go.
  void removeListeners(const std::string& event, const std::string& kind, const std::string& label,
                       const Webview* owner = nullptr);
  // Runs the delivery script for the listener in `webview`; nothing when the listener is gone.
  void dispatchToPage(Webview* webview, uint64_t listenerId, const nlohmann::json& payload);

  // The delivery script for one listener and one payload.
  static std::string buildDeliveryScript(const EventItem& item, const nlohmann::json& payload);

  EventDispatcher() = default;
  EventDispatcher(const EventDispatcher&) = delete;
  EventDispatcher& operator=(const EventDispatcher&) = delete;

 private:
  IdPool ids_;
  std::mutex listenerMutex_;
  std::map<uint64_t, std::shared_ptr<EventItem>> byId_;
  std::map<std::string, std::vector<std::shared_ptr<EventItem>>> byEvent_;
};

}  // namespace zrk
