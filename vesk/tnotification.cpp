#include "vesk/tnotification.h"

#include <algorithm>

namespace Vesk {

TNotification::TNotification(void* object, const std::shared_ptr<TDictionary>& userInfo) : object_(object) {
  if (userInfo) {
    userInfo_ = std::make_shared<TDictionary>();
    userInfo_->addEntriesFromDictionary(userInfo);
  }
}

TNotification::~TNotification() { TNotification::clear(); }

void TNotification::clear() {
  if (userInfo_) userInfo_->removeAllObjects();
}

TNotificationCenter* TNotificationCenter::defaultCenter() {
  static std::mutex creationLock;
  static std::shared_ptr<TNotificationCenter> center;
  std::lock_guard<std::mutex> guard(creationLock);
  if (!center) center = std::make_shared<TNotificationCenter>();
  return center.get();
}

void TNotificationCenter::addObserver(const TString& name, const HandlerPtr& handler, void* object) {
  std::lock_guard<std::mutex> guard(lock_);
  observers_[name].push_back(Observer{object, name, handler});
}

void TNotificationCenter::removeObserver(const TString& name, const HandlerPtr& handler, void* object) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = observers_.find(name);
  if (it == observers_.end()) return;
  std::vector<Observer>& list = it->second;
  if (object != nullptr) {
    std::erase_if(list, [&](const Observer& o) {
      return o.object == object && (!handler || o.handler.get() == handler.get());
    });
  } else if (!handler) {
    observers_.erase(it);
  } else {
    std::erase_if(list, [&](const Observer& o) { return o.handler.get() == handler.get(); });
  }
}

void TNotificationCenter::postNotification(const TString& name, void* object,
                                           const std::shared_ptr<TDictionary>& userInfo) {
  std::vector<HandlerPtr> handlers;
  std::shared_ptr<TNotification> notification;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = observers_.find(name);
    if (it == observers_.end()) return;
    notification = std::make_shared<TNotification>(object, userInfo);
    for (const Observer& o : it->second) {
      if (!o.handler) continue;
      if (object == nullptr || o.object == object) handlers.push_back(o.handler);
    }
  }
  for (const HandlerPtr& handler : handlers) (*handler)(notification);
}

}  // namespace Vesk
