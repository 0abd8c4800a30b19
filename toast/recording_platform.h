// A toast platform that shows nothing: it records every toast document it is given, lets a test
// raise any toast's events (from any thread) and can be told to fail any step.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "toast/notifier.h"

namespace toast {

class RecordingPlatform final : public Platform {
 public:
  enum class Step {
    Compatible,
    SetAppUserModelId,
    CreateNotifier,
    TemplateContent,
    CreateNotification,
    SetExpiration,
    NewToastId,
    AddHandlers,
    Show,
    Hide,
  };

  struct Shown {
    int64_t id;
    std::string xml;  // the document as shown
    std::u16string appName;
    std::u16string appUserModelId;
  };

  // Makes the step fail (or succeed again).
  void fail(Step step, bool failing = true);
  // The ids newToastId draws next, in order; afterwards 1, 2, 3 ... (skipping none).
  void queueIds(std::vector<uint32_t> ids);

  std::vector<Shown> shown() const;
  std::vector<int64_t> hidden() const;
  std::u16string processAppUserModelId() const;
  // Toasts whose events are registered.
  size_t registeredCount() const;

  // Raise one toast's events as the system would; false when the toast has no registration.
  bool activate(int64_t id, const std::optional<std::u16string>& arguments);
  bool dismiss(int64_t id, int32_t reason);
  bool raiseFailure(int64_t id);
  // The sink a toast's events go to (null when none is registered): held by a test, it stands
  // for an event the system is delivering while the toast's registration goes.
  std::shared_ptr<EventSink> sinkOf(int64_t id) const;

  bool isCompatible() override;
  bool setProcessAppUserModelId(const std::u16string& id) override;
  bool createNotifier(const std::u16string& appUserModelId) override;
  Document templateContent(int32_t kind) override;
  bool createNotification(Notification& notification) override;
  bool setExpiration(Notification& notification, int64_t milliseconds) override;
  std::optional<uint32_t> newToastId() override;
  bool addHandlers(Notification& notification) override;
  void removeHandlers(Notification& notification) override;
  bool show(Notification& notification) override;
  bool hide(Notification& notification) override;

 private:
  bool failing(Step step) const;

  mutable std::mutex mutex_;
  std::map<Step, bool> failing_;
  std::deque<uint32_t> queuedIds_;
  uint32_t nextId_ = 1;
  std::vector<Shown> shown_;
  std::vector<int64_t> hidden_;
  std::u16string processId_;
  std::map<int64_t, std::shared_ptr<EventSink>> sinks_;
};

}  // namespace toast
