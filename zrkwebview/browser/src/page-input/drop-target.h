// Drop zones: the page declares zones (an id, an optional CSS selector, an optional filter on the
// dragged files); the webview's drop target answers a drag over its content window with "copy"
// when some zone accepts it, and on a drop reports the paths and the accepting zones to the page
// as the event "zrk://dropzone".
#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "desk/dragdrop.h"
#include "desk/types.h"

namespace zrk {

struct DropZoneFilter {
  bool directoryOnly = false;
  bool fileOnly = false;
  bool single = false;
  std::vector<std::string> exts;  // compared exactly with the lower-case extensions dragged
};

struct DropZone {
  std::string id;
  std::string selector;  // empty: the whole page
  bool single = false;
  bool fileOnly = false;
  bool directoryOnly = false;
  std::vector<std::string> exts;
};

class CDropTarget : public desk::IDropTarget {
 public:
  // Called with the label, the dropped paths, the accepting zones' ids and the client point.
  using DropCallback = std::function<void(const std::string& label,
                                          const std::vector<std::string>& paths,
                                          const std::vector<std::string>& targets,
                                          desk::POINT point)>;
  // Whether the client point lies inside the first element matching the selector.
  using PageTest = std::function<bool(desk::POINT point, const std::string& selector)>;

  CDropTarget(desk::HWND window, DropCallback drop, PageTest pageTest, std::string label);
  // Made shared, and registered on `window` when that is a window (see registered()).
  static std::shared_ptr<CDropTarget> create(desk::HWND window, DropCallback drop,
                                             PageTest pageTest, std::string label);
  bool registered() const { return registered_; }
  // Revokes the registration while the window exists.
  void revoke();

  // Adds a zone unless one with that id exists (an existing zone is never updated).
  void addZone(const std::string& id, const std::string& selector);
  void addZone(const std::string& id, const std::string& selector, const DropZoneFilter& filter);
  void removeZone(const std::string& id);
  void clearZones();
  std::vector<DropZone> zones() const;

  // The "add_dropzone" / "remove_dropzone" commands with the page's payload (a string id or an
  // object {"id", "selector", "filter"}). A missing id logs a warning and changes nothing; a
  // non-string element of "exts" throws the JSON library's type error and adds nothing.
  void addZoneCommand(const nlohmann::json* payload);
  void removeZoneCommand(const nlohmann::json* payload);

  desk::HRESULT DragEnter(const desk::DropData& data, desk::DWORD keyState, desk::POINT pt,
                    desk::DWORD* effect) override;
  desk::HRESULT DragOver(desk::DWORD keyState, desk::POINT pt, desk::DWORD* effect) override;
  desk::HRESULT DragLeave() override;
  desk::HRESULT Drop(const desk::DropData& data, desk::DWORD keyState, desk::POINT pt,
               desk::DWORD* effect) override;

  // Some zone accepts the drag at the client point.
  bool hitTest(desk::POINT clientPoint);
  bool matchesFilter(const DropZone& zone) const;
  // Reads the dragged paths into the drag state (kinds and extensions).
  std::vector<std::string> readDroppedPaths(const desk::DropData& data);

  const std::vector<std::string>& paths() const { return paths_; }
  bool hasDirectory() const { return hasDirectory_; }
  bool hasFile() const { return hasFile_; }
  const std::set<std::string>& extensions() const { return extensions_; }

 private:
  bool accepts(const DropZone& zone, desk::POINT clientPoint);
  void resetDrag();
  bool registered_ = false;
  mutable std::recursive_mutex zoneLock_;
  desk::HWND window_;
  DropCallback drop_;
  PageTest pageTest_;
  std::string label_;
  std::vector<DropZone> zones_;  // in the order they were added
  std::vector<std::string> paths_;
  bool hasDirectory_ = false;
  bool hasFile_ = false;
  std::set<std::string> extensions_;
};

// The page script that tests a point against the first element matching the selector (its
// bounding rectangle, edges included); the selector goes in as a quoted string literal.
std::string elementAtPointScript(int x, int y, const std::string& selector);
// The "zrk://dropzone" payload: paths, targets, and the point divided by the device scale factor
// (1 when 0) and truncated toward zero.
std::string dropEventPayload(const std::vector<std::string>& paths,
                             const std::vector<std::string>& targets, desk::POINT point,
                             double scale);

}  // namespace zrk
