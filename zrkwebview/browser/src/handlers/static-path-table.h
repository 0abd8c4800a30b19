// The process-wide table of {URL prefix, folder} pairs through which unclaimed requests are
// mapped to local files. The application adds pairs while it runs; nothing is ever removed.
#pragma once

#include <cstdint>
#include <string>

namespace http {

class StaticPathTable {
 public:
  struct Entry {
    uint16_t depth = 0;     // number of "/" in prefix minus one; the longest prefix wins by it
    std::string prefix;     // normalised, always ending with "/"
    std::string directory;  // stored as given
  };

  // Maps URL paths that begin with `prefix` to files below `directory`. An empty or blank prefix
  // adds nothing; the same mapping added twice is kept once. A second folder for the same prefix
  // is kept too, but the first one always wins.
  static void add(const std::string& prefix, const std::string& directory);

  // The deepest entry whose prefix begins the (normalised) path; on equal depth the earlier one.
  // The prefix "/" (depth 0) is never chosen. False when no entry applies.
  static bool match(const std::string& path, Entry& out);

  // Blanks trimmed from both ends, runs of "/" collapsed into one.
  static std::string normalize(const std::string& text);
};

}  // namespace http
