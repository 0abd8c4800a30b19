// A webview for tests: records the scripts it is asked to run and holds parked channel data.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/resource.h"
#include "zrkwebview/browser/src/webview.h"

namespace pel::test {

class FakeWebview : public zrk::Webview {
 public:
  explicit FakeWebview(std::string label = "main")
      : label_(std::move(label)), manager_(zrk::makeWebviewResourceManager()) {}

  const std::string& label() const override { return label_; }
  std::shared_ptr<zrk::ResourceManager> resourceManager() override { return manager_; }

  bool takeChannelData(uint32_t dataId, nlohmann::json& out, bool erase) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = channelData_.find(dataId);
    if (it == channelData_.end()) return false;
    out = it->second;
    if (erase) channelData_.erase(it);
    return true;
  }

  int evaluateScript(const std::string& script, zrk::EvalCompletion completion,
                     bool flag) override {
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_.push_back(script);
    flags_.push_back(flag);
    (void)completion;
    return 0;
  }

  void park(uint32_t dataId, nlohmann::json value) {
    std::lock_guard<std::mutex> lock(mutex_);
    channelData_[dataId] = std::move(value);
  }
  std::vector<std::string> scripts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return scripts_;
  }
  std::vector<bool> flags() {
    std::lock_guard<std::mutex> lock(mutex_);
    return flags_;
  }

 private:
  std::string label_;
  std::shared_ptr<zrk::ResourceManager> manager_;
  std::mutex mutex_;
  std::map<uint32_t, nlohmann::json> channelData_;
  std::vector<std::string> scripts_;
  std::vector<bool> flags_;
};

}  // namespace pel::test
