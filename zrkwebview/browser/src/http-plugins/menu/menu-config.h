// The popup-menu style that pages choose for the whole process: the menu command "config" stores
// its body, and every menu and submenu applies it to its popup menu when it is made.
#pragma once

#include <nlohmann/json.hpp>

namespace zrkmenu {
class ZrkMenu;
}

namespace zrk::plugin {

// Replaces the stored configuration (null at process start).
void setMenuConfig(const nlohmann::json& config);
// A copy of the stored configuration.
nlohmann::json menuConfig();

// Applies the stored configuration to `menu` and to the process-wide shadow settings: each known
// key whose value has the right JSON type reaches its setter (which clamps it); other keys and
// values are skipped. A configuration that is empty or not an object applies nothing. The seven
// per-menu colours are read as 0xAARRGGBB; "shadowColor" is kept in the library's own order.
void readMenuStyle(zrkmenu::ZrkMenu* menu);

}  // namespace zrk::plugin
