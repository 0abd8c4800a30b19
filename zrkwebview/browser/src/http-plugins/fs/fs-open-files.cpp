// The open-file registry and the commands on open files and line readers.
#include "zrkwebview/browser/src/http-plugins/fs/fs-open-files.h"

#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include <Poco/Exception.h>
#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/http-plugins/fs/fs-lines.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-plugin.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-support.h"
#include "zrkwebview/browser/src/id-pool.h"

namespace zrk::plugin {

using namespace fs;

FileWrapper::~FileWrapper() {
  if (file != nullptr) {
    std::fclose(file);
    file = nullptr;
  }
}

namespace {

struct Registry {
  std::mutex mutex;
  std::map<uint64_t, std::shared_ptr<FileWrapper>> files;
  IdPool ids;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

std::string cantOpen(int error) { return "Can't open file. (" + std::to_string(error) + ")"; }

}  // namespace

uint64_t addOpenFile(std::FILE* file, const std::string& path) {
  Registry& r = registry();
  auto wrapper = std::make_shared<FileWrapper>(file, path);
  const uint64_t id = r.ids.acquire();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.files[id] = std::move(wrapper);
  return id;
}

std::FILE* findOpenFile(uint64_t id) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.files.find(id);
  return it == r.files.end() ? nullptr : it->second->file;
}

int removeOpenFile(uint64_t id) {
  Registry& r = registry();
  std::shared_ptr<FileWrapper> closing;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.files.find(id);
    if (it == r.files.end()) return -1;
    r.ids.release(id, true);
    closing = std::move(it->second);
    r.files.erase(it);
  }
  return 0;  // `closing` closes the stream here, outside the lock
}

std::shared_ptr<http::HttpResponse> FSPlugin::open(const json& payload, FSPlugin*, uint64_t,
                                                   http::HttpRequest*) {
  try {
    const std::string path = stringOr(payload, "path");
    if (path.empty()) return failure("Path not specified.");
    checkedPath(path);
    const int32_t mode = numberOr<int32_t>(payload, "mode", 0);
    if (mode == 0) return failure("Open mode not specified.");
    std::string text;
    if (mode & 1) {
      text = "r";
    } else if (mode & 2) {
      text = "w";
    } else if (mode & 8) {
      text = "a";
    } else {
      return failure(cantOpen(EINVAL));
    }
    // Streams stay binary whatever bit 4 says, so positions are byte offsets.
    std::FILE* file = std::fopen(path.c_str(), (text + "b+e").c_str());
    if (file == nullptr && (mode & 1) && !(mode & 2) && (errno == EACCES || errno == EROFS)) {
      // Reading was asked for; a file that may not be written is opened for reading alone.
      file = std::fopen(path.c_str(), "rbe");
    }
    if (file == nullptr) return failure(cantOpen(errno));
    return jsonReply(std::to_string(addOpenFile(file, path)));
  } catch (const std::exception& e) {
    return failure(libraryErrorText(e));
  }
}

std::shared_ptr<http::HttpResponse> FSPlugin::read(const json& payload, FSPlugin*, uint64_t rid,
                                                   http::HttpRequest*) {
  if (rid == 0) return failure("Resource id was not specified.");
  const uint64_t length = numberOr<uint64_t>(payload, "len", 0);
  if (length == 0) return failure("Length was not specified");
  std::FILE* file = findOpenFile(rid);
  if (file == nullptr) return failure("File not open. (" + std::to_string(rid) + ")");
  std::string bytes;
  if (std::feof(file)) return bytesReply(std::move(bytes));
  // The buffer grows with what was read, never to the length asked for up front.
  constexpr uint64_t kPiece = 1 << 20;
  uint64_t left = length;
  while (left > 0) {
    const size_t piece = static_cast<size_t>(std::min(left, kPiece));
    const size_t old = bytes.size();
    bytes.resize(old + piece);
    const size_t got = std::fread(bytes.data() + old, 1, piece, file);
    bytes.resize(old + got);
    left -= got;
    if (got < piece) break;
  }
  return bytesReply(std::move(bytes));
}

std::shared_ptr<http::HttpResponse> FSPlugin::write(const json& payload, FSPlugin*, uint64_t rid,
                                                    http::HttpRequest* request) {
  if (request == nullptr || request->header("zrk-payload-options").empty()) {
    return failure("Missing payload options");
  }
  try {
    if (const auto given = numberOf<uint64_t>(payload, "rid")) rid = *given;
    std::FILE* file = rid == 0 ? nullptr : findOpenFile(rid);
    if (file == nullptr) return failure("File not opened.");
    const std::string body = readRequestBody(request);
    size_t written = 0;
    if (!body.empty()) {
      written = std::fwrite(body.data(), 1, body.size(), file);
      if (written < body.size()) return failure(systemErrorText(errno));
    }
    return jsonReply(std::to_string(written));
  } catch (const std::exception& e) {
    return failure(std::string("Failed to parse payload options (") + e.what() + ")");
  }
}

std::shared_ptr<http::HttpResponse> FSPlugin::seek(const json& payload, FSPlugin*, uint64_t rid,
                                                   http::HttpRequest*) {
  const int64_t offset = numberOr<int64_t>(payload, "offset", 0);
  const int32_t whence = numberOr<int32_t>(payload, "whence", 0);
  std::FILE* file = rid == 0 ? nullptr : findOpenFile(rid);
  int64_t result = -1;
  if (file != nullptr && whence >= 0 && whence <= 2) {
    const int origin = whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : SEEK_END;
    if (fseeko(file, static_cast<off_t>(offset), origin) == 0) result = ftello(file);
  }
  return jsonReply(std::to_string(result));
}

std::shared_ptr<http::HttpResponse> FSPlugin::close(const json&, FSPlugin*, uint64_t rid,
                                                    http::HttpRequest*) {
  if (rid == 0) return failure("Invalid resouce id (0)");
  removeOpenFile(rid);
  return jsonReply("true");
}

std::shared_ptr<http::HttpResponse> FSPlugin::readlineClose(const json& payload, FSPlugin* plugin,
                                                            uint64_t rid,
                                                            http::HttpRequest* request) {
  return close(payload, plugin, rid, request);
}

std::shared_ptr<http::HttpResponse> FSPlugin::readlineOpen(const json& payload, FSPlugin*,
                                                           uint64_t, http::HttpRequest*) {
  try {
    const std::string path = stringOr(payload, "path");
    if (path.empty()) return failure("Path not specified.");
    checkedPath(path);
    std::FILE* file = openTextStream(path);
    if (file == nullptr) return failure(cantOpen(errno));
    return jsonReply(std::to_string(addOpenFile(file, path)));
  } catch (const std::exception& e) {
    return failure(libraryErrorText(e));
  }
}

namespace {

// The length of the UTF-8 sequence a lead byte starts; 1 for anything else.
size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 1;
}

}  // namespace

std::shared_ptr<http::HttpResponse> FSPlugin::readlineNext(const json& payload, FSPlugin*,
                                                           uint64_t rid, http::HttpRequest*) {
  if (rid == 0) return failure("Invalid resouce id (0)");
  const json& options = optionsOf(payload);
  uint64_t maxCharacters = numberOr<uint64_t>(options, "maxCharacters", 4096);
  if (maxCharacters == 0) maxCharacters = 4096;
  const bool includeLineBreak = boolOr(options, "includeLineBreak", false);
  std::FILE* file = findOpenFile(rid);
  if (file == nullptr) return failure("Could not find resouce (" + std::to_string(rid) + ")");

  std::string line;
  while (line.size() < maxCharacters) {
    const int c = std::getc(file);
    if (c == EOF) break;
    if (c == '\n') {
      if (includeLineBreak) line += '\n';
      break;
    }
    const size_t length = sequenceLength(static_cast<unsigned char>(c));
    if (length > 1 && !line.empty() && line.size() + length > maxCharacters) {
      // The character does not fit: it starts the next piece.
      std::ungetc(c, file);
      break;
    }
    line += static_cast<char>(c);
    for (size_t i = 1; i < length; ++i) {
      const int next = std::getc(file);
      if (next == EOF) break;
      if ((next & 0xC0) != 0x80) {
        std::ungetc(next, file);
        break;
      }
      line += static_cast<char>(next);
    }
  }
  const int atEnd = std::feof(file) ? 1 : 0;
  if (atEnd) removeOpenFile(rid);
  return jsonReply(dumpJson(json::array({line, atEnd})));
}

std::shared_ptr<http::HttpResponse> FSPlugin::readNLines(const json& payload, FSPlugin*, uint64_t,
                                                         http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  const int32_t count = numberOr<int32_t>(payload, "lines", 0);
  if (count == 0) return jsonReply("[]");
  LineFilterOptions options;
  options.skipBlankLine = boolOr(payload, "skip_blank_line", false);
  options.crlf2lf = boolOr(payload, "crlf2lf", true);
  options.trimWhitespaces = boolOr(payload, "trim_whitespaces", false);
  const bool fromEnd = boolOr(payload, "from_end", false);
  const auto lines = readLines(checkedPath(path), count, fromEnd, options.skipBlankLine,
                               options.trimWhitespaces, options.crlf2lf);
  return jsonReply(dumpJson(json(lines)));
}

}  // namespace zrk::plugin
