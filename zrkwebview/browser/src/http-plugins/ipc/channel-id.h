// Channel ids as pages write them: a decimal number, optionally behind the "__channel__:" prefix
// that page callbacks carry. Shared by every plugin that reads one.
#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace zrk::plugin {

// Reads a channel id the way the standard conversion to unsigned long reads it (blanks skipped, a
// sign allowed, digits up to the first other character), limited to 32 bits on every platform.
// Throws std::invalid_argument "invalid stoul argument" when no digits can be read and
// std::out_of_range "stoul argument out of range" when the value does not fit.
inline uint32_t parseChannelId(const std::string& text) {
  unsigned long long value = 0;
  try {
    value = std::stoull(text);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument("invalid stoul argument");
  } catch (const std::out_of_range&) {
    throw std::out_of_range("stoul argument out of range");
  }
  const size_t start = text.find_first_not_of(" \t\n\v\f\r");
  const bool negative = start != std::string::npos && text[start] == '-';
  // A negative number stands for its unsigned negation, as the conversion does; what counts is
  // whether that magnitude fits.
  const unsigned long long magnitude = negative ? 0ull - value : value;
  if (magnitude > std::numeric_limits<uint32_t>::max()) {
    throw std::out_of_range("stoul argument out of range");
  }
  return static_cast<uint32_t>(value);
}

// A page callback's channel ("__channel__:17", or "17" alone): every "__channel__:" is removed,
// then the rest is read as parseChannelId reads it (with its exceptions).
inline uint32_t parseChannelCallback(std::string text) {
  static const std::string kPrefix = "__channel__:";
  for (size_t at = text.find(kPrefix); at != std::string::npos; at = text.find(kPrefix, at)) {
    text.erase(at, kPrefix.size());
  }
  return parseChannelId(text);
}

}  // namespace zrk::plugin
