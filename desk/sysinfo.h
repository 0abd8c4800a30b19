// Facts about the running program and the system: the executable's path, the command line, the
// version block of the executable and the operating-system version.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "desk/errors.h"
#include "desk/types.h"

namespace desk {


// The executable's full path (/proc/self/exe) for a null module; any other module is unknown (0,
// ERROR_INVALID_PARAMETER), as is a path that cannot be read. A path longer than the buffer is cut to
// size - 1 units and terminated; the result is then `size` and the last error
// ERROR_INSUFFICIENT_BUFFER. Otherwise the result is the length without the terminator.
DWORD GetModuleFileNameW(HINSTANCE module, char16_t* buffer, DWORD size);
DWORD GetModuleFileNameA(HINSTANCE module, char* buffer, DWORD size);
// The same path, whole, as UTF-8 (empty when it cannot be read).
std::string executablePath();

// The process's arguments as it received them (/proc/self/cmdline), the program first. They are
// never joined into one line and split again, so an argument keeps its quotes and blanks.
std::vector<std::string> commandLineArguments();

// --- the version block ---
struct VS_FIXEDFILEINFO {
  DWORD dwSignature = 0xFEEF04BD;
  DWORD dwStrucVersion = 0x00010000;
  DWORD dwFileVersionMS = 0;
  DWORD dwFileVersionLS = 0;
  DWORD dwProductVersionMS = 0;
  DWORD dwProductVersionLS = 0;
  DWORD dwFileFlagsMask = 0x3F;
  DWORD dwFileFlags = 0;
  DWORD dwFileOS = 0x00040004;
  DWORD dwFileType = 1;
  DWORD dwFileSubtype = 0;
  DWORD dwFileDateMS = 0;
  DWORD dwFileDateLS = 0;
};

// What a version block holds. The program's own block is made from the generated version header
// (one translation, 0409/04B0, with the product's strings and its file version); tests replace it.
struct VersionBlock {
  std::vector<std::pair<uint16_t, uint16_t>> translations;  // {language, code page}
  // String entries by "llllcccc\Key" (eight lower-case hexadecimal digits, a backslash, the key).
  std::vector<std::pair<std::string, std::u16string>> strings;
  std::optional<VS_FIXEDFILEINFO> fixed;
  // A block without "\VarFileInfo\Translation" at all (as opposed to an empty table).
  bool hasTranslationTable = true;
};
VersionBlock programVersionBlock();

// The size of the version block of `path` (only the running executable has one): 0 with
// ERROR_RESOURCE_TYPE_NOT_FOUND for any other file, or when the executable has none.
DWORD GetFileVersionInfoSizeW(const char16_t* path, DWORD* handle);
// Copies the block into `data` (`size` bytes, as GetFileVersionInfoSizeW reported).
BOOL GetFileVersionInfoW(const char16_t* path, DWORD handle, DWORD size, void* data);
// Looks up "\" (the fixed information), "\VarFileInfo\Translation" (pairs of 16-bit numbers;
// `length` in bytes) or "\StringFileInfo\llllcccc\Key" (UTF-16 with its terminator; `length` in
// units, the terminator counted) in a block that GetFileVersionInfoW filled. `value` points into
// the block. False when the entry is missing.
BOOL VerQueryValueW(const void* block, const char16_t* subBlock, void** value, UINT* length);

// --- the operating-system version ---
struct OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize = 0;  // 276
  DWORD dwMajorVersion = 0;
  DWORD dwMinorVersion = 0;
  DWORD dwBuildNumber = 0;
  DWORD dwPlatformId = 0;
  char16_t szCSDVersion[128] = {};
};
static_assert(sizeof(OSVERSIONINFOW) == 276);
// Fills the record (its size field must be set): 10.0.19045 unless a test says otherwise. Returns
// 0 (success) or a negative status for a bad record.
int32_t RtlGetVersion(OSVERSIONINFOW* info);


// --- the machine (what the system plugin reports about it) ---
// One CPUID leaf (sub-leaf 0). Nothing on a processor without the instruction or for a leaf above
// the processor's highest one (basic or extended range).
struct CpuidResult {
  uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};
std::optional<CpuidResult> cpuid(uint32_t leaf);
// The processor's brand text (extended leaves 0x80000002-4), blanks at both ends cut off; empty
// without those leaves.
std::string cpuBrandString();
// uname's machine ("x86_64", "aarch64", ...) and kernel release ("6.1.0-18-amd64"); empty when
// uname fails.
std::string machineHardwareName();
std::string kernelRelease();
// The processors online (at least 1).
unsigned processorCount();
// Total physical memory in bytes, nothing when sysinfo(2) fails.
std::optional<uint64_t> totalPhysicalMemory();

// A POSIX locale name as a BCP 47 tag: "en_GB.UTF-8" gives "en-GB", "sr_RS@latin" "sr-Latn-RS";
// the codeset and any other modifier are dropped. "C", "POSIX" (with or without a codeset) and
// the empty name give "": they name no language.
std::string localeTagFromPosix(const std::string& posixName);
// The user's locale: the first of LC_ALL, LC_MESSAGES and LANG that is set and not empty, as a
// tag; "" when none is set or it names no language.
std::string userLocaleTag();
// The system's locale: LC_ALL, else LC_MESSAGES, else LANG of the system's locale file (lines
// "KEY=value", the value optionally quoted), as a tag; "" when the file cannot be read or names
// no language.
std::string systemLocaleTag(const std::string& localeFile = "/etc/default/locale");
// The scripts a locale is written in, as four-letter codes each followed by ";", in alphabetical
// order ("Latn;", "Hani;Hira;Kana;"); "" when the locale is unknown.
std::string localeScriptCodes(const std::string& tag);

// The installed font families (fontconfig), each once, sorted; empty when there are none.
std::vector<std::string> fontFamilies();

// The firmware's identification strings (vendor, product, board and BIOS names under
// /sys/class/dmi/id) that can be read; empty where the system has none (containers, many virtual
// machines without DMI).
std::vector<std::string> firmwareStrings(const std::string& folder = "/sys/class/dmi/id");

}  // namespace desk
