// The folder-filter matcher of "read_dir": glob patterns over path components, where "**" spans
// any number of components and "*" and "?" work inside one component.
#pragma once

#include <string>
#include <vector>

namespace zrk::plugin {

// Splits at "/" and "\"; empty pieces are dropped.
std::vector<std::string> splitPathComponents(const std::string& text);
// Drops "."; ".." removes the previous component (or stays when there is none to remove).
std::vector<std::string> normalizePathComponents(const std::vector<std::string>& components);
bool matchPathComponents(const std::vector<std::string>& pattern, size_t i,
                         const std::vector<std::string>& path, size_t j, bool caseSensitive);
// One component against one pattern component with "*" and "?" (over bytes); without
// caseSensitive, ASCII letters compare without case.
bool matchComponent(const std::string& pattern, const std::string& text, bool caseSensitive);
// True when any filter matches the whole path.
bool matchAnyFolderFilter(const std::string& path, const std::vector<std::string>& filters,
                          bool caseSensitive);

}  // namespace zrk::plugin
