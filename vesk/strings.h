// Text helpers shared by the whole framework: strict UTF conversions, ASCII case mapping,
// replacing, escaping for script string literals and unique ids.
#pragma once

#include <cstdint>
#include <string>

#include "vesk/wchar.h"

namespace zrk {

// A platform result code: negative is a failure.
using HRESULT = int32_t;

// Strict conversions: empty for empty or invalid input (an unpaired surrogate, malformed UTF-8);
// embedded NULs are kept.
std::string toUtf8(const Vesk::WString& text);
Vesk::WString toUtf16(const std::string& text);

// ASCII-only case mapping; every other byte is copied unchanged.
std::string toLower(const std::string& text);
void toLowerInPlace(std::string& text);
std::string toUpper(const std::string& text);
void toUpperInPlace(std::string& text);

// Replaces every occurrence of from, left to right; inserted text is not searched again. An empty
// from changes nothing.
void replaceAll(std::string& text, std::string from, std::string to);
std::string replaceAllCopy(const std::string& text, const std::string& from, const std::string& to);

// Makes a UTF-8 text safe inside a single- or double-quoted script string literal: backslash,
// both quotes, line feed, carriage return, form feed, U+2028 and U+2029 are escaped.
void escapeJsStringInPlace(std::string& text);
std::string escapeJsString(const std::string& text);

// prefix + millisecond tick + "_" + six digits starting with 1; never repeats within the process.
std::string makeUniqueId(const std::string& prefix);

// True for a success code. A failure gives false, unless showMessage is set: then the message
// (or "something wrong") is reported and the answer is true.
bool checkHResult(HRESULT result, const Vesk::WChar* message, bool showMessage);
// For a failure, writes "message: 0x" and the code in hex to standard error as one UTF-8 line.
void checkFailure(HRESULT result, const Vesk::WString& message);

}  // namespace zrk
