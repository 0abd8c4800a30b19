#include "desk/shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "desk/detail/codec.h"
#include "desk/folders.h"
#include "desk/log.h"
#include "desk/test_services.h"
#include "desk/thread.h"

namespace desk {

namespace {

DWORD fromErrno(int e) {
  switch (e) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    default: return ERROR_INVALID_PARAMETER;
  }
}

bool fail(std::string* error, DWORD code, const std::string& text) {
  SetLastError(code);
  if (error) *error = text;
  return false;
}

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return std::string();
  return std::string(cwd) + "/" + path;
}

// The parent folder of an absolute path without a trailing "/".
std::string parentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

// A folder of the trash (made with 0700 when missing), refused when it is a link, not a folder, or
// not the user's.
bool trashFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
    errno = EACCES;
    return false;
  }
  return true;
}

// The mount's top folder: walk up while the device stays the same (the path itself when it is a
// mount point).
std::string topFolder(const std::string& path, dev_t device) {
  std::string top = path;
  for (;;) {
    if (top == "/") return top;
    const std::string up = parentOf(top);
    struct stat st;
    if (stat(up.c_str(), &st) != 0 || st.st_dev != device) return top;
    top = up;
  }
}

// Percent-encodes a path for the info file (everything but unreserved characters and "/").
std::string encodePath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

// "name", "name.2", ... keeping the extension: "photo.jpg" gives "photo.2.jpg".
std::string numberedName(const std::string& name, int n) {
  if (n == 1) return name;
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return name + "." + std::to_string(n);
  return name.substr(0, dot) + "." + std::to_string(n) + name.substr(dot);
}

std::atomic<int>& trashMoveFailure() {
  static std::atomic<int> failure{0};
  return failure;
}

std::mutex& launcherMutex() {
  static std::mutex m;
  return m;
}

class RealLauncher final : public Launcher {
 public:
  DWORD launch(const LaunchRequest& request) override {
    if (request.argv.empty() || request.argv[0].empty()) return ERROR_INVALID_PARAMETER;
    const std::string program = findProgram(request.argv[0]);
    if (program.empty()) {
      logFormat(2, "launcher: %s not found", request.argv[0].c_str());
      return ERROR_FILE_NOT_FOUND;
    }
    if (access(program.c_str(), X_OK) != 0) return ERROR_ACCESS_DENIED;
    // Everything the children need is made before the fork: after it they only call
    // async-signal-safe functions.
    std::vector<char*> argv;
    for (const std::string& a : request.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const char* folder = request.workingFolder.empty() ? nullptr : request.workingFolder.c_str();
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return fromErrno(errno);
    const pid_t child = fork();
    if (child < 0) {
      const int e = errno;
      close(report[0]);
      close(report[1]);
      return fromErrno(e);
    }
    if (child == 0) {
      // The intermediate child: start the program and leave, so init adopts it.
      close(report[0]);
      const pid_t grandchild = fork();
      if (grandchild == 0) {
        setsid();
        int e = 0;
        if (folder && chdir(folder) != 0) {
          e = errno;
        } else {
          execv(program.c_str(), argv.data());
          e = errno;
        }
        (void)!write(report[1], &e, sizeof e);
        _exit(127);
      }
      if (grandchild < 0) {
        const int e = errno;
        (void)!write(report[1], &e, sizeof e);
      }
      _exit(0);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // The pipe closes at the exec (or with the grandchild); an error number arrives otherwise.
    int e = 0;
    ssize_t n;
    while ((n = read(report[0], &e, sizeof e)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (n == sizeof e && e != 0) {
      logFormat(2, "launcher: cannot start %s: %s", program.c_str(), std::strerror(e));
      return e == ENOENT && folder ? ERROR_PATH_NOT_FOUND : fromErrno(e);
    }
    return ERROR_SUCCESS;
  }

 private:
  static std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
      return access(name.c_str(), F_OK) == 0 ? name : std::string();
    }
    const char* pathVariable = std::getenv("PATH");
    const std::string path = pathVariable ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= path.size()) {
      size_t end = path.find(':', start);
      if (end == std::string::npos) end = path.size();
      const std::string folder = end > start ? path.substr(start, end - start) : ".";
      const std::string candidate = folder + "/" + name;
      struct stat st;
      if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
      start = end + 1;
    }
    return std::string();
  }
};

std::shared_ptr<Launcher>& launcherSlot() {
  static std::shared_ptr<Launcher> slot = std::make_shared<RealLauncher>();
  return slot;
}

class RecordingLauncher final : public Launcher {
 public:
  DWORD launch(const LaunchRequest& request) override {
    std::lock_guard<std::mutex> lock(mutex);
    requests.push_back(request);
    return failure;
  }
  std::mutex mutex;
  std::vector<LaunchRequest> requests;
  DWORD failure = ERROR_SUCCESS;
};

std::shared_ptr<RecordingLauncher>& recorderSlot() {
  static std::shared_ptr<RecordingLauncher> slot;
  return slot;
}

// Splits parameters at blanks; double quotes group, a backslash before a quote escapes it.
std::vector<std::string> splitParameters(const std::string& text) {
  std::vector<std::string> out;
  std::string current;
  bool inWord = false, quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size() && text[i + 1] == '"') {
      current.push_back('"');
      inWord = true;
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inWord) out.push_back(current);
      current.clear();
      inWord = false;
    } else {
      current.push_back(c);
      inWord = true;
    }
  }
  if (inWord) out.push_back(current);
  return out;
}

bool isUrl(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon < 2) return false;
  for (size_t i = 0; i < colon; ++i) {
    const char c = text[i];
    if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// The shared work of ShellExecute and ShellExecuteEx: 0 or a system error code.
DWORD execute(const std::string& verb, const std::string& file, const std::string& parameters,
              const std::string& folder) {
  if (file.empty()) return ERROR_FILE_NOT_FOUND;
  if (!folder.empty()) {
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  }
  LaunchRequest request;
  request.workingFolder = folder;
  const bool url = isUrl(file) && file[0] != '/';
  struct stat st;
  const bool exists = url || stat(file.c_str(), &st) == 0;
  if (verb.empty() || verb == "open") {
    if (!parameters.empty()) {
      request.argv.push_back(file);
      for (std::string& p : splitParameters(parameters)) request.argv.push_back(std::move(p));
    } else {
      if (!exists) return ERROR_FILE_NOT_FOUND;
      request.argv = {"xdg-open", file};
    }
  } else if (verb == "explore") {
    if (!exists || url) return ERROR_FILE_NOT_FOUND;
    if (!S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
    request.argv = {"xdg-open", file};
  } else {
    return ERROR_NO_ASSOCIATION;
  }
  return currentLauncher()->launch(request);
}

int smallError(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND: return SE_ERR_FNF;
    case ERROR_PATH_NOT_FOUND: return SE_ERR_PNF;
    case ERROR_ACCESS_DENIED: return SE_ERR_ACCESSDENIED;
    case ERROR_NOT_ENOUGH_MEMORY: return SE_ERR_OOM;
    case ERROR_NO_ASSOCIATION: return SE_ERR_NOASSOC;
    default: return SE_ERR_FNF;
  }
}

std::string narrow(const char16_t* text) { return detail::utf16ToUtf8(detail::wideView(text)); }

}  // namespace

bool moveToTrash(const std::string& given, std::string* error) {
  std::string path = absolutePath(given);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::string name = path.substr(path.rfind('/') + 1);
  if (given.empty() || path.empty() || name.empty() || name == "." || name == "..") {
    return fail(error, ERROR_INVALID_PARAMETER, "cannot move \"" + given + "\" to the trash");
  }
  struct stat item;
  if (lstat(path.c_str(), &item) != 0) {
    const int e = errno;
    return fail(error, fromErrno(e), path + ": " + std::strerror(e));
  }
  // The home trash when the item shares its file system; else the mount's own trash.
  const std::string data = knownFolderPath(FOLDERID_LocalAppData);
  std::string trash;
  std::string infoPath;  // the Path= line: absolute for the home trash, relative for a mount's
  struct stat dataStat;
  if (!data.empty() && mkdir(data.c_str(), 0700) != 0 && errno != EEXIST) {
    // No home data folder: only a mount's trash can serve.
  }
  if (!data.empty() && stat(data.c_str(), &dataStat) == 0 && dataStat.st_dev == item.st_dev) {
    trash = data + "/Trash";
    infoPath = path;
  } else {
    const std::string top = topFolder(path, item.st_dev);
    if (top == path) {
      return fail(error, ERROR_ACCESS_DENIED, path + ": a mount point cannot go to the trash");
    }
    trash = (top == "/" ? std::string() : top) + "/.Trash-" + std::to_string(getuid());
    infoPath = path.substr(top == "/" ? 1 : top.size() + 1);
  }
  if (!trashFolder(trash) || !trashFolder(trash + "/files") || !trashFolder(trash + "/info")) {
    const int e = errno;
    return fail(error, ERROR_NOT_SAME_DEVICE,
                path + ": no usable trash on its file system (" + trash + ": " + std::strerror(e) +
                    ")");
  }
  // Claim a name: the info file first, exclusively, then a free place in files/.
  std::string claimed, infoFile;
  int fd = -1;
  for (int n = 1; n < 10000 && fd < 0; ++n) {
    claimed = numberedName(name, n);
    infoFile = trash + "/info/" + claimed + ".trashinfo";
    fd = open(infoFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      if (errno != EEXIST) {
        const int e = errno;
        return fail(error, fromErrno(e), infoFile + ": " + std::strerror(e));
      }
      continue;
    }
    struct stat taken;
    if (lstat((trash + "/files/" + claimed).c_str(), &taken) == 0) {
      // A stray entry without its info file: leave it, try the next name.
      close(fd);
      unlink(infoFile.c_str());
      fd = -1;
    }
  }
  if (fd < 0) return fail(error, ERROR_ALREADY_EXISTS, path + ": no free name in the trash");
  char date[32];
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  const std::string info =
      "[Trash Info]\nPath=" + encodePath(infoPath) + "\nDeletionDate=" + date + "\n";
  const bool written = write(fd, info.data(), info.size()) == static_cast<ssize_t>(info.size());
  close(fd);
  const int injected = trashMoveFailure().exchange(0);
  if (injected) errno = injected;
  if (!written || injected ||
      rename(path.c_str(), (trash + "/files/" + claimed).c_str()) != 0) {
    const int e = written ? errno : EIO;
    unlink(infoFile.c_str());
    return fail(error, fromErrno(e), path + ": cannot move to the trash: " + std::strerror(e));
  }
  SetLastError(ERROR_SUCCESS);
  return true;
}

int SHFileOperationW(SHFILEOPSTRUCTW* operation) {
  if (operation == nullptr || operation->pFrom == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return static_cast<int>(ERROR_INVALID_PARAMETER);
  }
  if (operation->wFunc != FO_DELETE || !(operation->fFlags & FOF_ALLOWUNDO)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return static_cast<int>(ERROR_NOT_SUPPORTED);
  }
  for (const char16_t* p = operation->pFrom; *p; p += std::char_traits<char16_t>::length(p) + 1) {
    std::string error;
    if (!moveToTrash(narrow(p), &error)) {
      const DWORD code = GetLastError();
      logText(2, error);
      operation->fAnyOperationsAborted = 1;
      SetLastError(code);
      return static_cast<int>(code);
    }
  }
  return 0;
}

void setLauncher(std::shared_ptr<Launcher> launcher) {
  std::lock_guard<std::mutex> lock(launcherMutex());
  launcherSlot() = launcher ? std::move(launcher) : std::make_shared<RealLauncher>();
}

std::shared_ptr<Launcher> currentLauncher() {
  std::lock_guard<std::mutex> lock(launcherMutex());
  return launcherSlot();
}

HINSTANCE ShellExecuteW(HWND, const char16_t* verb, const char16_t* file,
                        const char16_t* parameters, const char16_t* folder, int) {
  const DWORD code = execute(narrow(verb), narrow(file), narrow(parameters), narrow(folder));
  SetLastError(code);
  return reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(code == ERROR_SUCCESS ? 42 : smallError(code)));
}

BOOL ShellExecuteExW(SHELLEXECUTEINFOW* info) {
  if (info == nullptr || info->cbSize != sizeof(SHELLEXECUTEINFOW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  info->hProcess = nullptr;
  const DWORD code = execute(narrow(info->lpVerb), narrow(info->lpFile),
                             narrow(info->lpParameters), narrow(info->lpDirectory));
  info->hInstApp = reinterpret_cast<HINSTANCE>(
      static_cast<intptr_t>(code == ERROR_SUCCESS ? 42 : smallError(code)));
  SetLastError(code);
  return code == ERROR_SUCCESS;
}

struct ITEMIDLIST {
  char path[1];
};

HRESULT SHParseDisplayName(const char16_t* name, void*, ITEMIDLIST** list, DWORD,
                           DWORD* attributesOut) {
  if (attributesOut) *attributesOut = 0;
  if (list == nullptr) return E_INVALIDARG;
  *list = nullptr;
  const std::string path = narrow(name);
  struct stat st;
  if (path.empty() || path[0] != '/' || lstat(path.c_str(), &st) != 0) {
    return static_cast<HRESULT>(0x80070002);  // the file was not found
  }
  auto* block = static_cast<ITEMIDLIST*>(std::malloc(path.size() + 1));
  if (block == nullptr) return E_OUTOFMEMORY;
  std::memcpy(block->path, path.c_str(), path.size() + 1);
  *list = block;
  return S_OK;
}

HRESULT SHOpenFolderAndSelectItems(const ITEMIDLIST* folder, UINT, const ITEMIDLIST**, DWORD) {
  if (folder == nullptr) return E_INVALIDARG;
  std::string path = folder->path;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  LaunchRequest request;
  request.argv = {"xdg-open", parentOf(path)};
  const DWORD code = currentLauncher()->launch(request);
  return code == ERROR_SUCCESS ? S_OK : static_cast<HRESULT>(0x80070000 | (code & 0xFFFF));
}

void ILFree(ITEMIDLIST* list) { std::free(list); }

namespace test {

void recordLaunches() {
  auto recorder = std::make_shared<RecordingLauncher>();
  recorderSlot() = recorder;
  setLauncher(recorder);
}

std::vector<LaunchRequest> launches() {
  auto recorder = recorderSlot();
  if (!recorder) return {};
  std::lock_guard<std::mutex> lock(recorder->mutex);
  return recorder->requests;
}

void failNextTrashMove(int errorNumber) { trashMoveFailure() = errorNumber; }

void failLaunches(DWORD code) {
  auto recorder = recorderSlot();
  if (!recorder) return;
  std::lock_guard<std::mutex> lock(recorder->mutex);
  recorder->failure = code;
}

}  // namespace test

}  // namespace desk
