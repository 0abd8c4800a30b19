// Small helpers the file-serving handlers share: local path shaping, the guard that keeps a
// served path inside its folder, and query parsing.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace http::fileserving {

// "\" becomes "/" and runs of "/" collapse into one, except that a leading "//" stays.
std::string normalizeLocalPath(const std::string& path);

// folder, "/" when folder is not empty, then name; an empty folder gives the name unchanged.
std::string joinLocalPath(const std::string& folder, const std::string& name);

// True when a segment of the path (between "/" or "\") is "..".
bool hasParentSegment(const std::string& path);

// True when `path`, with its symbolic links resolved as far as it exists, lies inside `folder`
// (also resolved; an empty folder is the working folder). A path that cannot be resolved, or
// holds a NUL byte, is outside.
bool staysInside(const std::string& folder, const std::string& path);

// The query text split at "&" into (key, value) pairs, "+" read as a space and percent escapes
// decoded. A malformed escape throws Poco::SyntaxException.
std::vector<std::pair<std::string, std::string>> parseQuery(const std::string& rawQuery);

bool equalsIgnoringAsciiCase(const std::string& a, const std::string& b);

}  // namespace http::fileserving
