#include "zrkwebview/browser/src/dialogs/script-dialogs.h"

#include <any>
#include <memory>

#include "desk/attributes.h"
#include "desk/dialog.h"
#include "desk/window.h"
#include "zrkwebview/browser/src/app-paths.h"
#include "zrkwebview/browser/src/dialogs/modal-dialogs.h"
#include "zrkwebview/browser/src/timers.h"

namespace zrk {

using namespace desk;

namespace {

std::optional<std::string> findOption(const std::string& message, const std::string& key) {
  const std::string open = "[" + key + "=";
  size_t from = 0;
  for (;;) {
    const size_t at = message.find(open, from);
    if (at == std::string::npos) return std::nullopt;
    const size_t start = at + open.size();
    const size_t close = message.find(']', start);
    // No "]" after this tag means none after any later one either.
    if (close == std::string::npos) return std::nullopt;
    if (close > start) {
      std::string value = message.substr(start, close - start);
      if (!value.empty() && value.front() == '"') value.erase(0, 1);
      if (!value.empty() && value.back() == '"') value.pop_back();
      return value;
    }
    from = at + 1;  // "[KEY=]" is no option: look further
  }
}

std::string defaultTitle() {
  std::string name = productName();
  return name.empty() ? executableName(false) : name;
}

// Keeps the dialog alive until its completion has run, and answers once.
template <typename D>
HWND showOwned(std::shared_ptr<D> dialog, HWND owner, int dark,
               std::function<void(const std::vector<std::any>&)> completion) {
  HWND before = nullptr;
  const std::vector<HWND> open = detail::threadDialogs();
  if (!open.empty()) before = open.back();
  dialog->show(owner, [dialog, completion](const std::vector<std::any>& r) { completion(r); },
               dark);
  const std::vector<HWND> now = detail::threadDialogs();
  HWND made = now.empty() ? nullptr : now.back();
  return made != before ? made : nullptr;
}

bool firstIsTrue(const std::vector<std::any>& r) {
  return !r.empty() && r[0].type() == typeid(bool) && std::any_cast<bool>(r[0]);
}

}  // namespace

std::map<std::string, std::string> parseDialogOptions(const std::string& message,
                                                       const std::vector<std::string>& keys) {
  std::map<std::string, std::string> options;
  for (const std::string& key : keys) {
    if (std::optional<std::string> value = findOption(message, key)) options[key] = *value;
  }
  std::string shown = message;
  if (!options.empty()) {
    const size_t split = message.find("]:");
    if (split != std::string::npos) shown = message.substr(split + 2);
  }
  options["message"] = shown;
  return options;
}

HWND presentScriptDialog(HWND browserWindow, ScriptDialogKind kind, const std::string& message,
                         const std::optional<std::string>& defaultText,
                         std::function<void(const ScriptDialogAnswer&)> done) {
  auto answer = std::make_shared<std::function<void(const ScriptDialogAnswer&)>>(std::move(done));
  auto finish = [answer](const ScriptDialogAnswer& a) {
    auto f = std::move(*answer);
    *answer = nullptr;
    if (f) f(a);
  };
  if (kind == ScriptDialogKind::BeforeUnload) {
    finish(ScriptDialogAnswer{});
    return nullptr;
  }
  // The dialog belongs to the top-level window, not the browser's child window.
  HWND owner = browserWindow ? GetAncestor(browserWindow, GA_ROOT) : nullptr;
  if (owner == nullptr) owner = browserWindow;
  BOOL darkValue = 0;
  const int dark = owner && DwmGetWindowAttribute(owner, DWMWA_USE_IMMERSIVE_DARK_MODE, &darkValue,
                                                  sizeof darkValue) == S_OK &&
                           darkValue == 1
                       ? 1
                       : 0;
  switch (kind) {
    case ScriptDialogKind::Prompt: {
      auto o = parseDialogOptions(message, {"OK", "CANCEL", "TITLE"});
      auto d = std::make_shared<TextInputDialog>(o.count("TITLE") ? o["TITLE"] : defaultTitle(),
                                                 "", o["message"], defaultText.value_or(""),
                                                 false);
      if (o.count("CANCEL")) d->secondButtonText = o["CANCEL"];
      if (o.count("OK")) d->defaultButtonText = o["OK"];
      return showOwned(d, owner, dark, [finish](const std::vector<std::any>& r) {
        ScriptDialogAnswer a;
        if (firstIsTrue(r) && r.size() > 1 && r[1].type() == typeid(std::string)) {
          a.accept = true;
          a.text = std::any_cast<std::string>(r[1]);
        }
        finish(a);
      });
    }
    case ScriptDialogKind::Confirm: {
      auto o = parseDialogOptions(message, {"OK", "CANCEL", "TITLE"});
      auto d = std::make_shared<ConfirmDialog>(o.count("TITLE") ? o["TITLE"] : defaultTitle(),
                                               o["message"]);
      if (o.count("CANCEL")) d->secondButtonText = o["CANCEL"];
      if (o.count("OK")) d->defaultButtonText = o["OK"];
      return showOwned(d, owner, dark, [finish](const std::vector<std::any>& r) {
        finish(ScriptDialogAnswer{firstIsTrue(r), std::nullopt});
      });
    }
    case ScriptDialogKind::Alert:
    default: {
      auto o = parseDialogOptions(message, {"CLOSE", "TITLE", "ALTER", "ALTER_ONCE", "ALTER_CMD"});
      auto d = std::make_shared<AlertDialog>(o.count("TITLE") ? o["TITLE"] : defaultTitle(),
                                             o["message"], static_cast<int>(wmAlertAlternate()),
                                             o.count("ALTER_ONCE") > 0);
      if (o.count("ALTER")) d->alternateButtonText = o["ALTER"];
      if (o.count("ALTER_CMD")) d->alternateCommand = o["ALTER_CMD"];
      if (o.count("CLOSE") && !o["CLOSE"].empty()) d->defaultButtonText = o["CLOSE"];
      // An alert is never accepted: its answer only resumes the page.
      return showOwned(d, owner, dark,
                       [finish](const std::vector<std::any>&) { finish(ScriptDialogAnswer{}); });
    }
  }
}

}  // namespace zrk
