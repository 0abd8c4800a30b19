// The toast notifier: shows toasts through a platform, keeps every toast it showed in a table,
// hides one or all on request, and reports each toast's activation, dismissal and failure to the
// handler its caller gave. One notifier per thread (instance()).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "toast/shortcut.h"
#include "toast/template.h"

namespace toast {

enum ToastError : int32_t {
  Ok = 0,
  NotInitialized = 1,
  UnsupportedSystem = 2,
  ShortcutFailed = 3,
  BadAppUserModelId = 4,
  MissingNames = 5,
  NoHandler = 6,
  NotShown = 7,
  Unknown = 8,
};

enum ShortcutResult : int32_t {
  ShortcutUnchanged = 0,
  ShortcutRepaired = 1,
  ShortcutCreated = 2,
  ShortcutMissingNames = -1,
  ShortcutUnsupportedSystem = -2,
  ShortcutComInitFailed = -3,
  ShortcutCreateFailed = -4,
};

enum DismissReason : int32_t { UserCanceled = 0, ApplicationHidden = 1, TimedOut = 2 };

// Receives what happened to one toast, on threads of the platform's choosing.
class Handler {
 public:
  virtual ~Handler() = default;
  // An action button was pressed: its argument (never empty).
  virtual void toastActivated(const std::u16string& arguments) = 0;
  // A click on the toast's body, or an activation without an argument.
  virtual void toastActivated() = 0;
  virtual void toastDismissed(int32_t reason) = 0;
  virtual void toastFailed() = 0;
};

// Where a platform delivers the events of one shown toast. Any thread; calls after the notifier
// that showed the toast has gone are dropped.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Nothing or an empty text: an activation without arguments.
  virtual void activated(const std::optional<std::u16string>& arguments) = 0;
  virtual void dismissed(int32_t reason) = 0;
  virtual void failed() = 0;
};

// One toast as the notifier hands it to the platform.
struct Notification {
  int64_t id = -1;
  Document document;
  std::u16string appName;
  std::u16string appUserModelId;
  // What the platform reports to; set when the handlers are registered.
  std::shared_ptr<EventSink> sink;
  // The platform's own number for the toast once it is shown (0 before).
  uint32_t platformId = 0;
};

// What the notifier needs of the system. Every step can fail.
class Platform {
 public:
  virtual ~Platform() = default;
  // Whether toasts can be shown at all.
  virtual bool isCompatible() = 0;
  virtual bool setProcessAppUserModelId(const std::u16string& id) = 0;
  // Makes (or reaches) the notifier of that identity.
  virtual bool createNotifier(const std::u16string& appUserModelId) = 0;
  // The base document of a template kind (empty on failure).
  virtual Document templateContent(int32_t kind) { return Document::base(kind); }
  virtual bool createNotification(Notification& notification) = 0;
  // The toast's expiration, in milliseconds from now (only called for one above 0).
  virtual bool setExpiration(Notification& notification, int64_t milliseconds) = 0;
  // A new toast id; nothing when none can be made.
  virtual std::optional<uint32_t> newToastId() = 0;
  // Registers notification.sink for the toast's events; removeHandlers undoes it.
  virtual bool addHandlers(Notification& notification) = 0;
  virtual void removeHandlers(Notification& notification) = 0;
  virtual bool show(Notification& notification) = 0;
  virtual bool hide(Notification& notification) = 0;
};

class Notifier {
 public:
  explicit Notifier(std::shared_ptr<Platform> platform);
  // Hides every toast still in the table; events that arrive later are dropped.
  virtual ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // The calling thread's notifier, made with the platform factory on first use and destroyed
  // with the thread.
  static Notifier& instance();
  // The platform the next instance() of a thread is made with (nullptr: the default, the
  // session bus). Ends the calling thread's instance so its next one uses the new platform.
  static void setPlatformFactory(std::function<std::shared_ptr<Platform>()> factory);
  static void resetInstance();

  bool isCompatible();
  // "company.product[.subProduct[.version]]": a version without a sub-product is dropped.
  static std::u16string makeAppUserModelId(const std::u16string& company,
                                           const std::u16string& product,
                                           const std::u16string& subProduct,
                                           const std::u16string& version);
  static std::string errorText(int32_t code);

  void setAppName(const std::u16string& name) { appName_ = name; }
  const std::u16string& appName() const { return appName_; }
  void setAppUserModelId(const std::u16string& id) { appUserModelId_ = id; }
  const std::u16string& appUserModelId() const { return appUserModelId_; }
  void setShortcutPolicy(int32_t policy) { shortcutPolicy_ = policy; }

  virtual bool initialize(ToastError* error = nullptr);
  virtual bool isInitialized() const { return initialized_; }
  // Takes the handler over in every case. The toast id, or -1 (with the reason in error).
  virtual int64_t showToast(const ToastTemplate& toast, Handler* handler,
                            ToastError* error = nullptr);
  // Hides the toast and lets its entry go, registrations and handler included: later events of
  // that toast (the system's report of the hiding among them) reach nobody.
  virtual bool hideToast(int64_t id);
  // hideToast for every toast in the table, in ascending id order (a failed hide is ignored).
  virtual void clear();
  virtual int32_t createShortcut();

  // What the table holds, for tests: the ids in ascending order, and whether one is flagged.
  std::vector<int64_t> toastIds() const;
  bool isReadyForDeletion(int64_t id) const;

  struct Entry {
    std::shared_ptr<Notification> notification;
    bool readyForDeletion = false;
    bool handlersRemoved = false;
  };
  // Shared with the sinks of shown toasts, which hold it weakly.
  struct State {
    std::mutex mutex;
    std::map<int64_t, Entry> table;
    std::shared_ptr<Platform> platform;
  };

 private:
  std::shared_ptr<State> state_;
  bool initialized_ = false;
  int32_t shortcutPolicy_ = CheckAndCreate;
  std::u16string appName_;
  std::u16string appUserModelId_;
};

}  // namespace toast
