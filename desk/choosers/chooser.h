// What the real file, folder and font choosers are asked and what they answer. The system dialogs
// (desk/system_dialogs.h) fill a request from what the dialog was told and map the answer back, so
// a chooser on the desktop and a recorded stand-in give the framework the same results.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace desk::choosers {

struct FileFilter {
  std::string name;
  std::vector<std::string> patterns;  // globs: "*.png"
};

// A check box below the file controls: a boolean choice.
struct CheckChoice {
  std::string id;
  std::string label;
  bool checked = false;
};

struct FileRequest {
  bool save = false;
  bool directory = false;  // a folder, not files
  bool multiple = false;
  bool confirmOverwrite = false;
  std::string title;
  std::string acceptLabel;    // empty: the chooser's own
  std::string currentFolder;  // empty: the chooser's own
  std::string currentName;    // the file-name box (save)
  std::vector<FileFilter> filters;
  std::optional<size_t> currentFilter;  // index into filters
  std::vector<CheckChoice> choices;
};

enum class Outcome { Chosen, Cancelled, Failed };

struct FileAnswer {
  Outcome outcome = Outcome::Cancelled;
  std::vector<std::string> paths;  // local paths; a location without one keeps its URI
  std::set<size_t> notLocal;       // positions in `paths` that hold a URI, not a path
  std::map<std::string, bool> choices;  // final states by choice id
  std::string error;                    // for Failed
};

struct FontRequest {
  std::string face;
  int points = 12;
  int weight = 400;  // 100..1000, 400 regular, 700 bold
  bool italic = false;
};

struct FontAnswer {
  Outcome outcome = Outcome::Cancelled;
  std::string face;  // the family
  int points = 0;
  int weight = 400;
  bool italic = false;
};

}  // namespace desk::choosers
