#include "desk/system_dialogs.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <utility>

#include "desk/choosers/gtk_chooser.h"
#include "desk/choosers/portal_chooser.h"
#include "desk/detail/codec.h"
#include "desk/detail/owner.h"
#include "desk/dialog.h"
#include "desk/display/backend.h"
#include "desk/errors.h"
#include "desk/folders.h"
#include "desk/message.h"
#include "desk/nested_loop.h"
#include "desk/sysinfo.h"
#include "desk/thread.h"
#include "desk/window.h"

namespace desk {

// The item list the shell functions hand out (desk/shell.cpp makes the same): the UTF-8 path and
// its terminator in one malloc'd block, freed with CoTaskMemFree or ILFree.
struct ITEMIDLIST {
  char path[1];
};

namespace {

using detail::utf16ToUtf8;
using detail::utf8ToUtf16;
using detail::wideView;

std::mutex& stateMutex() {
  static std::mutex m;
  return m;
}

struct Scripts {
  std::function<test::FileDialogAnswer(const FileDialogRecord&)> file;
  std::function<test::FolderAnswer(HWND)> folder;
  std::function<test::FontAnswer(const test::FontChooserRecord&)> font;
  bool failFileCreation = false;
  std::vector<FileDialogRecord> fileDialogs;
  std::vector<test::FontChooserRecord> fontChoosers;
  std::optional<std::vector<std::string>> fontFamilies;
  HWND lastBrowser = nullptr;
  std::map<HWND, std::pair<int, bool>> holds;  // owner: holds, whether it was disabled before
  std::optional<std::string> realChoosers;     // the portal's bus when forced on
};

Scripts& scripts() {
  static Scripts s;
  return s;
}

thread_local DWORD lastChooserError = 0;

// ---- the modal frame every system dialog runs in ----

constexpr UINT kPresent = WM_APP + 0x3F0;
// A chooser out of this thread (the portal) has answered: `answered` reads its answer.
constexpr UINT kAnswered = WM_APP + 0x3F1;
constexpr LRESULT kConfirmed = 1;
constexpr LRESULT kCancelled = 0;
constexpr LRESULT kFailed = -1;
// The presentation goes on after it returns: kAnswered ends it.
constexpr LRESULT kPending = -2;
const char16_t kDialogClass[] = u"DeskSystemDialog";
const char16_t kHostClass[] = u"SHBrowseForFolder ShellNameSpace Control";
const char16_t kTreeClass[] = u"SysTreeView32";

struct Modal {
  std::shared_ptr<NestedLoop> loop;
  std::function<LRESULT(HWND)> present;
  std::function<LRESULT(HWND)> answered;
  std::u16string selection;  // BFFM_SETSELECTIONW
};

std::map<HWND, std::shared_ptr<Modal>>& modals() {
  static std::map<HWND, std::shared_ptr<Modal>> m;
  return m;
}

std::shared_ptr<Modal> modalOf(HWND hwnd) {
  std::lock_guard<std::mutex> lock(stateMutex());
  auto it = modals().find(hwnd);
  return it == modals().end() ? nullptr : it->second;
}

LRESULT dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kPresent: {
      auto modal = modalOf(hwnd);
      if (!modal || modal->loop->ended()) return 0;
      LRESULT result = kFailed;
      try {
        result = modal->present ? modal->present(hwnd) : kCancelled;
      } catch (...) {
        result = kFailed;
      }
      if (result != kPending) modal->loop->end(result);
      return 0;
    }
    case kAnswered: {
      auto modal = modalOf(hwnd);
      if (!modal || modal->loop->ended()) return 0;
      LRESULT result = kFailed;
      try {
        result = modal->answered ? modal->answered(hwnd) : kCancelled;
      } catch (...) {
        result = kFailed;
      }
      modal->loop->end(result);
      return 0;
    }
    case BFFM_SETSELECTIONW: {
      auto modal = modalOf(hwnd);
      if (modal && wParam && lParam) {
        modal->selection = std::u16string(wideView(reinterpret_cast<const char16_t*>(lParam)));
      }
      return 0;
    }
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY: {
      // Closed from outside (or with its owner): the dialog ends as cancelled.
      if (auto modal = modalOf(hwnd)) modal->loop->end(kCancelled);
      return 0;
    }
    default:
      return DefWindowProc(hwnd, message, wParam, lParam);
  }
}

LRESULT plainProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProc(hwnd, message, wParam, lParam);
}

void registerClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    registerDialogClasses();
    for (auto [name, proc] : {std::pair{kDialogClass, &dialogProc},
                              std::pair{kHostClass, &plainProc}, std::pair{kTreeClass, &plainProc}}) {
      WNDCLASSEX wc;
      wc.lpfnWndProc = proc;
      wc.lpszClassName = name;
      RegisterClassEx(&wc);
    }
  });
}

HWND child(HWND parent, const char16_t* cls, const char16_t* text, int id, int x, int y, int w,
           int h, DWORD style = 0) {
  return CreateWindowEx(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                        reinterpret_cast<HMENU>(static_cast<intptr_t>(id)), nullptr, nullptr);
}

struct OwnerHold {
  explicit OwnerHold(HWND owner) : owner(owner) {
    if (owner) holdOwner(owner);
  }
  ~OwnerHold() {
    if (owner) releaseOwner(owner);
  }
  HWND owner;
};

// Makes the dialog window, lets `setup` build on it, holds the owner and runs the loop until the
// presentation answers or the window goes. kConfirmed, kCancelled or kFailed.
LRESULT runModal(HWND owner, const std::u16string& caption, int width, int height,
                 const std::function<void(HWND)>& setup, std::function<LRESULT(HWND)> present,
                 HWND* made = nullptr) {
  registerClasses();
  HWND hwnd = CreateWindowEx(0, kDialogClass, caption.c_str(), WS_POPUP | WS_CAPTION, 0, 0, width,
                             height, owner && IsWindow(owner) ? owner : nullptr, nullptr, nullptr,
                             nullptr);
  if (hwnd == nullptr) return kFailed;
  if (made) *made = hwnd;
  auto modal = std::make_shared<Modal>();
  modal->loop = std::make_shared<NestedLoop>();
  modal->present = std::move(present);
  {
    std::lock_guard<std::mutex> lock(stateMutex());
    modals()[hwnd] = modal;
  }
  struct Cleanup {
    HWND hwnd;
    ~Cleanup() {
      if (IsWindow(hwnd)) DestroyWindow(hwnd);
      std::lock_guard<std::mutex> lock(stateMutex());
      modals().erase(hwnd);
    }
  } cleanup{hwnd};
  OwnerHold hold(owner && IsWindow(owner) ? owner : nullptr);
  if (setup) setup(hwnd);
  ShowWindow(hwnd, SW_SHOWNORMAL);
  if (!PostMessage(hwnd, kPresent, 0, 0)) return kFailed;
  const LRESULT result = modal->loop->run(kCancelled);
  return modal->loop->quitReceived() ? kCancelled : result;
}

void headless(const char* kind, const std::u16string& title) {
  std::fprintf(stderr, "%s: %s (no answer: cancelled)\n", kind, utf16ToUtf8(title).c_str());
}

std::u16string text(const char16_t* s) { return std::u16string(wideView(s)); }

// ---- the real choosers ----

struct RealRoad {
  std::string portalBus;  // empty: the session bus
  bool portal = true;
};

// Where a dialog without a script goes: nullopt when nobody can answer it (headless).
std::optional<RealRoad> realRoad() {
  std::optional<std::string> forced;
  {
    std::lock_guard<std::mutex> lock(stateMutex());
    forced = scripts().realChoosers;
  }
  if (forced) return RealRoad{*forced, !forced->empty()};
  if (display::activeBackend() == display::Backend::X11) return RealRoad{};
  return std::nullopt;
}

// Serves the thread's queue while GTK has the chooser; false once the dialog must end (closed
// from outside, or a WM_QUIT, which is posted again for the enclosing loop).
std::function<bool()> queuePump(const std::shared_ptr<NestedLoop>& loop) {
  return [loop] {
    MSG msg;
    while (!loop->ended() && PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));
        return false;
      }
      TranslateMessage(&msg);
      DispatchMessage(&msg);
    }
    return !loop->ended();
  };
}

LRESULT outcomeOf(const choosers::FileAnswer& answer) {
  switch (answer.outcome) {
    case choosers::Outcome::Chosen: return kConfirmed;
    case choosers::Outcome::Failed: return kFailed;
    default: return kCancelled;
  }
}

// One dialog's trip to a real chooser.
struct RealAsk {
  std::mutex mutex;
  bool answered = false;
  choosers::FileAnswer answer;
  std::shared_ptr<choosers::PortalFileChooser> portal;
};

// Ends a dialog's trip when the dialog ends, however it ends: a portal still showing its chooser
// is asked to take it down, and the connection goes.
struct RealAskEnd {
  std::shared_ptr<RealAsk> ask;
  ~RealAskEnd() {
    if (!ask->portal) return;
    bool open = false;
    {
      std::lock_guard<std::mutex> lock(ask->mutex);
      open = !ask->answered;
    }
    // The closed request's answer is posted to a dialog that is gone: the failed post must not
    // replace the error the dialog leaves its caller.
    const DWORD error = GetLastError();
    if (open) ask->portal->close();
    ask->portal.reset();
    SetLastError(error);
  }
};

// Hands the request to the portal when one answers, else to GTK. `finish` runs on the dialog's
// thread with the answer and gives the dialog's outcome. kPending while the portal has the
// request; nullopt when no chooser can be shown.
std::optional<LRESULT> askChooser(HWND dialog, const RealRoad& road,
                                  const choosers::FileRequest& request,
                                  const std::shared_ptr<RealAsk>& ask,
                                  std::function<LRESULT(const choosers::FileAnswer&)> finish) {
  auto modal = modalOf(dialog);
  if (!modal) return kFailed;
  if (road.portal) {
    std::string error;
    auto portal = choosers::PortalFileChooser::connect(road.portalBus, error);
    if (portal && portal->available()) {
      modal->answered = [ask, finish](HWND) {
        choosers::FileAnswer answer;
        {
          std::lock_guard<std::mutex> lock(ask->mutex);
          answer = ask->answer;
        }
        return finish(answer);
      };
      ask->portal = portal;
      portal->start(request, [ask, dialog](choosers::FileAnswer answer) {
        {
          std::lock_guard<std::mutex> lock(ask->mutex);
          ask->answered = true;
          ask->answer = std::move(answer);
        }
        // Fails only when the dialog has already gone.
        PostMessage(dialog, kAnswered, 0, 0);
      });
      return kPending;
    }
  }
  if (!choosers::gtkAvailable()) return std::nullopt;
  choosers::FileAnswer answer = choosers::runGtkFileChooser(request, queuePump(modal->loop));
  {
    std::lock_guard<std::mutex> lock(ask->mutex);
    ask->answered = true;
  }
  return finish(answer);
}

// A pattern list as globs: "*.*", all files to the system's dialog, is "*" to a chooser here.
std::vector<std::string> globsOf(const std::string& patterns) {
  std::vector<std::string> globs;
  size_t start = 0;
  while (start <= patterns.size()) {
    size_t end = patterns.find(';', start);
    if (end == std::string::npos) end = patterns.size();
    std::string glob = patterns.substr(start, end - start);
    if (glob == "*.*") glob = "*";
    if (!glob.empty()) globs.push_back(std::move(glob));
    start = end + 1;
  }
  return globs;
}

choosers::FileRequest fileRequestOf(const FileDialogRecord& record, const std::u16string& caption) {
  choosers::FileRequest request;
  request.save = record.save;
  request.directory = (record.options & FOS_PICKFOLDERS) != 0;
  request.multiple = !record.save && (record.options & FOS_ALLOWMULTISELECT) != 0;
  request.confirmOverwrite = (record.options & FOS_OVERWRITEPROMPT) != 0;
  request.title = utf16ToUtf8(caption);
  request.acceptLabel = utf16ToUtf8(record.okLabel);
  request.currentFolder = utf16ToUtf8(record.folder);
  request.currentName = utf16ToUtf8(record.fileName);
  for (const auto& [name, patterns] : record.fileTypes) {
    request.filters.push_back(choosers::FileFilter{utf16ToUtf8(name), globsOf(utf16ToUtf8(patterns))});
  }
  if (record.fileTypeIndex >= 1 && record.fileTypeIndex <= request.filters.size()) {
    request.currentFilter = record.fileTypeIndex - 1;
  }
  for (const FileDialogCheckBox& box : record.checkBoxes) {
    request.choices.push_back(
        choosers::CheckChoice{std::to_string(box.id), utf16ToUtf8(box.label), box.checked});
  }
  return request;
}

std::u16string windowText(HWND hwnd) {
  if (hwnd == nullptr) return std::u16string();
  std::u16string buffer(static_cast<size_t>(GetWindowTextLength(hwnd)) + 1, u'\0');
  const int n = GetWindowText(hwnd, buffer.data(), static_cast<int>(buffer.size()));
  buffer.resize(static_cast<size_t>(std::max(n, 0)));
  return buffer;
}

// The check boxes a browse callback put on the browser.
std::vector<HWND> browserCheckBoxes(HWND browser) {
  std::vector<HWND> boxes;
  EnumChildWindows(
      browser,
      [](HWND hwnd, LPARAM data) -> BOOL {
        char16_t name[16] = {};
        GetClassName(hwnd, name, 16);
        std::u16string cls(name);
        for (char16_t& c : cls) {
          if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        }
        const LONG_PTR style = GetWindowLongPtr(hwnd, GWL_STYLE);
        if (cls == u"BUTTON" && (style & 0xF) == static_cast<LONG_PTR>(BS_AUTOCHECKBOX)) {
          reinterpret_cast<std::vector<HWND>*>(data)->push_back(hwnd);
        }
        return 1;
      },
      reinterpret_cast<LPARAM>(&boxes));
  return boxes;
}

}  // namespace

// ---- owners ----

int holdOwner(HWND owner) {
  if (owner == nullptr) return 0;
  bool first = false;
  int count = 0;
  {
    std::lock_guard<std::mutex> lock(stateMutex());
    auto& entry = scripts().holds[owner];
    first = entry.first == 0;
    count = ++entry.first;
  }
  if (first) {
    const bool wasDisabled = detail::setOwnerEnabled(owner, false);
    std::lock_guard<std::mutex> lock(stateMutex());
    scripts().holds[owner].second = wasDisabled;
  }
  return count;
}

int releaseOwner(HWND owner) {
  if (owner == nullptr) return 0;
  bool enable = false;
  int left = 0;
  {
    std::lock_guard<std::mutex> lock(stateMutex());
    auto it = scripts().holds.find(owner);
    if (it == scripts().holds.end()) return 0;
    left = --it->second.first;
    if (left <= 0) {
      enable = !it->second.second;
      scripts().holds.erase(it);
    }
  }
  if (enable && IsWindow(owner)) detail::setOwnerEnabled(owner, true);
  return left;
}

int ownerHolds(HWND owner) {
  std::lock_guard<std::mutex> lock(stateMutex());
  auto it = scripts().holds.find(owner);
  return it == scripts().holds.end() ? 0 : it->second.first;
}

// ---- file dialogs ----

HRESULT ShellItem::GetDisplayName(SIGDN kind, std::u16string* name) const {
  if (name == nullptr) return E_POINTER;
  if (kind != SIGDN_FILESYSPATH || !readable_) return E_FAIL;
  *name = path_;
  return S_OK;
}

HRESULT SHCreateItemFromParsingName(const char16_t* path, void*, std::shared_ptr<ShellItem>* item) {
  if (item == nullptr) return E_POINTER;
  item->reset();
  const std::string p = utf16ToUtf8(wideView(path));
  struct stat st;
  if (p.empty() || stat(p.c_str(), &st) != 0) return static_cast<HRESULT>(0x80070002);
  *item = std::make_shared<ShellItem>(text(path));
  return S_OK;
}

FileDialog::FileDialog(bool save) {
  record_.save = save;
  record_.options = save ? FOS_OVERWRITEPROMPT | FOS_PATHMUSTEXIST
                         : FOS_PATHMUSTEXIST | FOS_FILEMUSTEXIST;
}

HRESULT FileDialog::SetOptions(DWORD options) {
  record_.options = options;
  return S_OK;
}
HRESULT FileDialog::GetOptions(DWORD* options) const {
  if (options == nullptr) return E_POINTER;
  *options = record_.options;
  return S_OK;
}
HRESULT FileDialog::SetFileName(const char16_t* name) {
  record_.fileName = text(name);
  return S_OK;
}
HRESULT FileDialog::SetFolder(const ShellItem* folder) {
  if (folder == nullptr) return E_INVALIDARG;
  std::u16string path;
  if (FAILED(folder->GetDisplayName(SIGDN_FILESYSPATH, &path))) return E_INVALIDARG;
  record_.folder = path;
  return S_OK;
}
HRESULT FileDialog::SetTitle(const char16_t* title) {
  record_.title = text(title);
  return S_OK;
}
HRESULT FileDialog::SetOkButtonLabel(const char16_t* label) {
  record_.okLabel = text(label);
  return S_OK;
}
HRESULT FileDialog::SetFileTypes(UINT count, const COMDLG_FILTERSPEC* types) {
  if (count == 0 || types == nullptr) return E_INVALIDARG;
  // Only once, as the system dialog allows.
  if (!record_.fileTypes.empty()) return E_FAIL;
  for (UINT i = 0; i < count; ++i) record_.fileTypes.emplace_back(text(types[i].pszName), text(types[i].pszSpec));
  return S_OK;
}
HRESULT FileDialog::SetFileTypeIndex(UINT index) {
  if (index == 0 || index > record_.fileTypes.size()) return E_INVALIDARG;
  record_.fileTypeIndex = index;
  return S_OK;
}
HRESULT FileDialog::SetDefaultExtension(const char16_t* extension) {
  record_.defaultExtension = text(extension);
  return S_OK;
}
HRESULT FileDialog::StartVisualGroup(DWORD id, const char16_t*) {
  if (record_.groupOpen) return E_FAIL;
  record_.groupId = id;
  record_.groupOpen = true;
  return S_OK;
}
HRESULT FileDialog::EndVisualGroup() {
  if (!record_.groupOpen) return E_FAIL;
  record_.groupOpen = false;
  return S_OK;
}
HRESULT FileDialog::AddCheckButton(DWORD id, const char16_t* label, BOOL checked) {
  if (id == record_.groupId && record_.groupId != 0) return E_INVALIDARG;
  for (const auto& box : record_.checkBoxes) {
    if (box.id == id) return E_INVALIDARG;
  }
  record_.checkBoxes.push_back(FileDialogCheckBox{id, text(label), checked != 0});
  finalChecks_[id] = checked != 0;
  return S_OK;
}
HRESULT FileDialog::GetCheckButtonState(DWORD id, BOOL* checked) const {
  if (checked == nullptr) return E_POINTER;
  auto it = finalChecks_.find(id);
  if (it == finalChecks_.end()) return E_INVALIDARG;
  *checked = it->second ? 1 : 0;
  return S_OK;
}

HRESULT FileDialog::Show(HWND owner) {
  record_.owner = owner;
  record_.shown = true;
  results_.clear();
  std::function<test::FileDialogAnswer(const FileDialogRecord&)> script;
  {
    std::lock_guard<std::mutex> lock(stateMutex());
    script = scripts().file;
    scripts().fileDialogs.push_back(record_);
  }
  test::FileDialogAnswer answer;
  const std::u16string caption =
      !record_.title.empty() ? record_.title : std::u16string(record_.save ? u"Save As" : u"Open");
  auto ask = std::make_shared<RealAsk>();
  RealAskEnd askEnd{ask};
  choosers::FileAnswer real;
  bool byChooser = false;
  const LRESULT outcome = runModal(owner, caption, 640, 480, nullptr, [&](HWND dialog) -> LRESULT {
    if (!script) {
      if (auto road = realRoad()) {
        auto asked = askChooser(dialog, *road, fileRequestOf(record_, caption), ask,
                                [&](const choosers::FileAnswer& answer) {
                                  real = answer;
                                  byChooser = true;
                                  return outcomeOf(answer);
                                });
        if (asked) return *asked;
      }
      headless(record_.save ? "save dialog" : "open dialog", caption);
      return kCancelled;
    }
    answer = script(record_);
    switch (answer.kind) {
      case test::FileDialogAnswer::Kind::Choose: return kConfirmed;
      case test::FileDialogAnswer::Kind::Fail: return kFailed;
      default: return kCancelled;
    }
  });
  if (outcome == kFailed) {
    return answer.kind == test::FileDialogAnswer::Kind::Fail && FAILED(answer.failure)
               ? answer.failure
               : E_FAIL;
  }
  if (outcome != kConfirmed) return HRESULT_CANCELLED;
  if (byChooser) {
    answer.paths = real.paths;
    answer.unreadable = real.notLocal;
    for (const auto& [id, state] : real.choices) {
      char* end = nullptr;
      const unsigned long number = std::strtoul(id.c_str(), &end, 10);
      if (end != id.c_str() && *end == '\0') answer.checks[static_cast<DWORD>(number)] = state;
    }
  }
  for (const auto& [id, state] : answer.checks) {
    if (finalChecks_.count(id)) finalChecks_[id] = state;
  }
  resultsFail_ = answer.resultsFail;
  for (size_t i = 0; i < answer.paths.size(); ++i) {
    results_.push_back(
        std::make_shared<ShellItem>(utf8ToUtf16(answer.paths[i]), answer.unreadable.count(i) == 0));
  }
  return S_OK;
}

HRESULT FileDialog::GetResult(std::shared_ptr<ShellItem>* item) const {
  if (item == nullptr) return E_POINTER;
  if (resultsFail_ || results_.empty()) return E_FAIL;
  *item = results_.front();
  return S_OK;
}

HRESULT FileDialog::GetResults(std::vector<std::shared_ptr<ShellItem>>* items) const {
  if (items == nullptr) return E_POINTER;
  if (resultsFail_ || record_.save || results_.empty()) return E_FAIL;
  *items = results_;
  return S_OK;
}

HRESULT createFileDialog(bool save, std::unique_ptr<FileDialog>* dialog) {
  if (dialog == nullptr) return E_POINTER;
  dialog->reset();
  {
    std::lock_guard<std::mutex> lock(stateMutex());
    if (scripts().failFileCreation) return REGDB_E_CLASSNOTREG;
  }
  *dialog = std::make_unique<FileDialog>(save);
  return S_OK;
}

// ---- folder browser ----

namespace {

ITEMIDLIST* makeItemList(const std::string& path) {
  auto* block = static_cast<ITEMIDLIST*>(std::malloc(path.size() + 1));
  if (block == nullptr) return nullptr;
  std::memcpy(block->path, path.c_str(), path.size() + 1);
  return block;
}

}  // namespace

ITEMIDLIST* SHBrowseForFolderW(BROWSEINFOW* info) {
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::function<test::FolderAnswer(HWND)> script;
  {
    std::lock_guard<std::mutex> lock(stateMutex());
    script = scripts().folder;
  }
  test::FolderAnswer answer;
  const std::u16string prompt = text(info->lpszTitle);
  auto setup = [&](HWND browser) {
    {
      std::lock_guard<std::mutex> lock(stateMutex());
      scripts().lastBrowser = browser;
    }
    child(browser, u"Static", prompt.c_str(), kFolderDescriptionId, 12, 12, 396, 32);
    HWND host = child(browser, kHostClass, u"", 0x3744, 12, 52, 396, 380);
    child(host, kTreeClass, u"", 0x3741, 0, 0, 396, 380);
    child(browser, u"Button", u"OK", IDOK, 236, 450, 80, 26, BS_DEFPUSHBUTTON);
    child(browser, u"Button", u"Cancel", IDCANCEL, 324, 450, 80, 26);
    if (info->lpfn) info->lpfn(browser, BFFM_INITIALIZED, 0, info->lParam);
  };
  auto ask = std::make_shared<RealAsk>();
  RealAskEnd askEnd{ask};
  const LRESULT outcome =
      runModal(info->hwndOwner, u"Browse For Folder", 420, 520, setup, [&](HWND browser) -> LRESULT {
        if (!script) {
          if (auto road = realRoad()) {
            // The chooser is told what the callback made of the browser.
            choosers::FileRequest request;
            request.directory = true;
            request.title = utf16ToUtf8(windowText(browser));
            request.acceptLabel = utf16ToUtf8(windowText(GetDlgItem(browser, IDOK)));
            if (auto modal = modalOf(browser)) request.currentFolder = utf16ToUtf8(modal->selection);
            for (HWND box : browserCheckBoxes(browser)) {
              request.choices.push_back(choosers::CheckChoice{
                  std::to_string(GetDlgCtrlID(box)), utf16ToUtf8(windowText(box)),
                  SendMessage(box, BM_GETCHECK, 0, 0) == BST_CHECKED});
            }
            auto asked = askChooser(browser, *road, request, ask,
                                    [&, browser](const choosers::FileAnswer& chosen) -> LRESULT {
              // The boxes the person changed are clicked, so the browser's owner sees them as
              // a person's clicks on the browser would show.
              for (HWND box : browserCheckBoxes(browser)) {
                auto it = chosen.choices.find(std::to_string(GetDlgCtrlID(box)));
                const bool checked = SendMessage(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
                if (it != chosen.choices.end() && it->second != checked) {
                  SendMessage(box, BM_CLICK, 0, 0);
                }
              }
              if (chosen.outcome == choosers::Outcome::Chosen) {
                if (chosen.paths.empty() || chosen.notLocal.count(0)) return kCancelled;
                answer.choose = true;
                answer.path = chosen.paths.front();
                return kConfirmed;
              }
              return outcomeOf(chosen);
            });
            if (asked) return *asked;
          }
          headless("folder browser", prompt);
          return kCancelled;
        }
        answer = script(browser);
        return answer.choose ? kConfirmed : kCancelled;
      });
  if (outcome == kConfirmed) {
    ITEMIDLIST* list = makeItemList(answer.path);
    SetLastError(list ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY);
    return list;
  }
  SetLastError(outcome == kFailed && answer.lastError == 0 ? ERROR_NOT_ENOUGH_MEMORY
                                                           : answer.lastError);
  return nullptr;
}

BOOL SHGetPathFromIDListEx(const ITEMIDLIST* list, char16_t* path, DWORD length, int) {
  if (list == nullptr || path == nullptr || length == 0) return 0;
  const std::u16string wide = utf8ToUtf16(list->path);
  if (wide.empty() || wide.size() + 1 > length) {
    path[0] = 0;
    return 0;
  }
  std::memcpy(path, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
  return 1;
}

BOOL SHGetPathFromIDListW(const ITEMIDLIST* list, char16_t* path) {
  return SHGetPathFromIDListEx(list, path, MAX_PATH, 0);
}

// ---- font chooser ----

namespace {

// GTK's font chooser, started from the chooser's initial font; its choice replaces the face,
// size, weight and slant, and everything else the caller set stays.
LRESULT chooseFont(const test::FontChooserRecord& record, test::FontAnswer& answer, HWND dialog) {
  auto modal = modalOf(dialog);
  if (!modal) return kFailed;
  HDC dc = GetDC(nullptr);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  const LOGFONTW& initial = record.initial;
  choosers::FontRequest request;
  request.face = utf16ToUtf8(wideView(initial.lfFaceName));
  const int height = initial.lfHeight < 0 ? -initial.lfHeight : initial.lfHeight;
  request.points = height != 0 && dpi > 0 ? MulDiv(height, 72, dpi) : 12;
  request.weight = initial.lfWeight > 0 ? static_cast<int>(initial.lfWeight) : 400;
  request.italic = initial.lfItalic != 0;
  const choosers::FontAnswer chosen = choosers::runGtkFontChooser("Font", request, queuePump(modal->loop));
  if (chosen.outcome == choosers::Outcome::Failed) return kFailed;
  if (chosen.outcome != choosers::Outcome::Chosen) return kCancelled;
  LOGFONTW font = initial;
  const std::u16string face = utf8ToUtf16(chosen.face);
  // The face field holds 31 units and the terminator; a surrogate pair is never split.
  size_t n = std::min<size_t>(face.size(), 31);
  if (n > 0 && n < face.size() && face[n - 1] >= 0xD800 && face[n - 1] <= 0xDBFF) --n;
  std::fill(std::begin(font.lfFaceName), std::end(font.lfFaceName), u'\0');
  std::memcpy(font.lfFaceName, face.data(), n * sizeof(char16_t));
  font.lfHeight = -MulDiv(chosen.points, dpi > 0 ? dpi : 96, 72);
  font.lfWeight = chosen.weight;
  font.lfItalic = chosen.italic ? 1 : 0;
  answer.kind = test::FontAnswer::Kind::Choose;
  answer.font = font;
  return kConfirmed;
}

}  // namespace

BOOL ChooseFontW(CHOOSEFONTW* choice) {
  lastChooserError = 0;
  if (choice == nullptr || choice->lpLogFont == nullptr) {
    lastChooserError = 0xFFFF;  // CDERR_DIALOGFAILURE
    return 0;
  }
  std::function<test::FontAnswer(const test::FontChooserRecord&)> script;
  {
    std::lock_guard<std::mutex> lock(stateMutex());
    script = scripts().font;
  }
  test::FontChooserRecord record;
  record.owner = choice->hwndOwner;
  record.flags = choice->Flags;
  if (choice->Flags & CF_INITTOLOGFONTSTRUCT) record.initial = *choice->lpLogFont;
  record.initialColor = choice->rgbColors;
  size_t index = 0;
  auto store = [&] {
    std::lock_guard<std::mutex> lock(stateMutex());
    scripts().fontChoosers[index] = record;
  };
  {
    std::lock_guard<std::mutex> lock(stateMutex());
    index = scripts().fontChoosers.size();
    scripts().fontChoosers.push_back(record);
  }
  test::FontAnswer answer;
  auto setup = [&](HWND dialog) {
    HWND label = child(dialog, u"Static", u"Colour:", kFontColorLabelId, 12, 300, 60, 16);
    HWND box = child(dialog, u"Static", u"", kFontColorBoxId, 80, 296, 120, 22);
    if ((choice->Flags & CF_ENABLEHOOK) && choice->lpfnHook) {
      record.hooked = true;
      choice->lpfnHook(dialog, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(choice));
    }
    // The chooser itself is shown after this: the controls' own visibility is what counts.
    auto shown = [](HWND c) { return (GetWindowLongPtr(c, GWL_STYLE) & WS_VISIBLE) != 0; };
    record.colorLabelVisible = shown(label);
    record.colorBoxVisible = shown(box);
    store();
  };
  const std::u16string caption = u"Font";
  const LRESULT outcome =
      runModal(choice->hwndOwner, caption, 440, 380, setup, [&](HWND dialog) -> LRESULT {
        if (!script) {
          if (realRoad() && choosers::gtkAvailable()) return chooseFont(record, answer, dialog);
          headless("font chooser", utf8ToUtf16(utf16ToUtf8(record.initial.lfFaceName)));
          return kCancelled;
        }
        answer = script(record);
        switch (answer.kind) {
          case test::FontAnswer::Kind::Choose: return kConfirmed;
          case test::FontAnswer::Kind::Fail: return kFailed;
          default: return kCancelled;
        }
      });
  if (outcome == kConfirmed) {
    if (answer.font) *choice->lpLogFont = *answer.font;
    if (answer.color) choice->rgbColors = *answer.color;
    return 1;
  }
  if (outcome == kFailed) lastChooserError = answer.error != 0 ? answer.error : 0xFFFF;
  return 0;
}

DWORD CommDlgExtendedError() { return lastChooserError; }

int EnumFontFamiliesExW(HDC, LOGFONTW*, FONTENUMPROCW proc, LPARAM data, DWORD) {
  if (proc == nullptr) return 0;
  std::optional<std::vector<std::string>> injected;
  {
    std::lock_guard<std::mutex> lock(stateMutex());
    injected = scripts().fontFamilies;
  }
  const std::vector<std::string> families = injected ? *injected : fontFamilies();
  int last = 1;
  for (const std::string& family : families) {
    LOGFONTW font;
    const std::u16string wide = utf8ToUtf16(family);
    // The face field holds 31 units and the terminator; a surrogate pair is never split.
    size_t n = std::min<size_t>(wide.size(), 31);
    if (n > 0 && n < wide.size() && wide[n - 1] >= 0xD800 && wide[n - 1] <= 0xDBFF) --n;
    std::memcpy(font.lfFaceName, wide.data(), n * sizeof(char16_t));
    font.lfFaceName[n] = 0;
    font.lfCharSet = DEFAULT_CHARSET;
    TEXTMETRICW metrics;
    last = proc(&font, &metrics, 4 /* TRUETYPE_FONTTYPE */, data);
    if (last == 0) break;
  }
  return last;
}

namespace test {

void setFileDialogScript(std::function<FileDialogAnswer(const FileDialogRecord&)> script) {
  std::lock_guard<std::mutex> lock(stateMutex());
  scripts().file = std::move(script);
}

std::vector<FileDialogRecord> fileDialogs() {
  std::lock_guard<std::mutex> lock(stateMutex());
  return scripts().fileDialogs;
}

void failFileDialogCreation(bool fail) {
  std::lock_guard<std::mutex> lock(stateMutex());
  scripts().failFileCreation = fail;
}

void setFolderBrowserScript(std::function<FolderAnswer(HWND)> script) {
  std::lock_guard<std::mutex> lock(stateMutex());
  scripts().folder = std::move(script);
}

HWND lastFolderBrowser() {
  std::lock_guard<std::mutex> lock(stateMutex());
  return scripts().lastBrowser;
}

bool clickControl(HWND parent, int id) {
  HWND c = GetDlgItem(parent, id);
  if (c == nullptr) return false;
  SendMessage(c, BM_CLICK, 0, 0);
  return true;
}

void setFontChooserScript(std::function<FontAnswer(const FontChooserRecord&)> script) {
  std::lock_guard<std::mutex> lock(stateMutex());
  scripts().font = std::move(script);
}

std::vector<FontChooserRecord> fontChoosers() {
  std::lock_guard<std::mutex> lock(stateMutex());
  return scripts().fontChoosers;
}

void setFontFamilies(std::optional<std::vector<std::string>> families) {
  std::lock_guard<std::mutex> lock(stateMutex());
  scripts().fontFamilies = std::move(families);
}

void resetSystemDialogs() {
  std::lock_guard<std::mutex> lock(stateMutex());
  Scripts& s = scripts();
  s.file = nullptr;
  s.folder = nullptr;
  s.font = nullptr;
  s.failFileCreation = false;
  s.fileDialogs.clear();
  s.fontChoosers.clear();
  s.fontFamilies.reset();
  s.lastBrowser = nullptr;
  s.holds.clear();
  s.realChoosers.reset();
}

void useRealChoosers(std::optional<std::string> portalBus) {
  std::lock_guard<std::mutex> lock(stateMutex());
  scripts().realChoosers = std::move(portalBus);
}

}  // namespace test

}  // namespace desk
