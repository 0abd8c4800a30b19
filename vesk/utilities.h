// Small text, file and system helpers of the object library. Paths are UTF-16 or UTF-8 POSIX paths.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vesk/wchar.h"

namespace Vesk {

class TString;

// Access bits understood by hasFileAccess (the generic and file-specific rights of the desktop API).
inline constexpr uint32_t kGenericRead = 0x80000000u;
inline constexpr uint32_t kGenericWrite = 0x40000000u;
inline constexpr uint32_t kGenericExecute = 0x20000000u;
inline constexpr uint32_t kGenericAll = 0x10000000u;

// The pieces between the delimiters (empty pieces kept) and the rest after the last one when it is
// not empty. An empty delimiter gives the whole text as one piece (nothing when it is empty).
void splitString(const std::string& text, const std::string& delimiter, std::vector<std::string>& parts);
void splitString(const WString& text, const WString& delimiter, std::vector<WString>& parts);
// Removes leading and trailing blanks, then tabs (a text made of one of them alone stays).
std::string stripBlanks(const std::string& text);

bool fileExists(const WChar* path);
// Exists and has a write permission bit (the file is not read-only).
bool isWritableFile(const WChar* path);
bool deleteFile(const WChar* path);
// Stores the size and returns true; stores 0 and returns false when the file cannot be opened.
bool fileSize(const TString& path, uint64_t* size);
// Whether the calling process may read/write/execute the path as the access bits ask.
bool hasFileAccess(const WChar* path, uint32_t desiredAccess);

bool isLittleEndian();
// Unsigned 64-bit number with automatic base; false when no digits, trailing characters or out of
// range. The value is stored in any case.
bool parseUnsigned(const char* text, uint64_t* value);

void sleepMilliseconds(uint32_t ms);
void sleepSeconds(uint32_t s);

// Seconds since 1970 as 100-nanosecond intervals since 1601.
uint64_t unixTimeToFileTime(int32_t seconds);

}  // namespace Vesk
