#include "zrkwebview/browser/src/http-plugins/dialog/dialog-impl.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

#include "desk/dialog.h"
#include "desk/errors.h"
#include "desk/folders.h"
#include "desk/system_dialogs.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "vesk/log.h"
#include "vesk/tstring.h"
#include "vesk/utf.h"
#include "zrkwebview/browser/src/dialogs/modal-dialogs.h"
#include "zrkwebview/browser/src/timers.h"

namespace zrk::plugin {

using json = nlohmann::json;
using namespace desk;

namespace {

std::u16string wide(const std::string& text) {
  const auto w = Vesk::utf::fromUtf8(text);
  return std::u16string(w.begin(), w.end());
}

std::string narrow(const std::u16string& text) { return Vesk::utf::toUtf8(text); }

std::string stringOption(const json& options, const char* key) {
  if (!options.is_object()) return std::string();
  auto it = options.find(key);
  return it != options.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool boolOption(const json& options, const char* key, bool fallback = false) {
  if (!options.is_object()) return fallback;
  auto it = options.find(key);
  return it != options.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

}  // namespace

std::optional<int64_t> pageInteger(const json& value, int64_t min, int64_t max) {
  if (value.is_number_unsigned()) {
    const uint64_t v = value.get<uint64_t>();
    if (v > static_cast<uint64_t>(INT64_MAX) || static_cast<int64_t>(v) > max ||
        static_cast<int64_t>(v) < min) {
      return std::nullopt;
    }
    return static_cast<int64_t>(v);
  }
  if (value.is_number_integer()) {
    const int64_t v = value.get<int64_t>();
    if (v < min || v > max) return std::nullopt;
    return v;
  }
  if (value.is_number_float()) {
    const double d = std::trunc(value.get<double>());
    if (std::isnan(d) || d < static_cast<double>(min) || d > static_cast<double>(max)) {
      return std::nullopt;
    }
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

// ---- file dialogs ----

FileFilter parseFileFilter(const json& filter) {
  FileFilter out;
  if (!filter.is_object()) return out;
  auto name = filter.find("name");
  auto extensions = filter.find("extensions");
  if (name == filter.end() || !name->is_string() || extensions == filter.end()) return out;
  out.name = name->get<std::string>();
  if (extensions->is_string()) {
    out.patterns = "*." + extensions->get<std::string>();
  } else if (extensions->is_array()) {
    size_t taken = 0;
    for (const json& entry : *extensions) {
      if (!entry.is_string()) continue;
      out.patterns += "*." + entry.get<std::string>();
      ++taken;
      if (taken < extensions->size()) out.patterns += ";";
    }
  }
  return out;
}

bool showFileDialog(HWND owner, const json& options, json& result) {
  const bool save = stringOption(options, "action") == "save";
  const std::string title = stringOption(options, "title");
  const std::string defaultPath = stringOption(options, "defaultPath");
  const std::string buttonLabel = stringOption(options, "buttonLabel");
  const std::string suggested = stringOption(options, "suggestFileName");
  const std::string defext = stringOption(options, "defext");
  const bool multiple = boolOption(options, "multiple");

  std::vector<FileFilter> filters;
  if (options.is_object()) {
    auto it = options.find("filters");
    if (it != options.end()) {
      auto take = [&](const json& f) {
        FileFilter parsed = parseFileFilter(f);
        if (!parsed.name.empty() && !parsed.patterns.empty()) filters.push_back(std::move(parsed));
      };
      if (it->is_array()) {
        for (const json& f : *it) take(f);
      } else if (it->is_object()) {
        take(*it);
      }
    }
  }
  struct Box {
    DWORD id;
    std::string variable;
  };
  std::vector<Box> boxes;

  std::unique_ptr<FileDialog> dialog;
  if (FAILED(createFileDialog(save, &dialog)) || !dialog) return false;
  dialog->SetOptions(save ? FOS_OVERWRITEPROMPT
                          : FOS_PATHMUSTEXIST | FOS_FILEMUSTEXIST |
                                (multiple ? FOS_ALLOWMULTISELECT : 0));
  if (!suggested.empty()) dialog->SetFileName(wide(suggested).c_str());
  if (!defaultPath.empty()) {
    std::shared_ptr<ShellItem> folder;
    if (SUCCEEDED(SHCreateItemFromParsingName(wide(defaultPath).c_str(), nullptr, &folder)) && folder) {
      dialog->SetFolder(folder.get());
    }
  }
  if (!title.empty()) dialog->SetTitle(wide(title).c_str());
  if (!buttonLabel.empty()) dialog->SetOkButtonLabel(wide(buttonLabel).c_str());
  if (!filters.empty()) {
    std::vector<std::u16string> texts;
    texts.reserve(filters.size() * 2);
    for (const FileFilter& f : filters) {
      texts.push_back(wide(f.name));
      texts.push_back(wide(f.patterns));
    }
    std::vector<COMDLG_FILTERSPEC> specs(filters.size());
    for (size_t i = 0; i < filters.size(); ++i) {
      specs[i].pszName = texts[2 * i].c_str();
      specs[i].pszSpec = texts[2 * i + 1].c_str();
    }
    dialog->SetFileTypes(static_cast<UINT>(specs.size()), specs.data());
  }
  if (!defext.empty()) {
    const std::string wanted = "*." + defext;
    for (size_t i = 0; i < filters.size(); ++i) {
      if (filters[i].patterns.find(wanted) != std::string::npos) {
        dialog->SetFileTypeIndex(static_cast<UINT>(i + 1));
        break;
      }
    }
    if (save) dialog->SetDefaultExtension(wide(defext).c_str());
  }
  if (options.is_object()) {
    auto it = options.find("options");
    if (it != options.end() && it->is_array() && !it->empty()) {
      dialog->StartVisualGroup(1000, u"");
      DWORD next = 1001;
      for (const json& entry : *it) {
        if (!entry.is_object()) continue;
        const std::string variable = stringOption(entry, "variable");
        const std::string text = stringOption(entry, "text");
        if (variable.empty() || text.empty()) continue;
        if (SUCCEEDED(dialog->AddCheckButton(next, wide(text).c_str(),
                                             boolOption(entry, "value") ? 1 : 0))) {
          boxes.push_back(Box{next, variable});
        }
        ++next;
      }
      dialog->EndVisualGroup();
    }
  }

  if (FAILED(dialog->Show(owner))) return false;

  if (save) {
    std::shared_ptr<ShellItem> item;
    std::u16string path;
    if (FAILED(dialog->GetResult(&item)) || !item ||
        FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
      return false;
    }
    result = json{{"path", narrow(path)}};
    return true;
  }
  std::vector<std::shared_ptr<ShellItem>> items;
  if (FAILED(dialog->GetResults(&items))) return false;
  json paths = json::array();
  for (const auto& item : items) {
    std::u16string path;
    if (item && SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
      paths.push_back(narrow(path));
    }
  }
  json values = nullptr;
  if (!boxes.empty()) {
    values = json::object();
    for (const Box& box : boxes) {
      BOOL checked = 0;
      if (SUCCEEDED(dialog->GetCheckButtonState(box.id, &checked))) {
        values[box.variable] = checked != 0;
      }
    }
  }
  result = json{{"path", std::move(paths)}, {"values", std::move(values)}};
  return true;
}

// ---- folder browser ----

FolderBrowseState folderBrowseState(const json& options) {
  FolderBrowseState state;
  state.title = wide(stringOption(options, "title"));
  state.defaultPath = wide(stringOption(options, "defaultPath"));
  state.buttonLabel = wide(stringOption(options, "buttonLabel"));
  state.description = wide(stringOption(options, "description"));
  if (options.is_object()) {
    auto it = options.find("options");
    if (it != options.end() && it->is_array()) {
      std::vector<FolderOption> accepted;
      for (const json& entry : *it) {
        if (!entry.is_object()) continue;
        auto variable = entry.find("variable");
        auto text = entry.find("text");
        if (variable == entry.end() || !variable->is_string() || text == entry.end() ||
            !text->is_string()) {
          continue;
        }
        accepted.push_back(FolderOption{variable->get<std::string>(),
                                        wide(text->get<std::string>()),
                                        boolOption(entry, "value"), -1});
      }
      if (!accepted.empty()) state.options = std::move(accepted);
    }
  }
  return state;
}

BOOL findTreeViewChild(HWND hwnd, LPARAM found) {
  char16_t name[64] = {};
  GetClassName(hwnd, name, 64);
  if (std::u16string(name) == u"SysTreeView32") {
    *reinterpret_cast<HWND*>(found) = hwnd;
    return 0;
  }
  return 1;
}

int folderBrowseCallback(HWND browser, UINT message, LPARAM, LPARAM data) {
  if (message != BFFM_INITIALIZED || data == 0) return 0;
  auto* state = reinterpret_cast<FolderBrowseState*>(data);
  if (!state->title.empty()) SetWindowText(browser, state->title.c_str());
  if (!state->defaultPath.empty()) {
    SendMessage(browser, BFFM_SETSELECTIONW, 1, reinterpret_cast<LPARAM>(state->defaultPath.c_str()));
  }
  if (!state->buttonLabel.empty()) {
    if (HWND ok = GetDlgItem(browser, IDOK)) SetWindowText(ok, state->buttonLabel.c_str());
  }
  int hidden = 0;
  HWND line = GetDlgItem(browser, kFolderDescriptionId);
  if (line && state->description.empty()) {
    RECT r{};
    GetWindowRect(line, &r);
    hidden = r.bottom - r.top;
    ShowWindow(line, SW_HIDE);
  }
  if (!state->options || state->options->empty()) return 0;
  std::vector<FolderOption>& entries = *state->options;
  HWND tree = nullptr;
  EnumChildWindows(browser, findTreeViewChild, reinterpret_cast<LPARAM>(&tree));
  if (tree == nullptr) return 0;
  HWND host = GetParent(tree);
  HWND parent = GetParent(host);
  RECT r{};
  GetWindowRect(host, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  const int n = static_cast<int>(entries.size());
  const int top2 = r.top - hidden;
  const int treeTop = top2 + kFolderOptionRow * n + kFolderOptionGap;
  MoveWindow(host, r.left, treeTop, r.right - r.left, r.bottom - treeTop, 1);
  for (int i = 0; i < n; ++i) {
    FolderOption& entry = entries[static_cast<size_t>(i)];
    entry.id = kFolderOptionFirstId + i;
    HWND box = CreateWindowEx(0, u"BUTTON", entry.text.c_str(), WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX,
                              r.left, top2 + kFolderOptionRow * i, r.right - r.left,
                              kFolderOptionHeight, parent,
                              reinterpret_cast<HMENU>(static_cast<intptr_t>(entry.id)),
                              reinterpret_cast<HINSTANCE>(GetWindowLongPtr(parent, GWLP_HINSTANCE)),
                              nullptr);
    if (box) SetWindowPos(box, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    if (entry.value) CheckDlgButton(parent, entry.id, BST_CHECKED);
  }
  if (!SetWindowSubclass(parent, folderOptionSubclassProc, kFolderSubclassId,
                         reinterpret_cast<DWORD_PTR>(&entries))) {
    ZRK_LOG_ERROR("SetWindowSubclass failed");
  }
  return 0;
}

LRESULT folderOptionSubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                 DWORD_PTR refData) {
  auto* entries = reinterpret_cast<std::vector<FolderOption>*>(refData);
  if (message == WM_COMMAND && entries) {
    for (FolderOption& entry : *entries) {
      if (entry.id >= 0 && static_cast<WPARAM>(entry.id) == wParam) {
        entry.value = !entry.value;
        CheckDlgButton(hwnd, entry.id, entry.value ? BST_CHECKED : BST_UNCHECKED);
        break;
      }
    }
  } else if (message == WM_DESTROY) {
    RemoveWindowSubclass(hwnd, folderOptionSubclassProc, kFolderSubclassId);
  }
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

bool showFolderDialog(HWND owner, const json& options, json& result) {
  FolderBrowseState state = folderBrowseState(options);
  BROWSEINFOW info;
  info.hwndOwner = owner;
  info.lpszTitle = state.description.empty() ? nullptr : state.description.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  info.lpfn = folderBrowseCallback;
  info.lParam = reinterpret_cast<LPARAM>(&state);
  ITEMIDLIST* list = SHBrowseForFolderW(&info);
  const DWORD code = GetLastError();
  bool read = false;
  if (list != nullptr) {
    // No 260-unit limit: a path as long as the file system allows is read whole.
    std::vector<char16_t> path(4097, 0);
    read = SHGetPathFromIDListEx(list, path.data(), static_cast<DWORD>(path.size()), 0) != 0;
    CoTaskMemFree(list);
    if (read) result = json{{"path", narrow(std::u16string(path.data()))}};
  }
  if (read) {
    if (state.options) {
      json values = json::object();
      for (const FolderOption& entry : *state.options) {
        if (!values.contains(entry.variable)) values[entry.variable] = entry.value;
      }
      result["values"] = std::move(values);
    }
    return true;
  }
  if (code == 0) return false;
  throw std::runtime_error(Vesk::TString::fromSystemError(code).utf8String() + " (" +
                           std::to_string(code) + ")");
}

// ---- font chooser ----

int pointsToFontHeight(HDC dc, int points) { return -MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72); }

int fontHeightToPoints(HDC dc, int height) { return -MulDiv(height, 72, GetDeviceCaps(dc, LOGPIXELSY)); }

UINT_PTR fontDialogHook(HWND dialog, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) {
    for (int id : {kFontColorLabelId, kFontColorBoxId}) {
      if (HWND control = GetDlgItem(dialog, id)) ShowWindow(control, SW_HIDE);
    }
  }
  return 0;
}

int fontFamilyEnumProc(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM data) {
  auto* lookup = reinterpret_cast<FontFamilyLookup*>(data);
  const std::u16string face(font->lfFaceName);
  if (lookup->face.rfind(face, 0) == 0 && !face.empty()) {
    if (lookup->family.empty()) lookup->family = face;
    lookup->familyFound = true;
    if (lookup->exactFound) return 0;
  }
  if (face != lookup->face) return 1;
  lookup->exactFound = true;
  return lookup->family.empty() ? 1 : 0;
}

std::u16string cutFaceName(const std::u16string& name) {
  size_t n = std::min<size_t>(name.size(), 31);
  if (n < name.size() && n > 0 && name[n - 1] >= 0xD800 && name[n - 1] <= 0xDBFF) --n;
  return name.substr(0, n);
}

bool showFontDialog(HWND owner, const json& options, json& result) {
  const json empty = json::object();
  const json& o = options.is_object() ? options : empty;
  auto number = [&](const char* key, int64_t min, int64_t max) -> std::optional<int64_t> {
    auto it = o.find(key);
    return it == o.end() ? std::nullopt : pageInteger(*it, min, max);
  };
  const int size = static_cast<int>(number("fontSize", 1, 1638).value_or(12));
  int weight = static_cast<int>(number("fontWeight", 0, 1000).value_or(-1));
  if (weight == -1) weight = boolOption(o, "fontBold") ? 700 : 400;
  const bool canChangeColor = boolOption(o, "canChangeColor");
  const uint32_t color =
      static_cast<uint32_t>(number("color", 0, 0xFFFFFFFFll).value_or(0)) & 0xFFFFFF;

  HDC dc = GetDC(nullptr);
  struct Release {
    HDC dc;
    ~Release() { ReleaseDC(nullptr, dc); }
  } release{dc};

  LOGFONTW font;
  font.lfHeight = pointsToFontHeight(dc, size);
  font.lfWeight = weight;
  font.lfItalic = boolOption(o, "fontItalic") ? 1 : 0;
  font.lfUnderline = boolOption(o, "fontUnderline") ? 1 : 0;
  font.lfStrikeOut = boolOption(o, "fontStrikeOut") ? 1 : 0;
  const std::u16string face = cutFaceName(wide(stringOption(o, "fontName")));
  std::memcpy(font.lfFaceName, face.data(), face.size() * sizeof(char16_t));
  font.lfFaceName[face.size()] = 0;

  CHOOSEFONTW choice;
  choice.lStructSize = sizeof choice;
  choice.hwndOwner = owner;
  choice.lpLogFont = &font;
  choice.Flags = CF_SCREENFONTS | CF_INITTOLOGFONTSTRUCT | CF_EFFECTS;
  if (canChangeColor) {
    choice.rgbColors = RGB((color >> 16) & 0xFF, (color >> 8) & 0xFF, color & 0xFF);
  } else {
    choice.Flags |= CF_ENABLEHOOK;
    choice.lpfnHook = fontDialogHook;
  }
  if (ChooseFontW(&choice) != 1) return false;

  FontFamilyLookup lookup;
  lookup.face = std::u16string(font.lfFaceName);
  LOGFONTW filter;
  filter.lfCharSet = DEFAULT_CHARSET;
  EnumFontFamiliesExW(dc, &filter, fontFamilyEnumProc, reinterpret_cast<LPARAM>(&lookup), 0);

  result = json{{"name", narrow(lookup.face)},
                {"family", narrow(lookup.family)},
                {"size", fontHeightToPoints(dc, font.lfHeight)},
                {"weight", font.lfWeight},
                {"bold", font.lfWeight == 700},
                {"italic", font.lfItalic != 0},
                {"underline", font.lfUnderline != 0},
                {"strikeOut", font.lfStrikeOut != 0}};
  if (canChangeColor) {
    const COLORREF c = choice.rgbColors;
    result["color"] = 0xFF000000u | (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
  }
  return true;
}

// ---- alert ----

json alertResultOf(const std::vector<std::any>& values) {
  if (values.empty()) return nullptr;
  json out = json{{"button", -1}, {"suppression", false}};
  for (const std::any& v : values) {
    if (const int* button = std::any_cast<int>(&v)) {
      out["button"] = *button;
    } else if (const long* wideButton = std::any_cast<long>(&v)) {
      out["button"] = *wideButton;
    } else if (const bool* flag = std::any_cast<bool>(&v)) {
      out["suppression"] = *flag;
    }
  }
  return out;
}

void showAlertDialog(HWND owner, const json& options, std::function<void(const json&)> onResult) {
  const json empty = json::object();
  const json& o = options.is_object() ? options : empty;
  std::vector<std::string> labels;
  if (auto it = o.find("buttons"); it != o.end() && it->is_array()) {
    for (const json& b : *it) {
      if (b.is_string()) labels.push_back(b.get<std::string>());
    }
  }
  bool vertical = true;
  if (auto it = o.find("buttonsLayout"); it != o.end()) {
    vertical = it->get<std::string>() != "horz";  // a non-string throws the type error
  }
  auto dialog = std::make_shared<AlertDialog>(stringOption(o, "title"), stringOption(o, "message"),
                                              static_cast<int>(wmAlertAlternate()),
                                              boolOption(o, "once"));
  const std::string ok = stringOption(o, "okButton");
  if (!ok.empty()) dialog->defaultButtonText = ok;
  if (!labels.empty()) {
    dialog->setButtons(labels, vertical);
  } else {
    const std::string cancel = stringOption(o, "cancelButton");
    const std::string alter = stringOption(o, "alterButton");
    if (!cancel.empty()) dialog->secondButtonText = cancel;
    if (!alter.empty()) dialog->alternateButtonText = alter;
    dialog->alternateCommand = stringOption(o, "alterCmd");
  }
  const std::string suppression = stringOption(o, "suppressionTitle");
  if (boolOption(o, "showSuppression") && !suppression.empty()) dialog->suppressionText = suppression;

  // The completion holds the dialog until the dialog lets the completion go after calling it.
  auto done = [dialog, owner, onResult = std::move(onResult)](const std::vector<std::any>& values) {
    // A system dialog still open on the same owner keeps it disabled.
    if (owner && IsWindow(owner) && ownerHolds(owner) > 0) EnableWindow(owner, 0);
    onResult(alertResultOf(values));
  };
  dialog->show(owner, std::move(done), 0);
}

}  // namespace zrk::plugin
