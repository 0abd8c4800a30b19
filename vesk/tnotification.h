// In-process, synchronous notifications by name. Handlers run on the posting thread, outside the
// center's lock, so they may add and remove observers and post again. A handler that throws stops
// the rest of that delivery and the exception reaches the poster: handlers should not throw.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "vesk/tdictionary.h"
#include "vesk/tobject.h"
#include "vesk/tstring.h"

namespace Vesk {

class TNotification : public TObject {
  VESK_DECLARE_CLASS(TNotification, TObject, nullptr)

 public:
  TNotification() = default;
  // Copies the entries of userInfo into a dictionary of its own (the values stay shared).
  TNotification(void* object, const std::shared_ptr<TDictionary>& userInfo);
  // Empties the userInfo dictionary: handlers copy what they need during the call.
  ~TNotification() override;

  void* object() const { return object_; }
  // Empty when the poster passed none.
  std::shared_ptr<TDictionary> userInfo() const { return userInfo_; }
  // Removes every entry of the userInfo dictionary (which stays).
  virtual void clear();

 private:
  void* object_ = nullptr;
  std::shared_ptr<TDictionary> userInfo_;
};

class TNotificationCenter : public TObject {
  VESK_DECLARE_CLASS(TNotificationCenter, TObject, nullptr)

 public:
  using Handler = std::function<void(const std::shared_ptr<TNotification>&)>;
  // A handler is identified by the function object this pointer holds.
  using HandlerPtr = std::shared_ptr<Handler>;

  struct Observer {
    void* object;
    TString name;
    HandlerPtr handler;
  };

  TNotificationCenter() = default;
  ~TNotificationCenter() override { clear(); }

  // The process-wide center, created on first use and kept for the life of the process.
  static TNotificationCenter* defaultCenter();

  // Appends an observer; the same handler may be registered more than once.
  void addObserver(const TString& name, const HandlerPtr& handler, void* object);
  // Object given: removes the name's observers with that object (and that handler, when given).
  // No object, no handler: removes the whole name. No object, a handler: removes that handler's
  // observers of the name whatever their object.
  void removeObserver(const TString& name, const HandlerPtr& handler, void* object);
  void removeObserver(const TString& name, void* object) { removeObserver(name, nullptr, object); }
  // A null object reaches every observer of the name; an object only the observers registered
  // with that same object.
  void postNotification(const TString& name, void* object, const std::shared_ptr<TDictionary>& userInfo);
  void postNotification(const TString& name, void* object) { postNotification(name, object, nullptr); }
  void postNotification(const TString& name) { postNotification(name, nullptr, nullptr); }

  // Erases every name; takes no lock (for the center's own destruction).
  virtual void clear() { observers_.clear(); }

 private:
  std::map<TString, std::vector<Observer>> observers_;
  std::mutex lock_;
};

}  // namespace Vesk
