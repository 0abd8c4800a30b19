#include "toast/recording_platform.h"

namespace toast {

void RecordingPlatform::fail(Step step, bool failing) {
  std::lock_guard<std::mutex> lock(mutex_);
  failing_[step] = failing;
}

void RecordingPlatform::queueIds(std::vector<uint32_t> ids) {
  std::lock_guard<std::mutex> lock(mutex_);
  queuedIds_.insert(queuedIds_.end(), ids.begin(), ids.end());
}

std::vector<RecordingPlatform::Shown> RecordingPlatform::shown() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shown_;
}

std::vector<int64_t> RecordingPlatform::hidden() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hidden_;
}

std::u16string RecordingPlatform::processAppUserModelId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return processId_;
}

size_t RecordingPlatform::registeredCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sinks_.size();
}

bool RecordingPlatform::failing(Step step) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = failing_.find(step);
  return it != failing_.end() && it->second;
}

std::shared_ptr<EventSink> RecordingPlatform::sinkOf(int64_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sinks_.find(id);
  return it == sinks_.end() ? nullptr : it->second;
}

bool RecordingPlatform::activate(int64_t id, const std::optional<std::u16string>& arguments) {
  auto sink = sinkOf(id);
  if (!sink) return false;
  sink->activated(arguments);
  return true;
}

bool RecordingPlatform::dismiss(int64_t id, int32_t reason) {
  auto sink = sinkOf(id);
  if (!sink) return false;
  sink->dismissed(reason);
  return true;
}

bool RecordingPlatform::raiseFailure(int64_t id) {
  auto sink = sinkOf(id);
  if (!sink) return false;
  sink->failed();
  return true;
}

bool RecordingPlatform::isCompatible() { return !failing(Step::Compatible); }

bool RecordingPlatform::setProcessAppUserModelId(const std::u16string& id) {
  if (failing(Step::SetAppUserModelId)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  processId_ = id;
  return true;
}

bool RecordingPlatform::createNotifier(const std::u16string&) {
  return !failing(Step::CreateNotifier);
}

Document RecordingPlatform::templateContent(int32_t kind) {
  if (failing(Step::TemplateContent)) return Document();
  return Document::base(kind);
}

bool RecordingPlatform::createNotification(Notification&) {
  return !failing(Step::CreateNotification);
}

bool RecordingPlatform::setExpiration(Notification&, int64_t) {
  return !failing(Step::SetExpiration);
}

std::optional<uint32_t> RecordingPlatform::newToastId() {
  if (failing(Step::NewToastId)) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!queuedIds_.empty()) {
    const uint32_t id = queuedIds_.front();
    queuedIds_.pop_front();
    return id;
  }
  return nextId_++;
}

bool RecordingPlatform::addHandlers(Notification& notification) {
  if (failing(Step::AddHandlers)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  sinks_[notification.id] = notification.sink;
  return true;
}

void RecordingPlatform::removeHandlers(Notification& notification) {
  std::shared_ptr<EventSink> released;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sinks_.find(notification.id);
  if (it != sinks_.end() && it->second == notification.sink) {
    released = std::move(it->second);
    sinks_.erase(it);
  }
}

bool RecordingPlatform::show(Notification& notification) {
  if (failing(Step::Show)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  notification.platformId = static_cast<uint32_t>(notification.id);
  shown_.push_back({notification.id, notification.document.serialize(), notification.appName,
                    notification.appUserModelId});
  return true;
}

bool RecordingPlatform::hide(Notification& notification) {
  if (failing(Step::Hide)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  hidden_.push_back(notification.id);
  return true;
}

}  // namespace toast
