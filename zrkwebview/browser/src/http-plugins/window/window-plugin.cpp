#include "zrkwebview/browser/src/http-plugins/window/window-plugin.h"

#include <exception>
#include <functional>
#include <utility>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/app-paths.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/http-plugins/window/window-native.h"
#include "zrkwebview/browser/src/http-plugins/window/plugin-replies.h"
#include "zrkwebview/browser/src/http-plugins/window/window-values.h"
#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk::plugin {

namespace replies {

WindowLookup lookupWindow(const nlohmann::json& body, const char* emptyMessage) {
  const std::string label = payload::stringOr(body, "label");
  if (label.empty()) return {nullptr, error(400, emptyMessage)};
  std::shared_ptr<Window> window = App::instance()->findWindow(label);
  if (!window) return {nullptr, error(400, "Could not find window with label: " + label)};
  return {std::move(window), nullptr};
}

}  // namespace replies

namespace {

using json = nlohmann::json;
using replies::Reply;

// A command on the window that the body's label names.
using WindowCommand = std::function<Reply(Window& window, const json& body)>;

CommandHandler onWindow(WindowCommand command, const char* emptyMessage = replies::kEmptyLabel) {
  return [command = std::move(command), emptyMessage](const json& body, zrk::Webview*,
                                                      http::HttpRequest*) -> Reply {
    auto found = replies::lookupWindow(body, emptyMessage);
    if (!found.window) return found.failure;
    return command(*found.window, body);
  };
}

// An action: the operation, then "true" whatever it did.
CommandHandler action(std::function<void(Window&)> operation,
                      const char* emptyMessage = replies::kEmptyLabel) {
  return onWindow(
      [operation = std::move(operation)](Window& window, const json&) {
        operation(window);
        return replies::yes();
      },
      emptyMessage);
}

CommandHandler query(std::function<bool(Window&)> operation) {
  return onWindow([operation = std::move(operation)](Window& window, const json&) {
    return replies::json(operation(window));
  });
}

// --- create

WindowOptions optionsFrom(const json& options) {
  WindowOptions o;
  struct Flag {
    const char* key;
    bool WindowOptions::*field;
  };
  static constexpr Flag kFlags[] = {
      {"center", &WindowOptions::center},
      {"resizable", &WindowOptions::resizable},
      {"transparent", &WindowOptions::transparent},
      {"maximized", &WindowOptions::maximized},
      {"visible", &WindowOptions::visible},
      {"maximizable", &WindowOptions::maximizable},
      {"minimizable", &WindowOptions::minimizable},
      {"closable", &WindowOptions::closable},
      {"decorations", &WindowOptions::decorations},
      {"alwaysOnTop", &WindowOptions::alwaysOnTop},
      {"alwaysAtBottom", &WindowOptions::alwaysAtBottom},
      {"focused", &WindowOptions::focused},
      {"visibleOnAllWorkspace", &WindowOptions::visibleOnAllWorkspace},
      {"useDocumentTitle", &WindowOptions::useDocumentTitle},
      {"notInTaskbar", &WindowOptions::notInTaskbar},
      {"shadow", &WindowOptions::shadow},
      {"hiddenTitle", &WindowOptions::hiddenTitle},
  };
  for (const auto& flag : kFlags) {
    if (auto v = replies::boolOf(options, flag.key)) o.*flag.field = *v;
  }

  if (const json* rect = payload::member(options, "titleBarRect")) {
    const auto x = replies::floatOf(*rect, "x");
    const auto y = replies::floatOf(*rect, "y");
    const auto w = replies::floatOf(*rect, "width");
    const auto h = replies::floatOf(*rect, "height");
    if (x && y && w && h) o.titleBarRect = FloatRect{*x, *y, *w, *h};
  }

  struct Number {
    const char* key;
    std::optional<int32_t> WindowOptions::*field;
  };
  static constexpr Number kNumbers[] = {
      {"x", &WindowOptions::x},
      {"y", &WindowOptions::y},
      {"width", &WindowOptions::width},
      {"height", &WindowOptions::height},
      {"minWidth", &WindowOptions::minWidth},
      {"minHeight", &WindowOptions::minHeight},
      {"maxWidth", &WindowOptions::maxWidth},
      {"maxHeight", &WindowOptions::maxHeight},
      {"cornerRadius", &WindowOptions::cornerRadius},
  };
  for (const auto& number : kNumbers) {
    if (auto v = replies::int32Of(options, number.key)) {
      o.*number.field = static_cast<int32_t>(replies::clampCoordinate(*v));
    }
  }

  struct Text {
    const char* key;
    std::string WindowOptions::*field;
  };
  static constexpr Text kTexts[] = {
      {"url", &WindowOptions::url},
      {"title", &WindowOptions::title},
      {"theme", &WindowOptions::theme},
      {"tabbingIdentifier", &WindowOptions::tabbingIdentifier},
      {"identifier", &WindowOptions::identifier},
  };
  for (const auto& text : kTexts) {
    if (auto v = replies::stringOf(options, text.key)) o.*text.field = *v;
  }
  return o;
}

Reply create(const json& body, zrk::Webview*, http::HttpRequest*) {
  const std::string label = payload::stringOr(body, "label");
  const json* options = payload::member(body, "options");
  WindowOptions o = optionsFrom(options != nullptr ? *options : json());
  o.parent = payload::stringOr(body, "parent");
  auto app = App::instance();
  const std::string url = o.url;
  std::shared_ptr<Window> window = createWindow(app.get(), label, url, o);
  app.reset();
  if (!window) return replies::error(400, "failed to create window");
  return replies::json(window->label());
}

// --- relations and title

Reply find(const json& body, zrk::Webview*, http::HttpRequest*) {
  const std::string label = payload::stringOr(body, "label");
  if (label.empty()) return replies::text("");
  auto window = App::instance()->findWindow(label);
  return replies::text(window ? label : std::string());
}

Reply labelOf(const std::shared_ptr<Window>& window) {
  return replies::text(window ? window->label() : std::string());
}

Reply setTitle(Window& window, const json& body) {
  auto title = replies::stringOf(body, "title");
  if (!title) return replies::missingParameter("title");
  window.setTitle(*title);
  return replies::yes();
}

Reply isValid(const json& body, zrk::Webview*, http::HttpRequest*) {
  const std::string label = payload::stringOr(body, "label");
  if (label.empty()) return replies::error(400, replies::kEmptyLabelDestroy);
  return replies::json(App::instance()->findWindow(label) != nullptr);
}

// --- geometry

Reply setSizeLike(Window& window, const json& body, const char* message,
                  const std::function<void(Window&, FloatSize)>& apply) {
  const json* value = payload::member(body, "value");
  auto size = SizeValue::from(value != nullptr ? *value : json());
  if (!size) return replies::error(400, message);
  const double scale = size->unit == Unit::Logical ? window.scaleFactor() : 1.0;
  apply(window, size->physical(scale));
  return replies::yes();
}

Reply setSize(Window& window, const json& body) {
  const bool animated = payload::boolOr(body, "animated", false);
  return setSizeLike(window, body,
                     "Failed to set window size. No Physical or Logical size was provided.",
                     [animated](Window& w, FloatSize s) { w.setSize(s, animated); });
}

Reply setMinSize(Window& window, const json& body) {
  return setSizeLike(window, body,
                     "Failed to set window min size. No Physical or Logical size was provided.",
                     [](Window& w, FloatSize s) { w.setMinSize(s); });
}

Reply setMaxSize(Window& window, const json& body) {
  return setSizeLike(window, body,
                     "Failed to set window max size. No Physical or Logical size was provided.",
                     [](Window& w, FloatSize s) { w.setMaxSize(s); });
}

Reply setPosition(Window& window, const json& body) {
  const json* value = payload::member(body, "value");
  auto position = PositionValue::from(value != nullptr ? *value : json());
  if (!position) {
    return replies::error(
        400, "Failed to set window position. No Physical or Logical position was provided.");
  }
  const double scale = position->unit == Unit::Logical ? window.scaleFactor() : 1.0;
  window.setPosition(position->physical(scale));
  return replies::yes();
}

Reply setCursorPosition(Window& window, const json& body) {
  const json* value = payload::member(body, "value");
  if (value == nullptr) {
    return replies::error(
        400, "Failed to set cursor position. No Physical or Logical position was provided.");
  }
  const PositionValue position = PositionValue::lenient(*value);
  const double scale = position.unit == Unit::Logical ? window.scaleFactor() : 1.0;
  window.setCursorPosition(position.physical(scale));
  return replies::yes();
}

Reply move(Window& window, const json& body) {
  const bool animated = payload::boolOr(body, "animated", false);
  const json* pos = payload::member(body, "pos");
  if (pos == nullptr) return replies::error(400, "pos is required");
  const json* size = payload::member(body, "size");
  if (size == nullptr) return replies::error(400, "size is required");
  const double scale = window.scaleFactor();

  std::string type = payload::stringOr(*pos, "type");
  FloatPoint point{replies::floatOf(*pos, "x").value_or(0.0f),
                   replies::floatOf(*pos, "y").value_or(0.0f)};
  if (type == "Logical") point = {scaled(point.x, scale), scaled(point.y, scale)};

  if (auto sizeType = replies::stringOf(*size, "type")) type = *sizeType;
  FloatSize extent{replies::floatOf(*size, "width").value_or(0.0f),
                   replies::floatOf(*size, "height").value_or(0.0f)};
  if (type == "Logical") extent = {scaled(extent.width, scale), scaled(extent.height, scale)};

  window.move(point, extent, animated);
  return replies::yes();
}

// --- flags, style and theme

// A setter whose boolean key is required: missing, or of another JSON type, answers
// 400 Missing parameter: "key" and leaves the window alone.
CommandHandler setter(const char* key, std::function<void(Window&, bool)> operation) {
  return onWindow([key, operation = std::move(operation)](Window& window, const json& body) {
    auto value = replies::boolOf(body, key);
    if (!value) return replies::missingParameter(key);
    operation(window, *value);
    return replies::yes();
  });
}

Reply setEnabled(Window& window, const json& body) {
  window.setEnabled(payload::boolOr(body, "enabled", true));
  return replies::yes();
}

Reply requestUserAttention(Window& window, const json& body) {
  auto type = replies::int32Of(body, "value");
  if (!type) return replies::missingParameter("value");
  window.requestUserAttention(*type);
  return replies::yes();
}

Reply theme(Window& window, const json&) {
  return replies::json(window.theme() == 1 ? "dark" : "light");
}

// Only the exact word "light" makes the frame light; anything else, or nothing, makes it dark.
// "updateView" has no meaning for a frame here.
Reply setTheme(Window& window, const json& body) {
  const std::string word = payload::stringOr(body, "theme");
  window.setTheme(word == "light" ? 0 : 1);
  return replies::ok();
}

Reply getSystemTheme(const json&, zrk::Webview*, http::HttpRequest*) {
  return replies::text(isSystemDarkTheme() ? "dark" : "light");
}

// --- monitors and the cursor (no window lookup, no failure)

Reply availableMonitors(const json&, zrk::Webview*, http::HttpRequest*) {
  json list = json::array();
  for (const MonitorRecord& record : enumerateMonitors()) list.push_back(monitorToJson(record));
  return replies::json(list);
}

Reply primaryMonitor(const json&, zrk::Webview*, http::HttpRequest*) {
  return replies::json(monitorToJson(describePrimaryMonitor()));
}

// The monitor of the calling page's own window; a label in the body is not looked at.
Reply currentMonitor(const json&, zrk::Webview* webview, http::HttpRequest*) {
  std::shared_ptr<Window> window = webview != nullptr ? webview->window() : nullptr;
  return replies::json(monitorToJson(describeWindowMonitor(window.get())));
}

// A coordinate that is missing or no number counts as 0.
Reply monitorFromPoint(const json& body, zrk::Webview*, http::HttpRequest*) {
  const float x = replies::floatOf(body, "x").value_or(0.0f);
  const float y = replies::floatOf(body, "y").value_or(0.0f);
  return replies::json(monitorToJson(describeMonitorAtPoint(x, y)));
}

Reply cursorPosition(const json&, zrk::Webview*, http::HttpRequest*) {
  const auto [x, y] = cursorScreenPosition();
  return replies::json(positionToJson({x, y}));
}

// --- icon and taskbar progress

CommandHandler setIcon() {
  return [](const json& body, zrk::Webview* webview, http::HttpRequest*) -> Reply {
    auto found = replies::lookupWindow(body, replies::kEmptyLabel);
    if (!found.window) return found.failure;
    auto rid = replies::int32Of(body, "rid");
    if (!rid) return replies::error(400, "Icon resource id is required.");
    return replies::json(setWindowIcon(found.window.get(), webview, *rid));
  };
}

// "value" {status, progress}: a status word sets the state (any other, or none, clears the
// progress); a number under "progress" is the completed part of 100, its fraction cut off.
Reply setProgressBar(Window& window, const json& body) {
  const json* value = payload::member(body, "value");
  if (value == nullptr) {
    return replies::error(400, "Failed to set progress bar. No value was provided.");
  }
  ProgressBarState state;
  if (auto status = replies::stringOf(*value, "status")) {
    static const std::pair<const char*, int> kStatuses[] = {
        {"none", 0}, {"normal", 1}, {"indeterminate", 2}, {"paused", 3}, {"error", 4}};
    for (const auto& [word, number] : kStatuses) {
      if (*status == word) state.status = number;
    }
  }
  if (auto progress = replies::int32Of(*value, "progress")) {
    state.progress = static_cast<double>(*progress);
  }
  window.setProgressBar(state);
  return replies::yes();
}

}  // namespace

WindowPlugin::WindowPlugin() {
  name_ = "window";
  description_ = "window plugin";
  version_ = "1.0";
}

CommandTable WindowPlugin::commandTable() {
  using replies::kEmptyLabelClose;
  using replies::kEmptyLabelDestroy;
  return CommandTable{
      {"create", &create},
      {"close", action([](Window& w) { w.close(); }, kEmptyLabelClose)},
      {"destroy", action([](Window& w) { w.destroy(); }, kEmptyLabelDestroy)},
      {"title", onWindow([](Window& w, const json& body) {
         return replies::text(w.title(payload::boolOr(body, "from_option", false)));
       })},
      {"is_visible", query([](Window& w) { return w.isVisible(); })},
      {"is_closable", query([](Window& w) { return w.isClosable(); })},
      {"is_minimizable", query([](Window& w) { return w.isMinimizable(); })},
      {"is_maximizable", query([](Window& w) { return w.isMaximizable(); })},
      {"is_resizable", query([](Window& w) { return w.isResizable(); })},
      {"is_focused", query([](Window& w) { return w.isFocused(); })},
      {"is_fullscreen", query([](Window& w) { return w.isFullscreen(); })},
      {"is_minimized", query([](Window& w) { return w.isMinimized(); })},
      {"is_maximized", query([](Window& w) { return w.isMaximized(); })},
      {"has_title_bar", query([](Window& w) { return w.hasTitleBar(); })},
      {"is_activated", query([](Window& w) { return w.isActivated(); })},
      {"is_at_top", query([](Window& w) { return w.isAtTop(); })},
      {"is_restored", query([](Window& w) { return w.isRestored(); })},
      {"scale_factor", onWindow([](Window& w, const json&) {
         return replies::json(w.scaleFactor());
       })},
      {"device_scale_factor", onWindow([](Window& w, const json&) {
         return replies::json(w.deviceScaleFactor());
       })},
      {"outer_size", onWindow([](Window& w, const json&) {
         return replies::json(sizeToJson(w.outerSize()));
       })},
      {"outer_position", onWindow([](Window& w, const json&) {
         return replies::json(positionToJson(w.outerPosition()));
       })},
      {"inner_size", onWindow([](Window& w, const json&) {
         return replies::json(sizeToJson(w.innerSize()));
       })},
      {"inner_position", onWindow([](Window& w, const json&) {
         return replies::json(positionToJson(w.innerPosition()));
       })},
      {"titlebar_rect", onWindow([](Window& w, const json&) {
         return replies::json(rectToJson(w.titleBarRect()));
       })},
      {"center_to_parent", action([](Window& w) { w.centerToParent(); })},
      {"minimize", action([](Window& w) { w.setMinimized(true); })},
      {"unminimize", action([](Window& w) { w.setMinimized(false); })},
      {"maximize", action([](Window& w) { w.setMaximized(true); })},
      {"unmaximize", action([](Window& w) { w.setMaximized(false); })},
      {"toggle_maximize", action([](Window& w) { w.toggleMaximize(); })},
      {"show", action([](Window& w) { w.show(0); })},
      {"hide", action([](Window& w) { w.hide(); })},
      {"show_modal", onWindow([](Window& w, const json&) { return replies::json(w.showModal()); })},
      {"bring_to_top", action([](Window& w) { w.bringToTop(); })},
      {"set_focus", action([](Window& w) { w.setFocus(true); })},
      {"activate", action([](Window& w) { w.activate(); })},
      {"is_excluded_from_taskbar", query([](Window& w) { return w.isExcludedFromTaskbar(); })},
      {"is_content_edited", query([](Window& w) { return w.isContentEdited(); })},
      {"set_title", onWindow(&setTitle)},
      {"set_size", onWindow(&setSize)},
      {"set_position", onWindow(&setPosition)},
      {"move", onWindow(&move)},
      {"set_min_size", onWindow(&setMinSize)},
      {"set_max_size", onWindow(&setMaxSize)},
      {"set_cursor_position", onWindow(&setCursorPosition)},
      {"is_valid", &isValid},
      {"is_enabled", query([](Window& w) { return w.isEnabled(); })},
      {"parent_window", onWindow([](Window& w, const json&) { return labelOf(w.parentWindow()); })},
      {"owner_window", onWindow([](Window& w, const json&) { return labelOf(w.ownerWindow()); })},
      {"center", onWindow([](Window& w, const json& body) {
         w.center(payload::boolOr(body, "to_screen", false));
         return replies::ok();
       })},
      {"find", &find},
      {"theme", onWindow(&theme)},
      {"set_minimizable", setter("minimizable", [](Window& w, bool v) { w.setMinimizable(v); })},
      {"set_maximizable", setter("maximizable", [](Window& w, bool v) { w.setMaximizable(v); })},
      {"set_resizable", setter("resizable", [](Window& w, bool v) { w.setResizable(v); })},
      {"set_closable", setter("closable", [](Window& w, bool v) { w.setClosable(v); })},
      {"set_fullscreen", setter("fullscreen", [](Window& w, bool v) { w.setFullscreen(v); })},
      {"exclude_from_taskbar",
       setter("exclude", [](Window& w, bool v) { w.excludeFromTaskbar(v); })},
      {"set_visible", setter("visible", [](Window& w, bool v) { w.setVisible(v); })},
      {"set_always_on_top", setter("alwaysOnTop", [](Window& w, bool v) { w.setAlwaysOnTop(v); })},
      {"set_always_at_bottom",
       setter("alwaysAtBottom", [](Window& w, bool v) { w.setAlwaysAtBottom(v); })},
      {"set_content_protected",
       setter("contentProtected", [](Window& w, bool v) { w.setContentProtected(v); })},
      {"set_content_edited", setter("edited", [](Window& w, bool v) { w.setContentEdited(v); })},
      {"request_user_attention", onWindow(&requestUserAttention)},
      {"set_enabled", onWindow(&setEnabled, kEmptyLabelDestroy)},
      {"set_theme", onWindow(&setTheme)},
      {"get_system_theme", &getSystemTheme},
      {"available_monitors", &availableMonitors},
      {"primary_monitor", &primaryMonitor},
      {"current_monitor", &currentMonitor},
      {"monitor_from_point", &monitorFromPoint},
      {"cursor_position", &cursorPosition},
      {"set_icon", setIcon()},
      {"set_progress_bar", onWindow(&setProgressBar)},
  };
}

std::shared_ptr<Vesk::TObject> WindowPlugin::invoke(const std::string& command,
                                                    zrk::Webview* webview,
                                                    http::HttpResponseConnection* connection,
                                                    http::HttpRequest* request,
                                                    const nlohmann::json& payload) {
  (void)connection;
  const CommandTable table = commandTable();
  auto entry = table.find(command);
  if (entry == table.end()) return nullptr;
  try {
    return entry->second(payload, webview, request);
  } catch (const std::exception& e) {
    return replies::error(500, std::string("Internal error: ") + e.what());
  }
}

void registerWindowPlugin() {
  registerPluginOnce<WindowPlugin>();
}

}  // namespace zrk::plugin
