#include "toast/notifier.h"

#include "desk/clock.h"
#include "toast/dbus_platform.h"

namespace toast {

namespace {

// Removes an entry's registrations once: a flagged entry's when it is erased, and any entry's
// that hideToast or clear let go of (release), so no registration outlives its table entry and
// the handler goes with it. Called with the state's mutex held; platforms never call a sink while
// holding a lock of their own, so this cannot turn into a lock cycle.
void removeEntryHandlers(Notifier::State& state, Notifier::Entry& entry, bool release = false) {
  if ((!entry.readyForDeletion && !release) || entry.handlersRemoved || !entry.notification) {
    return;
  }
  state.platform->removeHandlers(*entry.notification);
  entry.handlersRemoved = true;
}

// Erases every entry already flagged, then flags the one of this id.
void setReadyForDeletion(Notifier::State& state, int64_t id) {
  std::lock_guard<std::mutex> lock(state.mutex);
  for (auto it = state.table.begin(); it != state.table.end();) {
    if (it->second.readyForDeletion) {
      removeEntryHandlers(state, it->second);
      it = state.table.erase(it);
    } else {
      ++it;
    }
  }
  auto it = state.table.find(id);
  if (it != state.table.end()) it->second.readyForDeletion = true;
}

// The events of one toast: they reach its handler while the notifier that showed it exists.
class Delegate final : public EventSink {
 public:
  Delegate(std::weak_ptr<Notifier::State> state, std::shared_ptr<Handler> handler, int64_t id,
           uint64_t expiresAt)
      : state_(std::move(state)), handler_(std::move(handler)), id_(id), expiresAt_(expiresAt) {}

  void activated(const std::optional<std::u16string>& arguments) override {
    auto state = state_.lock();
    if (!state) return;
    if (arguments && !arguments->empty()) {
      handler_->toastActivated(*arguments);
    } else {
      handler_->toastActivated();
    }
    setReadyForDeletion(*state, id_);
  }

  void dismissed(int32_t reason) override {
    auto state = state_.lock();
    if (!state) return;
    // A toast the user "cancelled" after its expiration was in fact dropped by the system.
    if (reason == UserCanceled && expiresAt_ != 0 && desk::currentClock()->now() >= expiresAt_) {
      reason = TimedOut;
    }
    handler_->toastDismissed(reason);
    setReadyForDeletion(*state, id_);
  }

  void failed() override {
    auto state = state_.lock();
    if (!state) return;
    handler_->toastFailed();
    setReadyForDeletion(*state, id_);
  }

 private:
  std::weak_ptr<Notifier::State> state_;
  std::shared_ptr<Handler> handler_;
  int64_t id_;
  uint64_t expiresAt_;
};

std::mutex& factoryMutex() {
  static std::mutex m;
  return m;
}
std::function<std::shared_ptr<Platform>()>& factorySlot() {
  static std::function<std::shared_ptr<Platform>()> f;
  return f;
}

std::shared_ptr<Platform> makePlatform() {
  std::function<std::shared_ptr<Platform>()> factory;
  {
    std::lock_guard<std::mutex> lock(factoryMutex());
    factory = factorySlot();
  }
  if (factory) {
    if (auto platform = factory()) return platform;
  }
  return std::make_shared<DBusPlatform>();
}

thread_local std::unique_ptr<Notifier> tlsNotifier;

}  // namespace

Notifier::Notifier(std::shared_ptr<Platform> platform) : state_(std::make_shared<State>()) {
  state_->platform = std::move(platform);
}

Notifier::~Notifier() {
  clear();
  // Sinks still registered somewhere find no state from here on.
  state_.reset();
}

Notifier& Notifier::instance() {
  if (!tlsNotifier) tlsNotifier = std::make_unique<Notifier>(makePlatform());
  return *tlsNotifier;
}

void Notifier::setPlatformFactory(std::function<std::shared_ptr<Platform>()> factory) {
  {
    std::lock_guard<std::mutex> lock(factoryMutex());
    factorySlot() = std::move(factory);
  }
  resetInstance();
}

void Notifier::resetInstance() { tlsNotifier.reset(); }

bool Notifier::isCompatible() { return state_->platform->isCompatible(); }

std::u16string Notifier::makeAppUserModelId(const std::u16string& company,
                                            const std::u16string& product,
                                            const std::u16string& subProduct,
                                            const std::u16string& version) {
  std::u16string id = company + u"." + product;
  if (!subProduct.empty()) {
    id += u"." + subProduct;
    if (!version.empty()) id += u"." + version;
  }
  return id;
}

std::string Notifier::errorText(int32_t code) {
  switch (code) {
    case Ok: return "No error. The process was executed correctly";
    case NotInitialized: return "The library has not been initialized";
    case UnsupportedSystem: return "The OS does not support WinToast";
    case ShortcutFailed: return "The library was not able to create a Shell Link for the app";
    case BadAppUserModelId: return "The AUMI is not a valid one";
    case MissingNames: return "Invalid parameters, please double-check the AUMI or App Name";
    case NoHandler: return "No handler was given for the toast's events";
    case NotShown:
      return "The toast was created correctly but WinToast was not able to display the toast";
    case Unknown: return "Unknown error";
    default: return "Unknown error";
  }
}

bool Notifier::initialize(ToastError* error) {
  initialized_ = false;
  if (error) *error = Ok;
  if (!isCompatible()) {
    if (error) *error = UnsupportedSystem;
    return false;
  }
  if (appUserModelId_.empty() || appName_.empty()) {
    if (error) *error = MissingNames;
    return false;
  }
  if (shortcutPolicy_ != Ignore && createShortcut() < 0) {
    if (error) *error = ShortcutFailed;
    return false;
  }
  if (!state_->platform->setProcessAppUserModelId(appUserModelId_)) {
    if (error) *error = BadAppUserModelId;
    return false;
  }
  initialized_ = true;
  return true;
}

int32_t Notifier::createShortcut() {
  if (appUserModelId_.empty() || appName_.empty()) return ShortcutMissingNames;
  if (!isCompatible()) return ShortcutUnsupportedSystem;
  bool changed = false;
  if (validateShortcut(appName_, appUserModelId_, shortcutPolicy_, changed) >= 0) {
    return changed ? ShortcutRepaired : ShortcutUnchanged;
  }
  return writeShortcut(appName_, appUserModelId_, shortcutPolicy_) >= 0 ? ShortcutCreated
                                                                        : ShortcutCreateFailed;
}

int64_t Notifier::showToast(const ToastTemplate& toast, Handler* rawHandler, ToastError* error) {
  std::shared_ptr<Handler> handler(rawHandler);
  if (error) *error = Ok;
  if (!isInitialized()) {
    if (error) *error = NotInitialized;
    return -1;
  }
  if (!handler) {
    if (error) *error = NoHandler;
    return -1;
  }
  auto fail = [error](ToastError code) {
    if (error) *error = code;
    return int64_t{-1};
  };
  Platform& platform = *state_->platform;
  if (!platform.createNotifier(appUserModelId_)) return fail(NotShown);
  auto notification = std::make_shared<Notification>();
  notification->document = platform.templateContent(toast.kind());
  if (!notification->document) return fail(NotShown);
  if (buildDocument(toast, notification->document) < 0) return fail(NotShown);
  notification->appName = appName_;
  notification->appUserModelId = appUserModelId_;
  if (!platform.createNotification(*notification)) return fail(NotShown);
  uint64_t expiresAt = 0;
  if (toast.expiration() > 0) {
    if (!platform.setExpiration(*notification, toast.expiration())) return fail(NotShown);
    expiresAt = desk::currentClock()->now() + static_cast<uint64_t>(toast.expiration());
  }

  // An id already in the table is drawn again.
  int64_t id = -1;
  for (int attempt = 0; attempt < 64 && id < 0; ++attempt) {
    const auto drawn = platform.newToastId();
    if (!drawn) break;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->table.count(*drawn) == 0) id = *drawn;
  }
  if (id < 0) return fail(NotShown);
  notification->id = id;

  notification->sink = std::make_shared<Delegate>(state_, handler, id, expiresAt);
  if (!platform.addHandlers(*notification)) return fail(NoHandler);
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->table.emplace(id, Entry{notification, false, false});
  }
  if (!platform.show(*notification)) return fail(NotShown);
  return id;
}

bool Notifier::hideToast(int64_t id) {
  if (!isInitialized()) return false;
  std::shared_ptr<Notification> notification;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->table.find(id);
    if (it == state_->table.end()) return false;
    notification = it->second.notification;
  }
  if (!state_->platform->createNotifier(appUserModelId_)) return false;
  if (!state_->platform->hide(*notification)) return false;
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->table.find(id);
  if (it != state_->table.end() && it->second.notification == notification) {
    removeEntryHandlers(*state_, it->second, true);
    state_->table.erase(it);
  }
  return true;
}

void Notifier::clear() {
  if (!state_->platform->createNotifier(appUserModelId_)) return;
  std::map<int64_t, Entry> entries;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    entries.swap(state_->table);
  }
  for (auto& [id, entry] : entries) {
    (void)id;
    state_->platform->hide(*entry.notification);
    std::lock_guard<std::mutex> lock(state_->mutex);
    removeEntryHandlers(*state_, entry, true);
  }
}

std::vector<int64_t> Notifier::toastIds() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::vector<int64_t> ids;
  for (const auto& [id, entry] : state_->table) ids.push_back(id);
  return ids;
}

bool Notifier::isReadyForDeletion(int64_t id) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->table.find(id);
  return it != state_->table.end() && it->second.readyForDeletion;
}

}  // namespace toast
