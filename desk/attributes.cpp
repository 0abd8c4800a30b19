#include "desk/attributes.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

#include "desk/test_services.h"
#include "desk/thread.h"

namespace desk {

namespace {

struct Store {
  std::mutex mutex;
  std::map<HWND, test::WindowAttributes> windows;
  HRESULT dwmFailure = S_OK;
  bool taskbarFails = false;
};

Store& store() {
  static Store* s = new Store();
  return *s;
}

bool isWindow(HWND hwnd) {
#if __has_include("desk/window.h")
  return IsWindow(hwnd) != 0;
#else
  return hwnd != nullptr;
#endif
}

bool knownAttribute(DWORD a) {
  switch (a) {
    case DWMWA_NCRENDERING_POLICY:
    case DWMWA_USE_IMMERSIVE_DARK_MODE_OLD:
    case DWMWA_USE_IMMERSIVE_DARK_MODE:
    case DWMWA_WINDOW_CORNER_PREFERENCE:
    case DWMWA_BORDER_COLOR:
    case DWMWA_CAPTION_COLOR:
    case DWMWA_TEXT_COLOR:
    case DWMWA_SYSTEMBACKDROP_TYPE: return true;
    default: return false;
  }
}

class TaskbarList final : public ITaskbarList3 {
 public:
  HRESULT HrInit() override { return S_OK; }

  HRESULT SetProgressValue(HWND hwnd, uint64_t completed, uint64_t total) override {
    if (!isWindow(hwnd)) return E_HANDLE;
    if (total == 0) return E_INVALIDARG;
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    test::WindowAttributes& w = s.windows[hwnd];
    if (w.progressState == TBPF_NOPROGRESS) {
      w.progressState = TBPF_NORMAL;
      w.progressLog.push_back("state 2");
    }
    w.progressCompleted = completed > total ? total : completed;
    w.progressTotal = total;
    w.progressLog.push_back("value " + std::to_string(w.progressCompleted) + "/" +
                            std::to_string(total));
    return S_OK;
  }

  HRESULT SetProgressState(HWND hwnd, TBPFLAG state) override {
    if (!isWindow(hwnd)) return E_HANDLE;
    if (state != TBPF_NOPROGRESS && state != TBPF_INDETERMINATE && state != TBPF_NORMAL &&
        state != TBPF_ERROR && state != TBPF_PAUSED) {
      return E_INVALIDARG;
    }
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    test::WindowAttributes& w = s.windows[hwnd];
    w.progressState = state;
    if (state == TBPF_NOPROGRESS) w.progressCompleted = w.progressTotal = 0;
    w.progressLog.push_back("state " + std::to_string(static_cast<int>(state)));
    return S_OK;
  }

  uint32_t AddRef() override { return ++references_; }
  uint32_t Release() override {
    const uint32_t left = --references_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<uint32_t> references_{1};
};

}  // namespace

bool operator==(const GUID& a, const GUID& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
         std::memcmp(a.data4, b.data4, 8) == 0;
}

HRESULT DwmSetWindowAttribute(HWND hwnd, DWORD attribute, const void* value, DWORD size) {
  if (!isWindow(hwnd)) return E_HANDLE;
  if (!knownAttribute(attribute) || value == nullptr || size != 4) return E_INVALIDARG;
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.dwmFailure != S_OK) return s.dwmFailure;
  uint32_t v;
  std::memcpy(&v, value, 4);
  s.windows[hwnd].dwm[attribute] = v;
  return S_OK;
}

HRESULT DwmGetWindowAttribute(HWND hwnd, DWORD attribute, void* value, DWORD size) {
  if (!isWindow(hwnd)) return E_HANDLE;
  if (!knownAttribute(attribute) || value == nullptr || size != 4) return E_INVALIDARG;
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.dwmFailure != S_OK) return s.dwmFailure;
  uint32_t v = 0;
  auto w = s.windows.find(hwnd);
  if (w != s.windows.end()) {
    auto a = w->second.dwm.find(attribute);
    if (a != w->second.dwm.end()) v = a->second;
  }
  std::memcpy(value, &v, 4);
  return S_OK;
}

HRESULT DwmExtendFrameIntoClientArea(HWND hwnd, const MARGINS* margins) {
  if (!isWindow(hwnd)) return E_HANDLE;
  if (margins == nullptr) return E_INVALIDARG;
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.dwmFailure != S_OK) return s.dwmFailure;
  s.windows[hwnd].frameMargins = *margins;
  return S_OK;
}

BOOL SetWindowDisplayAffinity(HWND hwnd, DWORD affinity) {
  if (!isWindow(hwnd)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (affinity != WDA_NONE && affinity != WDA_MONITOR && affinity != WDA_EXCLUDEFROMCAPTURE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.windows[hwnd].affinity = affinity;
  return 1;
}

BOOL GetWindowDisplayAffinity(HWND hwnd, DWORD* affinity) {
  if (!isWindow(hwnd) || affinity == nullptr) {
    SetLastError(affinity ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return 0;
  }
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto w = s.windows.find(hwnd);
  *affinity = w == s.windows.end() ? WDA_NONE : w->second.affinity;
  return 1;
}

BOOL FlashWindowEx(const FLASHWINFO* info) {
  if (info == nullptr || info->cbSize != sizeof(FLASHWINFO)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!isWindow(info->hwnd)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  test::WindowAttributes& w = s.windows[info->hwnd];
  const bool wasFlashing = w.flash.has_value();
  if (info->dwFlags == FLASHW_STOP) {
    w.flash.reset();
  } else {
    w.flash = test::Flash{info->dwFlags, info->uCount, info->dwTimeout};
  }
  ++w.flashCalls;
  return wasFlashing ? 1 : 0;
}

HRESULT CoCreateInstance(const CLSID& clsid, void*, DWORD, const IID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!(clsid == CLSID_TaskbarList)) return REGDB_E_CLASSNOTREG;
  if (!(iid == IID_ITaskbarList3)) return E_NOINTERFACE;
  {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.taskbarFails) return REGDB_E_CLASSNOTREG;
  }
  *object = static_cast<ITaskbarList3*>(new TaskbarList());
  return S_OK;
}

namespace test {

WindowAttributes windowAttributes(HWND hwnd) {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto w = s.windows.find(hwnd);
  return w == s.windows.end() ? WindowAttributes{} : w->second;
}

void forgetWindowAttributes(HWND hwnd) {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.windows.erase(hwnd);
}

void failDwm(HRESULT result) {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.dwmFailure = result;
}

void failTaskbarCreation(bool fail) {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.taskbarFails = fail;
}

}  // namespace test

}  // namespace desk
