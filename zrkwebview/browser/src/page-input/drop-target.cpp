#include "zrkwebview/browser/src/page-input/drop-target.h"

#include <cmath>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "desk/gdi.h"
#include "desk/window.h"
#include "vesk/log.h"

namespace zrk {

using namespace desk;

namespace {

bool emptyValue(const nlohmann::json& v) {
  return v.is_null() || ((v.is_object() || v.is_array()) && v.empty());
}

std::string idOf(const nlohmann::json& p) {
  if (p.is_string()) return p.get<std::string>();
  if (p.is_object() && p.contains("id") && p["id"].is_string()) return p["id"].get<std::string>();
  return {};
}

}  // namespace

CDropTarget::CDropTarget(HWND window, DropCallback drop, PageTest pageTest, std::string label)
    : window_(window), drop_(std::move(drop)), pageTest_(std::move(pageTest)),
      label_(std::move(label)) {}

std::shared_ptr<CDropTarget> CDropTarget::create(HWND window, DropCallback drop,
                                                 PageTest pageTest, std::string label) {
  auto t = std::make_shared<CDropTarget>(window, std::move(drop), std::move(pageTest),
                                         std::move(label));
  if (IsWindow(window)) t->registered_ = RegisterDragDrop(window, t) == S_OK;
  return t;
}

void CDropTarget::revoke() {
  if (registered_ && IsWindow(window_)) RevokeDragDrop(window_);
  registered_ = false;
}

void CDropTarget::addZone(const std::string& id, const std::string& selector) {
  addZone(id, selector, DropZoneFilter{});
}

void CDropTarget::addZone(const std::string& id, const std::string& selector,
                          const DropZoneFilter& f) {
  std::lock_guard<std::recursive_mutex> lock(zoneLock_);
  for (const DropZone& z : zones_) {
    if (z.id == id) return;
  }
  zones_.push_back(DropZone{id, selector, f.single, f.fileOnly, f.directoryOnly, f.exts});
}

void CDropTarget::removeZone(const std::string& id) {
  std::lock_guard<std::recursive_mutex> lock(zoneLock_);
  std::erase_if(zones_, [&](const DropZone& z) { return z.id == id; });
}

void CDropTarget::clearZones() {
  std::lock_guard<std::recursive_mutex> lock(zoneLock_);
  zones_.clear();
}

std::vector<DropZone> CDropTarget::zones() const {
  std::lock_guard<std::recursive_mutex> lock(zoneLock_);
  return zones_;
}

void CDropTarget::addZoneCommand(const nlohmann::json* payload) {
  std::string id;
  const nlohmann::json* options = nullptr;
  if (payload) {
    id = idOf(*payload);
    if (payload->is_object() && !id.empty()) options = payload;
  }
  if (id.empty()) {
    ZRK_LOG_WARN("add_dropzone requires a payload with dropzone id");
    return;
  }
  if (options == nullptr || emptyValue(*options)) {
    addZone(id, "");
    return;
  }
  std::string selector;
  if (options->contains("selector") && (*options)["selector"].is_string())
    selector = (*options)["selector"].get<std::string>();
  DropZoneFilter filter;
  if (options->contains("filter") && !emptyValue((*options)["filter"])) {
    const nlohmann::json& f = (*options)["filter"];
    auto flag = [&](const char* key, bool& out) {
      if (f.is_object() && f.contains(key) && f[key].is_boolean()) out = f[key].get<bool>();
    };
    flag("directoryOnly", filter.directoryOnly);
    flag("fileOnly", filter.fileOnly);
    flag("single", filter.single);
    if (f.is_object() && f.contains("exts") && f["exts"].is_array()) {
      for (const nlohmann::json& e : f["exts"]) filter.exts.push_back(e.get<std::string>());
    }
  }
  addZone(id, selector, filter);
}

void CDropTarget::removeZoneCommand(const nlohmann::json* payload) {
  const std::string id = payload ? idOf(*payload) : std::string();
  if (id.empty()) {
    ZRK_LOG_WARN("remove_dropzone requires a payload with dropzone id");
    return;
  }
  removeZone(id);
}

void CDropTarget::resetDrag() {
  paths_.clear();
  hasDirectory_ = false;
  hasFile_ = false;
  extensions_.clear();
}

std::vector<std::string> CDropTarget::readDroppedPaths(const DropData& data) {
  std::vector<std::string> out;
  for (const std::string& path : data.files) {
    if (path.empty()) continue;
    out.push_back(path);
    // A path that is gone (or unreadable) is neither a file nor a folder.
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(path, ec);
    if (ec) continue;
    if (std::filesystem::is_directory(st)) hasDirectory_ = true;
    if (std::filesystem::is_regular_file(st)) {
      hasFile_ = true;
      const std::string name = std::filesystem::path(path).filename().string();
      const size_t dot = name.rfind('.');
      if (dot != std::string::npos && dot + 1 < name.size()) {
        std::string ext = name.substr(dot + 1);
        for (char& c : ext) {
          if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        extensions_.insert(ext);
      }
    }
  }
  return out;
}

bool CDropTarget::matchesFilter(const DropZone& z) const {
  if (z.directoryOnly && !hasDirectory_) return false;
  if (z.fileOnly && !hasFile_) return false;
  if (z.single && paths_.size() > 1) return false;
  if (z.exts.empty()) return true;
  if (extensions_.empty()) return false;
  for (const std::string& e : z.exts) {
    if (extensions_.count(e)) return true;
  }
  return false;
}

bool CDropTarget::accepts(const DropZone& z, POINT clientPoint) {
  if (!matchesFilter(z)) return false;
  if (z.selector.empty()) return true;
  return pageTest_ && pageTest_(clientPoint, z.selector);
}

bool CDropTarget::hitTest(POINT clientPoint) {
  // Hovering answers as a drop would: whether some zone accepts.
  std::lock_guard<std::recursive_mutex> lock(zoneLock_);
  const std::vector<DropZone> zones = zones_;
  for (const DropZone& z : zones) {
    if (accepts(z, clientPoint)) return true;
  }
  return false;
}

HRESULT CDropTarget::DragEnter(const DropData& data, DWORD, POINT pt, DWORD* effect) {
  if (effect == nullptr) return E_POINTER;
  ScreenToClient(window_, &pt);
  resetDrag();
  paths_ = readDroppedPaths(data);
  if (hitTest(pt)) {
    *effect = DROPEFFECT_COPY;
    InvalidateRect(window_, nullptr, 1);
  } else {
    *effect = DROPEFFECT_NONE;
  }
  return S_OK;
}

HRESULT CDropTarget::DragOver(DWORD, POINT pt, DWORD* effect) {
  if (effect == nullptr) return E_POINTER;
  ScreenToClient(window_, &pt);
  *effect = hitTest(pt) ? DROPEFFECT_COPY : DROPEFFECT_NONE;
  return S_OK;
}

HRESULT CDropTarget::DragLeave() {
  resetDrag();
  InvalidateRect(window_, nullptr, 1);
  return S_OK;
}

HRESULT CDropTarget::Drop(const DropData&, DWORD, POINT pt, DWORD* effect) {
  if (effect == nullptr) return E_POINTER;
  ScreenToClient(window_, &pt);
  std::vector<std::string> ids;
  {
    std::lock_guard<std::recursive_mutex> lock(zoneLock_);
    const std::vector<DropZone> zones = zones_;
    for (const DropZone& z : zones) {
      if (accepts(z, pt)) ids.push_back(z.id);
    }
  }
  if (ids.empty()) {
    *effect = DROPEFFECT_NONE;
    return S_OK;
  }
  *effect = DROPEFFECT_COPY;
  if (!paths_.empty() && drop_) drop_(label_, paths_, ids, pt);
  InvalidateRect(window_, nullptr, 1);
  return S_OK;
}

std::string elementAtPointScript(int x, int y, const std::string& selector) {
  const std::string literal =
      nlohmann::json(selector).dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
  std::string script =
      "if( typeof __testHtmlElementAtPoint!=='function' ){ function __testHtmlElementAtPoint(x, "
      "y, selector){ try{ var elem = selector ? document.querySelector(selector) : "
      "document.elementFromPoint(x, y); if( elem ) { if( !selector ) return true; var rect = "
      "elem.getBoundingClientRect(); return (x >= rect.left && x <= rect.right && y >= rect.top "
      "&& y <= rect.bottom); } }catch(err){ console.error(err); } return false; } } "
      "__testHtmlElementAtPoint(@params);";
  const std::string params = std::to_string(x) + ", " + std::to_string(y) + ", " + literal;
  script.replace(script.find("@params"), 7, params);
  return script;
}

std::string dropEventPayload(const std::vector<std::string>& paths,
                             const std::vector<std::string>& targets, POINT point, double scale) {
  if (scale == 0 || std::isnan(scale)) scale = 1;
  nlohmann::json j;
  j["paths"] = paths;
  j["targets"] = targets;
  j["x"] = static_cast<int64_t>(std::trunc(point.x / scale));
  j["y"] = static_cast<int64_t>(std::trunc(point.y / scale));
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace zrk
