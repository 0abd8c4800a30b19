// The process-wide registry of files pages opened ("open", "readline_open"), under resource ids
// from an IdPool: ids start at 1, a closed id is reused, oldest first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "vesk/tobject.h"

namespace zrk::plugin {

// One open file: the stream (closed by the destructor) and the path as the page gave it.
class FileWrapper : public Vesk::TObject {
  VESK_DECLARE_CLASS(FileWrapper, Vesk::TObject, "zrk::plugin")

 public:
  FileWrapper(std::FILE* file, std::string path) : file(file), path(std::move(path)) {}
  ~FileWrapper() override;
  FileWrapper(const FileWrapper&) = delete;
  FileWrapper& operator=(const FileWrapper&) = delete;

  std::FILE* file = nullptr;
  std::string path;
};

// Takes the stream into the registry under a new id and returns the id.
uint64_t addOpenFile(std::FILE* file, const std::string& path);
// The stream under the id, or null. Commands run one at a time on the plugin thread, so the
// stream stays open while the command that looked it up uses it.
std::FILE* findOpenFile(uint64_t id);
// Closes the file under the id and gives the id back for reuse: 0. An id that is not open
// changes nothing (it is never queued twice): -1.
int removeOpenFile(uint64_t id);

// A read-only stream over the file in text mode: CR LF reads as LF (a lone CR stays), every
// other byte is data. Positions (seek, tell) are byte offsets in the file. Null with errno set
// when the file cannot be opened; a folder is refused with EISDIR.
std::FILE* openTextStream(const std::string& path);

}  // namespace zrk::plugin
