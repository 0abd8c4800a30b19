// Multipart form bodies of the fetch plugin (one part per file) and the random text its boundaries
// and result ids are made of.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace zrk::plugin {

// n characters drawn uniformly from A-Z, a-z and 0-9, from a generator of the calling thread.
std::string randomAlphanumeric(size_t n);

// "-----MultipartFormBoundary" followed by 16 random characters.
std::string makeMultipartBoundary();

// One part: the keys "path", "filename", "mime" and "name" (missing keys are empty).
using MultipartPart = std::map<std::string, std::string>;

// The whole body: for every part with a path, its head and the file's bytes; the closing line
// after the last (nothing at all without parts). Defaults: name "file", the file name the last
// component of the path, the type from the extension. CR, LF and '"' in a name or file name are
// written as %0D, %0A and %22. Throws std::runtime_error naming the path when a file cannot be
// read.
std::string buildMultipartBody(const std::string& boundary, const std::vector<MultipartPart>& parts);

// buildMultipartBody with a boundary that occurs nowhere inside the parts: a new one is drawn as
// long as the body holds it more often than its own delimiters do. The boundary is returned in
// `boundary`.
std::string buildMultipartBodyWithFreshBoundary(const std::vector<MultipartPart>& parts,
                                                std::string& boundary);

}  // namespace zrk::plugin
