// Native objects handed to a page under a numeric id ("rid"), and the per-webview manager that
// files them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "vesk/tobject.h"
#include "zrkwebview/browser/src/id-pool.h"

namespace zrk {

class Webview;

class Resource : public Vesk::TObject {
  VESK_DECLARE_CLASS(Resource, Vesk::TObject, "zrk")

 public:
  explicit Resource(uint32_t id = 0) : id_(id) {}
  ~Resource() override = default;

  // Releases what the resource holds and takes it out of its webview's manager.
  virtual void close() = 0;

  uint32_t id() const { return id_; }
  void setId(uint32_t id) { id_ = id; }
  // The id, "_" and the class name: "5001_WinMenu".
  std::string toString() const;

 protected:
  uint32_t id_;
};

// A resource that belongs to one webview's manager.
class ResourceInternal : public Resource {
  VESK_DECLARE_CLASS(ResourceInternal, Resource, "zrk")

 public:
  using Resource::Resource;

  // Removes the resource from its webview's manager, if the webview still exists. The id stays
  // used.
  void close() override;

  void setWebview(const std::shared_ptr<Webview>& webview) { webview_ = webview; }
  std::weak_ptr<Webview> webview() const { return webview_; }

 protected:
  std::weak_ptr<Webview> webview_;
};

class ResourceManager : public Vesk::TObject {
  VESK_DECLARE_CLASS(ResourceManager, Vesk::TObject, "zrk")

 public:
  using Visitor = std::function<void(const std::shared_ptr<Resource>&, bool& stop)>;

  virtual uint32_t nextId() = 0;
  virtual uint32_t add(const std::shared_ptr<Resource>& resource) = 0;
  virtual std::shared_ptr<Resource> find(uint32_t id) = 0;
  virtual void remove(uint32_t id) = 0;
  // Returns whether the id was taken back for reuse (see ResourceManagerInternal).
  virtual bool releaseId(uint32_t id) = 0;
  virtual void forEach(const Visitor& visitor) = 0;
  virtual void set(uint32_t id, const std::shared_ptr<Resource>& resource) = 0;
  virtual std::shared_ptr<Resource> take(uint32_t id) = 0;
  virtual void close(uint32_t id) = 0;
  virtual void clear() = 0;
  virtual void dump() = 0;
};

// Neither lock is re-entrant: a forEach visitor and a resource's destructor must not call the
// manager. close(id) calls the resource's own close outside the lock.
class ResourceManagerInternal : public ResourceManager {
  VESK_DECLARE_CLASS(ResourceManagerInternal, ResourceManager, "zrk")

 public:
  explicit ResourceManagerInternal(uint32_t firstId);

  uint32_t nextId() override;
  uint32_t add(const std::shared_ptr<Resource>& resource) override;
  std::shared_ptr<Resource> find(uint32_t id) override;
  void remove(uint32_t id) override;
  // Refused (false) while a resource is still filed under the id, when the id already waits
  // for reuse, or when this manager never handed it out: a recycled id must never replace a
  // live resource.
  bool releaseId(uint32_t id) override;
  void forEach(const Visitor& visitor) override;
  void set(uint32_t id, const std::shared_ptr<Resource>& resource) override;
  std::shared_ptr<Resource> take(uint32_t id) override;
  void close(uint32_t id) override;
  void clear() override;
  void dump() override;

 private:
  BasicIdPool<uint32_t> ids_;
  std::mutex tableMutex_;
  std::map<uint32_t, std::shared_ptr<Resource>> table_;
};

// The manager of the n-th webview made in the process (n from 1): its ids start at 5000 * n.
std::shared_ptr<ResourceManager> makeWebviewResourceManager();

}  // namespace zrk
