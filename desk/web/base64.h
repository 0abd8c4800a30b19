// Base64 (standard alphabet, padded), as the DevTools protocol carries binary bodies.
#pragma once

#include <string>

namespace desk::web {

std::string base64Encode(const std::string& bytes);
// Skips characters outside the alphabet; stops at the first '='.
std::string base64Decode(const std::string& text);

}  // namespace desk::web
