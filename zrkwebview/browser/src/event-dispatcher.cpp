#include "zrkwebview/browser/src/event-dispatcher.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/webview.h"

namespace zrk {
namespace {

constexpr const char* kDeliveryTemplate =
    ";(function(){ var window = typeof window==='undefined' ? globalThis : window; "
    "if( window['_{event}'] ){ window['_{event}']({payload}); } })();";

// Replaces every occurrence of `from` in one left-to-right pass; inserted text is not rescanned.
std::string replaceEvery(const std::string& text, const std::string& from, const std::string& to) {
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t hit = text.find(from, pos);
    if (hit == std::string::npos) break;
    out.append(text, pos, hit - pos);
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text, pos, std::string::npos);
  return out;
}

bool labelPasses(const std::string& asked, const EventItem& item) {
  return asked.empty() || item.label.empty() || asked == item.label;
}

bool kindPasses(const std::string& asked, const EventItem& item, bool wildcards) {
  if (asked.empty() || item.kind.empty() || asked == item.kind) return true;
  return wildcards && (asked == "Any" || asked == "AnyLabel");
}

}  // namespace

EventDispatcher& EventDispatcher::instance() {
  static EventDispatcher dispatcher;
  return dispatcher;
}

uint64_t EventDispatcher::listen(uint64_t callbackId, const std::string& event,
                                 const std::string& kind, const std::string& label,
                                 std::weak_ptr<Webview> owner) {
  auto item = std::make_shared<EventItem>();
  item->id = ids_.acquire();
  item->callbackId = callbackId;
  item->event = event;
  item->kind = kind;
  item->label = label;
  item->owner = std::move(owner);
  std::lock_guard<std::mutex> lock(listenerMutex_);
  byId_[item->id] = item;
  byEvent_[event].push_back(item);
  return item->id;
}

void EventDispatcher::unlisten(uint64_t id) {
  std::lock_guard<std::mutex> lock(listenerMutex_);
  auto it = byId_.find(id);
  if (it == byId_.end()) return;
  std::shared_ptr<EventItem> item = it->second;
  byId_.erase(it);
  auto& list = byEvent_[item->event];
  list.erase(std::remove_if(list.begin(), list.end(),
                            [id](const std::shared_ptr<EventItem>& e) { return e->id == id; }),
             list.end());
  ids_.release(id, false);
}

std::shared_ptr<EventItem> EventDispatcher::find(uint64_t id) {
  std::lock_guard<std::mutex> lock(listenerMutex_);
  auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : it->second;
}

void EventDispatcher::forEachListener(const std::string& event, const std::string& label,
                                      const std::string& kind, const Visitor& visitor) {
  std::lock_guard<std::mutex> lock(listenerMutex_);
  // With no event but a label, "Any" and "AnyLabel" are compared like any other kind.
  const bool wildcards = !(event.empty() && !label.empty());
  auto visitList = [&](const std::vector<std::shared_ptr<EventItem>>& list) {
    for (const auto& item : list) {
      if (labelPasses(label, *item) && kindPasses(kind, *item, wildcards)) visitor(item);
    }
  };
  if (!event.empty()) {
    auto it = byEvent_.find(event);
    if (it != byEvent_.end()) visitList(it->second);
    return;
  }
  for (const auto& [name, list] : byEvent_) visitList(list);
}

void EventDispatcher::removeListeners(const std::string& event, const std::string& kind,
                                      const std::string& label, const Webview* owner) {
  std::vector<uint64_t> ids;
  forEachListener(event, label, kind, [&](const std::shared_ptr<EventItem>& item) {
    if (owner != nullptr) {
      auto holder = item->owner.lock();
      if (holder && holder.get() != owner) return;
    }
    ids.push_back(item->id);
  });
  for (uint64_t id : ids) unlisten(id);
}

std::string EventDispatcher::buildDeliveryScript(const EventItem& item,
                                                 const nlohmann::json& payload) {
  nlohmann::json object = nlohmann::json::object();
  object["event"] = item.event;
  object["id"] = item.id;
  const bool emptyPayload = payload.is_null() || (payload.is_object() && payload.empty()) ||
                            (payload.is_array() && payload.empty());
  if (!emptyPayload) object["payload"] = payload;
  // Text that is not valid UTF-8 is replaced rather than refused, so a bad payload never stops
  // the emitter. The JSON text is a plain expression: strings are quoted and escaped, so nothing
  // in an event name, label or payload can break out of it.
  const std::string json = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string script = replaceEvery(kDeliveryTemplate, "{event}", std::to_string(item.callbackId));
  return replaceEvery(script, "{payload}", json);
}

void EventDispatcher::dispatchToPage(Webview* webview, uint64_t listenerId,
                                     const nlohmann::json& payload) {
  std::shared_ptr<EventItem> item = find(listenerId);
  if (!item || webview == nullptr) return;
  webview->evaluateScript(buildDeliveryScript(*item, payload), EvalCompletion(), true);
}

}  // namespace zrk
