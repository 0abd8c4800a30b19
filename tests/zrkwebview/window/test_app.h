// An application for window tests: a window list with the application's rules, and a record of
// the page events and quits the windows ask of it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zrkwebview/browser/src/window.h"

namespace pel::test {

class RecordingApp : public zrk::WindowDelegate {
 public:
  struct Emitted {
    std::string event;
    std::string payload;
    std::string label;
    std::string kind;
  };

  std::string uriScheme() const override { return "https"; }
  std::string uriDomain() const override { return "zrk.test"; }
  std::vector<std::string> webResourceDomains() const override { return {}; }
  void forEachWindow(
      const std::function<void(const std::shared_ptr<zrk::Window>&)>& visitor) override {
    std::vector<std::shared_ptr<zrk::Window>> copy;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      copy = windows_;
    }
    for (const auto& w : copy) visitor(w);
  }
  void addWindow(const std::shared_ptr<zrk::Window>& window, bool unique) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unique && std::find(windows_.begin(), windows_.end(), window) != windows_.end()) return;
    windows_.push_back(window);
  }
  void removeWindowByLabel(const std::string& label) override {
    std::shared_ptr<zrk::Window> removed;  // released after the lock
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = windows_.begin(); it != windows_.end(); ++it) {
      if ((*it)->label() == label) {
        removed = *it;
        windows_.erase(it);
        return;
      }
    }
  }
  uint32_t quit(uint32_t delayMs) override {
    std::lock_guard<std::mutex> lock(mutex_);
    quits_.push_back(delayMs);
    return 1;
  }
  void emit(const std::string& event, const std::string& payload, const std::string& label,
            const std::string& kind) override {
    std::lock_guard<std::mutex> lock(mutex_);
    emitted_.push_back({event, payload, label, kind});
  }

  std::vector<std::shared_ptr<zrk::Window>> windows() {
    std::lock_guard<std::mutex> lock(mutex_);
    return windows_;
  }
  std::vector<uint32_t> quits() {
    std::lock_guard<std::mutex> lock(mutex_);
    return quits_;
  }
  std::vector<Emitted> emitted(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Emitted> found;
    for (const auto& e : emitted_) {
      if (e.event == event) found.push_back(e);
    }
    return found;
  }
  // How many entries of the list hold that window.
  size_t listed(const std::shared_ptr<zrk::Window>& window) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count(windows_.begin(), windows_.end(), window));
  }

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<zrk::Window>> windows_;
  std::vector<uint32_t> quits_;
  std::vector<Emitted> emitted_;
};

}  // namespace pel::test
