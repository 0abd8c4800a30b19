#include "desk/dragdrop.h"

#include <map>
#include <mutex>

#include "desk/window.h"

namespace desk {

namespace {

struct Registry : WindowObserver {
  std::mutex mutex;
  std::map<HWND, std::shared_ptr<IDropTarget>> targets;
  bool observing = false;

  // A window's destruction drops its registration (and the reference it holds).
  void onWindowEvent(const WindowEvent& event) override {
    if (event.kind != WindowEvent::Kind::Destroyed) return;
    std::shared_ptr<IDropTarget> released;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = targets.find(event.hwnd);
    if (it == targets.end()) return;
    released = std::move(it->second);
    targets.erase(it);
  }
};

Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

// Forgets the targets of windows that are gone.
void pruneLocked(Registry& r) {
  for (auto it = r.targets.begin(); it != r.targets.end();) {
    it = IsWindow(it->first) ? std::next(it) : r.targets.erase(it);
  }
}

std::shared_ptr<IDropTarget> targetOf(HWND hwnd) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  pruneLocked(r);
  auto it = r.targets.find(hwnd);
  return it == r.targets.end() ? nullptr : it->second;
}

}  // namespace

HRESULT RegisterDragDrop(HWND hwnd, std::shared_ptr<IDropTarget> target) {
  if (!target) return E_INVALIDARG;
  if (!IsWindow(hwnd)) return DRAGDROP_E_INVALIDHWND;
  Registry& r = registry();
  std::unique_lock<std::mutex> lock(r.mutex);
  if (!r.observing) {
    r.observing = true;
    lock.unlock();
    addWindowObserver(&r);
    lock.lock();
  }
  pruneLocked(r);
  if (r.targets.count(hwnd)) return DRAGDROP_E_ALREADYREGISTERED;
  r.targets[hwnd] = std::move(target);
  return S_OK;
}

HRESULT RevokeDragDrop(HWND hwnd) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  pruneLocked(r);
  if (!IsWindow(hwnd)) return DRAGDROP_E_INVALIDHWND;
  return r.targets.erase(hwnd) ? S_OK : DRAGDROP_E_NOTREGISTERED;
}

namespace test {

DragOutcome dragFiles(const std::vector<std::string>& files, POINT pt, bool drop, DWORD allowed,
                      DWORD keyState) {
  DragOutcome out;
  std::shared_ptr<IDropTarget> target;
  for (HWND w = WindowFromPoint(pt); w; w = GetAncestor(w, GA_PARENT)) {
    if ((target = targetOf(w))) {
      out.window = w;
      break;
    }
  }
  if (!target) return out;
  const DropData data{files};
  DWORD effect = allowed;
  if (FAILED(target->DragEnter(data, keyState, pt, &effect))) effect = DROPEFFECT_NONE;
  effect = allowed;
  if (FAILED(target->DragOver(keyState, pt, &effect))) effect = DROPEFFECT_NONE;
  out.hoverEffect = effect & allowed;
  if (!drop || out.hoverEffect == DROPEFFECT_NONE) {
    target->DragLeave();
    return out;
  }
  effect = allowed;
  if (FAILED(target->Drop(data, keyState, pt, &effect))) effect = DROPEFFECT_NONE;
  out.effect = effect & allowed;
  out.dropped = true;
  return out;
}

}  // namespace test

}  // namespace desk
