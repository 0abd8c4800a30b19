#include "zrkwebview/browser/src/resource.h"

#include <atomic>
#include <cstdio>

#include "zrkwebview/browser/src/webview.h"

namespace zrk {

std::string Resource::toString() const { return std::to_string(id_) + "_" + className(); }

void ResourceInternal::close() {
  if (auto webview = webview_.lock()) {
    if (auto manager = webview->resourceManager()) manager->remove(id_);
  }
}

ResourceManagerInternal::ResourceManagerInternal(uint32_t firstId) : ids_(firstId) {}

uint32_t ResourceManagerInternal::nextId() { return ids_.acquire(); }

uint32_t ResourceManagerInternal::add(const std::shared_ptr<Resource>& resource) {
  uint32_t id = resource ? resource->id() : 0;
  if (id == 0) id = nextId();
  std::lock_guard<std::mutex> lock(tableMutex_);
  table_[id] = resource;
  return id;
}

std::shared_ptr<Resource> ResourceManagerInternal::find(uint32_t id) {
  std::lock_guard<std::mutex> lock(tableMutex_);
  auto it = table_.find(id);
  return it == table_.end() ? nullptr : it->second;
}

void ResourceManagerInternal::remove(uint32_t id) {
  std::shared_ptr<Resource> dropped;  // destroyed after the lock is released
  std::lock_guard<std::mutex> lock(tableMutex_);
  auto it = table_.find(id);
  if (it == table_.end()) return;
  dropped = std::move(it->second);
  table_.erase(it);
}

bool ResourceManagerInternal::releaseId(uint32_t id) {
  // The table lock is held across the check and the release, so no add can file a resource
  // under the id in between. The id lock is only ever taken inside the table lock, never the
  // other way round.
  std::lock_guard<std::mutex> lock(tableMutex_);
  if (table_.count(id) != 0) return false;
  return ids_.release(id, true);
}

void ResourceManagerInternal::forEach(const Visitor& visitor) {
  std::lock_guard<std::mutex> lock(tableMutex_);
  for (const auto& [id, resource] : table_) {
    bool stop = false;
    visitor(resource, stop);
    if (stop) break;
  }
}

void ResourceManagerInternal::set(uint32_t id, const std::shared_ptr<Resource>& resource) {
  std::lock_guard<std::mutex> lock(tableMutex_);
  table_[id] = resource;
}

std::shared_ptr<Resource> ResourceManagerInternal::take(uint32_t id) {
  std::lock_guard<std::mutex> lock(tableMutex_);
  auto it = table_.find(id);
  if (it == table_.end()) return nullptr;
  auto resource = std::move(it->second);
  table_.erase(it);
  return resource;
}

void ResourceManagerInternal::close(uint32_t id) {
  std::shared_ptr<Resource> resource = take(id);
  if (resource) resource->close();
}

void ResourceManagerInternal::clear() {
  std::map<uint32_t, std::shared_ptr<Resource>> dropped;  // destroyed after the lock is released
  std::lock_guard<std::mutex> lock(tableMutex_);
  dropped.swap(table_);
}

void ResourceManagerInternal::dump() {
  std::lock_guard<std::mutex> lock(tableMutex_);
  for (const auto& [id, resource] : table_) {
    std::printf("RES:  %s\n", resource ? resource->toString().c_str() : "");
  }
  std::fflush(stdout);
}

std::shared_ptr<ResourceManager> makeWebviewResourceManager() {
  static std::atomic<uint32_t> made{0};
  const uint32_t n = ++made;
  return std::make_shared<ResourceManagerInternal>(5000u * n);
}

}  // namespace zrk
