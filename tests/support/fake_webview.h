// A webview for tests: records the scripts it is asked to run or add to documents, navigations,
// focus, request cancellation and closing, and lets a test park channel data directly.
#pragma once

#include <cstdint>
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
  explicit FakeWebview(std::string label = "main", zrk::Window* window = nullptr)
      : zrk::Webview(label, window) {}

  int evaluateScript(const std::string& script, zrk::EvalCompletion completion,
                     bool flag) override {
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_.push_back(script);
    flags_.push_back(flag);
    (void)completion;
    return 0;
  }
  bool addScriptOnDocumentCreated(const std::string& script, ScriptIdCallback callback) override {
    std::lock_guard<std::mutex> lock(mutex_);
    documentScripts_.push_back(script);
    (void)callback;
    return true;
  }
  void navigate(const std::string& url) override {
    std::lock_guard<std::mutex> lock(mutex_);
    navigations_.push_back(url);
  }
  void focus() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++focusCount_;
  }
  void cancelAllRequests() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++cancelAllCount_;
  }
  // Records the call; a fake has no engine to stop.
  void close() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++closeCount_;
  }
  void setDevToolsEnabled(bool enabled) override {
    std::lock_guard<std::mutex> lock(mutex_);
    devToolsCalls_.push_back(enabled);
  }

  zrk::FloatPoint position() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return position_;
  }
  void setPosition(zrk::FloatPoint position) override {
    std::lock_guard<std::mutex> lock(mutex_);
    position_ = position;
  }
  zrk::FloatSize size() override { return {}; }
  void setSize(zrk::FloatSize) override {}
  desk::HWND browserWindowHandle() override { return nullptr; }
  void print(const nlohmann::json&) override {}
  void setZoomControlEnabled(bool) override {}
  bool isZoomControlEnabled() override { return false; }
  double setZoomFactor(double) override { return 1.0; }
  bool isDevToolsEnabled() override { return false; }
  void showDevTools() override {}
  void closeDevTools() override {}
  bool isDevToolsVisible() override { return false; }
  void setBackgroundColor(uint32_t) override {}
  uint32_t backgroundColor() override { return 0x00FFFFFF; }

  // Parks a value under a chosen id, as a channel send would.
  void park(uint32_t dataId, nlohmann::json value) {
    std::lock_guard<std::recursive_mutex> lock(channelMutex_);
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
  std::vector<std::string> documentScripts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return documentScripts_;
  }
  std::vector<bool> devToolsCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return devToolsCalls_;
  }
  std::vector<std::string> navigations() {
    std::lock_guard<std::mutex> lock(mutex_);
    return navigations_;
  }
  int focusCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return focusCount_;
  }
  int cancelAllCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelAllCount_;
  }
  int closeCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closeCount_;
  }
  void clearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    navigations_.clear();
    scripts_.clear();
    flags_.clear();
    documentScripts_.clear();
    devToolsCalls_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> scripts_;
  std::vector<bool> flags_;
  std::vector<std::string> documentScripts_;
  std::vector<bool> devToolsCalls_;
  std::vector<std::string> navigations_;
  int focusCount_ = 0;
  int cancelAllCount_ = 0;
  int closeCount_ = 0;
  zrk::FloatPoint position_;
};

}  // namespace pel::test
