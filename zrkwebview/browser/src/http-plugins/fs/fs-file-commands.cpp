// The commands on one file or folder named by its path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <nlohmann/json.hpp>

#include "vesk/crypto.h"
#include "vesk/tdata.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-open-files.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-plugin.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-support.h"

namespace zrk::plugin {

using namespace fs;
namespace stdfs = std::filesystem;

namespace {

std::string cantOpen(int error) { return "Can't open file. (" + std::to_string(error) + ")"; }

// A window of a file streamed from disk: `length` bytes from the stream's position, or fewer
// when the file ends first. Chunked when the length of what comes out is not known in advance
// (text mode).
class FileWindowResponse : public http::HttpResponse {
  VESK_DECLARE_CLASS(FileWindowResponse, http::HttpResponse, "zrk::plugin")

 public:
  FileWindowResponse(std::FILE* file, uint64_t length, bool chunked)
      : file_(file), left_(length), chunked_(chunked) {
    addHeader("Content-Type", "application/octet-stream");
  }
  ~FileWindowResponse() override {
    if (file_ != nullptr) std::fclose(file_);
  }

  bool isChunked() override { return chunked_; }
  bool supportsRanges() override { return false; }
  bool isEnd() override { return left_ == 0; }
  uint64_t contentLength() override { return left_; }
  std::string read(size_t maxBytes) override {
    std::string bytes;
    if (left_ == 0 || file_ == nullptr) return bytes;
    bytes.resize(static_cast<size_t>(std::min<uint64_t>(maxBytes, left_)));
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), file_);
    if (got < bytes.size()) {
      if (std::ferror(file_)) throw std::runtime_error(systemErrorText(errno));
      left_ = 0;  // the file ended early (it shrank, or text mode took CRs out)
    } else {
      left_ -= got;
    }
    bytes.resize(got);
    if (left_ == 0) {
      std::fclose(file_);
      file_ = nullptr;
    }
    return bytes;
  }
  void seek(uint64_t offset) override { (void)offset; }

 private:
  std::FILE* file_;
  uint64_t left_;
  bool chunked_;
};

// stat(2) facts of a path, links followed, with the creation time where the file system keeps
// one (else the modification time).
struct PathFacts {
  mode_t mode = 0;
  uint64_t size = 0;
  int64_t mtimeSec = 0;
  int64_t btimeSec = 0;
};

int factsOf(const std::string& path, PathFacts& facts) {
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME,
              &info) != 0) {
    return errno;
  }
  facts.mode = info.stx_mode;
  facts.size = info.stx_size;
  facts.mtimeSec = info.stx_mtime.tv_sec;
  facts.btimeSec = (info.stx_mask & STATX_BTIME) ? info.stx_btime.tv_sec : info.stx_mtime.tv_sec;
  return 0;
}

// Runs a standard file-system call, turning its error into the utility library's exception
// that names the path.
template <typename F>
void fsCall(const std::string& path, F&& f) {
  try {
    f();
  } catch (const stdfs::filesystem_error& e) {
    throwFileError(e.path1().empty() ? path : e.path1().string(), e.code().value());
  }
}

std::string trashFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (data != nullptr && data[0] == '/') {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : "") + "/.local/share";
  }
  return base + "/Trash";
}

stdfs::path canonicalOrSelf(const stdfs::path& path) {
  std::error_code error;
  stdfs::path canonical = stdfs::weakly_canonical(stdfs::absolute(path, error), error);
  return error ? path.lexically_normal() : canonical;
}

// Where a move or copy of `from` to `to` lands: inside `to` when that is an existing folder.
std::string effectiveDestination(const std::string& from, const std::string& to) {
  struct stat info {};
  if (::stat(to.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    stdfs::path name = stdfs::path(from).lexically_normal().filename();
    if (name.empty()) name = stdfs::path(from).lexically_normal().parent_path().filename();
    return (stdfs::path(to) / name).string();
  }
  return to;
}

// The reasons a move or copy must not start: the same file on both ends, or a folder into itself.
std::string refusalOf(const std::string& from, const std::string& to) {
  struct stat source {}, target {};
  if (::stat(from.c_str(), &source) != 0) return std::string();  // the operation reports it
  if (::stat(to.c_str(), &target) == 0 && source.st_dev == target.st_dev &&
      source.st_ino == target.st_ino) {
    return "Source and destination are the same file.";
  }
  if (S_ISDIR(source.st_mode)) {
    const std::string base = canonicalOrSelf(from).string();
    const std::string dest = canonicalOrSelf(to).string();
    if (dest == base || dest.rfind(base + "/", 0) == 0 || base == "/") {
      return "Cannot move or copy a folder into itself.";
    }
  }
  return std::string();
}

void copyItem(const std::string& from, const std::string& to, bool overwrite) {
  struct stat source {};
  if (::stat(from.c_str(), &source) != 0) throwFileError(from, errno);
  fsCall(from, [&] {
    if (S_ISDIR(source.st_mode)) {
      auto options = stdfs::copy_options::recursive | stdfs::copy_options::copy_symlinks;
      if (overwrite) options |= stdfs::copy_options::overwrite_existing;
      stdfs::copy(from, to, options);
    } else {
      struct stat target {};
      if (!overwrite && ::stat(to.c_str(), &target) == 0) throwFileError(to, EEXIST);
      stdfs::copy_file(from, to,
                       overwrite ? stdfs::copy_options::overwrite_existing
                                 : stdfs::copy_options::none);
    }
  });
}

// rename(2), refusing to replace an existing item unless `overwrite`. Returns errno, 0 on success.
int renameItem(const std::string& from, const std::string& to, bool overwrite) {
  if (overwrite) return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the no-replace flag.
  struct stat info {};
  if (::lstat(to.c_str(), &info) == 0) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void removeTree(const std::string& path) {
  fsCall(path, [&] { stdfs::remove_all(path); });
}

}  // namespace

std::shared_ptr<http::HttpResponse> FSPlugin::writeFile(const json& payload, FSPlugin*, uint64_t,
                                                        http::HttpRequest* request) {
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return failure("Path not specified.");
  checkedPath(path);
  const bool append = boolOr(optionsOf(payload), "append", false);
  // The whole body first: a body that fails to arrive leaves the old content untouched.
  const std::string body = readRequestBody(request);
  std::FILE* file = std::fopen(path.c_str(), append ? "abe" : "wbe");
  if (file == nullptr) return failure(cantOpen(errno));
  size_t written = 0;
  int error = 0;
  if (!body.empty()) {
    written = std::fwrite(body.data(), 1, body.size(), file);
    if (written < body.size()) error = errno;
  }
  if (std::fclose(file) != 0 && error == 0) error = errno;
  if (error != 0) return failure(systemErrorText(error));
  return jsonReply(std::to_string(written));
}

std::shared_ptr<http::HttpResponse> FSPlugin::exists(const json& payload, FSPlugin*, uint64_t,
                                                     http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return failure("Path not specified");
  try {
    checkedPath(path);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
      const int error = errno;
      if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG) {
        return jsonReply(R"({"exists":false})");
      }
      throwFileError(path, error);
    }
    return jsonReply(dumpJson({{"exists", true}, {"isdir", S_ISDIR(info.st_mode)}}));
  } catch (const std::exception& e) {
    return failure(std::string("Error occurred. (") + e.what() + ")");
  }
}

std::shared_ptr<http::HttpResponse> FSPlugin::mkdir(const json& payload, FSPlugin*, uint64_t,
                                                    http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return failure("Path not specified.");
  const bool recursive = boolOr(optionsOf(payload), "recursive", false);
  try {
    checkedPath(path);
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return jsonReply("false");
    Poco::File folder(path);
    if (recursive) {
      folder.createDirectories();
    } else {
      folder.createDirectory();
    }
    return jsonReply("true");
  } catch (const std::exception& e) {
    return failure(libraryErrorText(e));
  }
}

std::shared_ptr<http::HttpResponse> FSPlugin::remove(const json& payload, FSPlugin*, uint64_t,
                                                     http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return failure("Path not specified.");
  const json& options = optionsOf(payload);
  const bool recursive = boolOr(options, "recursive", false);
  const bool permanent = boolOr(options, "permanent", false);
  try {
    checkedPath(path);
    const stdfs::path target = canonicalOrSelf(path);
    if (target == "/" || target == canonicalOrSelf(trashFolder())) {
      return failure("Refused to remove \"" + path + "\".");
    }
    if (!permanent) {
      moveToRecycleBin(path);
      return jsonReply("true");
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) throwFileError(path, errno);
    // A link is removed itself, never what it points to.
    if (S_ISDIR(info.st_mode)) {
      if (recursive) {
        removeTree(path);
      } else if (::rmdir(path.c_str()) != 0) {
        throwFileError(path, errno == EEXIST ? ENOTEMPTY : errno);
      }
    } else if (::unlink(path.c_str()) != 0) {
      throwFileError(path, errno);
    }
    return jsonReply("true");
  } catch (const std::exception& e) {
    return failure(libraryErrorText(e));
  }
}

std::shared_ptr<http::HttpResponse> FSPlugin::rename(const json& payload, FSPlugin*, uint64_t,
                                                     http::HttpRequest*) {
  const std::string from = stringOr(payload, "from");
  const std::string to = stringOr(payload, "to");
  if (from.empty() || to.empty()) return failure("Missing parameters.");
  const bool overwrite = boolOr(optionsOf(payload), "overwrite", false);
  try {
    checkedPath(from);
    checkedPath(to);
    const int error = renameItem(from, to, overwrite);
    if (error != 0) throwFileError(error == EEXIST ? to : from, error);
    return jsonReply("true");
  } catch (const std::exception& e) {
    return failure(libraryErrorText(e));
  }
}

namespace {

std::shared_ptr<http::HttpResponse> moveOrCopy(const json& payload, bool move) {
  const std::string from = stringOr(payload, "from");
  const std::string given = stringOr(payload, "to");
  if (from.empty() || given.empty()) return failure("Missing parameters.");
  const bool overwrite = boolOr(optionsOf(payload), "overwrite", false);
  try {
    checkedPath(from);
    checkedPath(given);
    const std::string to = effectiveDestination(from, given);
    const std::string refusal = refusalOf(from, to);
    if (!refusal.empty()) return failure(refusal);
    if (move) {
      const int error = renameItem(from, to, overwrite);
      if (error == EXDEV) {
        // Another file system: copy, then take the source away.
        copyItem(from, to, overwrite);
        removeTree(from);
      } else if (error != 0) {
        throwFileError(error == EEXIST ? to : from, error);
      }
    } else {
      copyItem(from, to, overwrite);
    }
    return jsonReply("true");
  } catch (const std::exception& e) {
    return failure(libraryErrorText(e));
  }
}

}  // namespace

std::shared_ptr<http::HttpResponse> FSPlugin::move(const json& payload, FSPlugin*, uint64_t,
                                                   http::HttpRequest*) {
  return moveOrCopy(payload, true);
}

std::shared_ptr<http::HttpResponse> FSPlugin::copyFile(const json& payload, FSPlugin*, uint64_t,
                                                       http::HttpRequest*) {
  return moveOrCopy(payload, false);
}

std::shared_ptr<http::HttpResponse> FSPlugin::readFile(const json& payload, FSPlugin*, uint64_t,
                                                       http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return failure("Path not specified.");
  const json& options = optionsOf(payload);
  const int32_t mode = numberOr<int32_t>(options, "mode", 0);
  const int64_t offset = std::max<int64_t>(0, numberOr<int64_t>(options, "offset", 0));
  uint64_t length = numberOr<uint64_t>(options, "len", 0);
  try {
    checkedPath(path);
    const bool binary = (mode & 4) != 0;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        binary ? std::fopen(path.c_str(), "rbe") : openTextStream(path), &std::fclose);
    if (!file) return failure(cantOpen(errno));
    int64_t size = 0;
    if (binary) {
      struct stat info {};
      if (::fstat(fileno(file.get()), &info) != 0) return failure(cantOpen(errno));
      if (S_ISDIR(info.st_mode)) return failure(cantOpen(EISDIR));
      size = info.st_size;
    } else {
      if (fseeko(file.get(), 0, SEEK_END) != 0) return failure(cantOpen(errno));
      size = ftello(file.get());
    }
    const uint64_t left = offset >= size ? 0 : static_cast<uint64_t>(size - offset);
    if (length == 0 || length > left) length = left;
    if (fseeko(file.get(), std::min<int64_t>(offset, size), SEEK_SET) != 0) {
      return failure(cantOpen(errno));
    }
    // Text mode turns CR LF into LF, so how many bytes come out is known only at the end.
    return std::make_shared<FileWindowResponse>(file.release(), length, !binary);
  } catch (const std::exception& e) {
    return failure(libraryErrorText(e));
  }
}

std::shared_ptr<http::HttpResponse> FSPlugin::stat(const json& payload, FSPlugin*, uint64_t,
                                                   http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return failure("Path not specified.");
  try {
    checkedPath(path);
    PathFacts facts;
    if (const int error = factsOf(path, facts)) throwFileError(path, error);
    struct stat linkInfo {};
    const bool isLink = ::lstat(path.c_str(), &linkInfo) == 0 && S_ISLNK(linkInfo.st_mode);
    const bool isDirectory = S_ISDIR(facts.mode);
    const std::string name = stdfs::path(path).lexically_normal().filename().string();
    const bool readonlyBits = (facts.mode & 0222) == 0;
    int mode = 0;
    if (::access(path.c_str(), R_OK) == 0) mode |= 4;
    if (!readonlyBits) mode |= 2;
    if (::access(path.c_str(), X_OK) == 0 && (facts.mode & 0111) != 0) mode |= 1;
    json out = {
        {"btime", facts.btimeSec * 1000},
        {"hidden", !name.empty() && name[0] == '.' && name != "." && name != ".."},
        {"isDirectory", isDirectory},
        {"isFile", S_ISREG(facts.mode)},
        {"isSymlink", isLink},
        {"mode", mode},
        {"mtime", facts.mtimeSec * 1000},
        {"readonly", isDirectory ? !isDirectoryWritable(path) : readonlyBits},
        {"size", facts.size},
    };
    return jsonReply(dumpJson(out));
  } catch (const std::exception& e) {
    return failure(std::string("Error occurred. (") + e.what() + ")");
  }
}

std::shared_ptr<http::HttpResponse> FSPlugin::realpath(const json& payload, FSPlugin*, uint64_t,
                                                       http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return failure("Path is empty");
  checkedPath(path);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return failure("Path doesn't exist");
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    return failure("Could not open file. Error: " + std::to_string(errno));
  }
  std::string text(resolved);
  std::free(resolved);
  return textReply(std::move(text));
}

std::shared_ptr<http::HttpResponse> FSPlugin::setReadonly(const json& payload, FSPlugin*,
                                                          uint64_t, http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  const json* readonly = member(payload, "readonly");
  if (path.empty() || readonly == nullptr || !readonly->is_boolean()) {
    return failure("Missing required field.");
  }
  checkedPath(path);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throwFileError(path, errno);
  const mode_t mode = readonly->get<bool>() ? (info.st_mode & ~static_cast<mode_t>(0222))
                                            : (info.st_mode | S_IWUSR);
  if (::chmod(path.c_str(), mode & 07777) != 0) throwFileError(path, errno);
  return textReply("true");
}

std::shared_ptr<http::HttpResponse> FSPlugin::setModification(const json& payload, FSPlugin*,
                                                              uint64_t, http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  const auto ms = numberOf<int64_t>(payload, "ms");
  if (path.empty() || !ms || *ms < 0) return failure("Missing required field.");
  checkedPath(path);
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(*ms / 1000);
  times[0].tv_nsec = static_cast<long>(*ms % 1000) * 1000000L;
  times[1] = times[0];
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) throwFileError(path, errno);
  return textReply("true");
}

std::shared_ptr<http::HttpResponse> FSPlugin::createLink(const json& payload, FSPlugin*, uint64_t,
                                                         http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  const std::string dest = stringOr(payload, "dest");
  const std::string mode = stringOr(payload, "mode");
  if (path.empty() || dest.empty() || (mode != "hard" && mode != "symbolic")) {
    return failure("Missing required field.");
  }
  checkedPath(path);
  checkedPath(dest);
  const int result = mode == "hard" ? ::link(path.c_str(), dest.c_str())
                                    : ::symlink(path.c_str(), dest.c_str());
  if (result != 0) throwFileError(dest, errno);
  return textReply("true");
}

std::shared_ptr<http::HttpResponse> FSPlugin::digest(const json& payload, FSPlugin*, uint64_t,
                                                     http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  const std::string method = stringOr(payload, "method");
  const bool binary = boolOr(payload, "binary", false);
  Vesk::HashType type;
  if (method == "MD5") {
    type = Vesk::HashType::MD5;
  } else if (method == "SHA1") {
    type = Vesk::HashType::SHA1;
  } else if (method == "SHA224") {
    type = Vesk::HashType::SHA224;
  } else if (method == "SHA384") {
    type = Vesk::HashType::SHA384;
  } else if (method == "SHA512") {
    type = Vesk::HashType::SHA512;
  } else {
    return failure("Unsupported method: " + method);
  }
  checkedPath(path);
  if (binary) {
    const auto data = Vesk::hashFile(path, type);
    if (!data || data->length() == 0) return failure("Failed to calcuate digest");
    return bytesReply(std::string(reinterpret_cast<const char*>(data->bytes()), data->length()));
  }
  std::string hex = Vesk::hashFileHex(path, type);
  if (hex.empty()) return failure("Failed to calcuate digest");
  return textReply(std::move(hex));
}

}  // namespace zrk::plugin
