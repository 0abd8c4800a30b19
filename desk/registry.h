// The registry: typed values under keys, kept for the current user.
//
// Only HKEY_CURRENT_USER exists. Key paths use "\" between their parts; key and value names compare
// without regard to ASCII case ("SOFTWARE\A" and "Software\a" are one key). A value is kept exactly
// as written: its type and its bytes. Text values (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) are kept as
// UTF-16; the narrow (UTF-8) functions convert on the way in and out, so a narrow query reports the
// UTF-8 length, and a narrow write of text without a terminating NUL reads back without one.
//
// Where the values live: in memory until the program names its file (useRegistryFile). With a file,
// every change takes an flock on "<file>.lock", re-reads the file when another process changed it,
// applies the change and replaces the file atomically (temporary file, fsync, rename). Reads use the
// copy in memory while the file is unchanged. A file that cannot be parsed is moved aside to
// "<file>.corrupt-<time>" and a new, empty store begins.
//
// Functions return ERROR_SUCCESS or an error code (they do not set the last error):
//   ERROR_FILE_NOT_FOUND     no such key or value;
//   ERROR_ACCESS_DENIED      the handle lacks the access right, or the key cannot be opened;
//   ERROR_INVALID_HANDLE     a handle that names no open key;
//   ERROR_MORE_DATA          the buffer is smaller than the value (the size is reported);
//   ERROR_INVALID_PARAMETER  anything else the call cannot take (a value over 1 MiB, a name with
//                            NUL, a size without a buffer);
//   ERROR_CANTWRITE          the file could not be written (the change is not kept).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "desk/errors.h"
#include "desk/types.h"

namespace desk {

struct HKEY__;
using HKEY = HKEY__*;
using LSTATUS = int32_t;
using REGSAM = uint32_t;

inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(uintptr_t{0x80000001});

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Access rights.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;


// The largest value the store takes.
constexpr size_t kMaxRegistryValueSize = size_t{1} << 20;

// Opens an existing key. A null or empty sub-key opens `key` itself again.
LSTATUS RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD options, REGSAM access, HKEY* result);
LSTATUS RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access, HKEY* result);
LSTATUS RegOpenKeyExA(HKEY key, std::string_view subKey, DWORD options, REGSAM access, HKEY* result);
// The old form: every right.
LSTATUS RegOpenKeyW(HKEY key, const char16_t* subKey, HKEY* result);
LSTATUS RegOpenKeyA(HKEY key, const char* subKey, HKEY* result);

// Opens a key, creating it (and the keys on its way) when missing. `keyClass` and `security` are
// ignored; `disposition`, when given, says which happened.
LSTATUS RegCreateKeyExW(HKEY key, const char16_t* subKey, DWORD reserved, const char16_t* keyClass,
                        DWORD options, REGSAM access, const void* security, HKEY* result,
                        DWORD* disposition);
LSTATUS RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, const char* keyClass,
                        DWORD options, REGSAM access, const void* security, HKEY* result,
                        DWORD* disposition);
LSTATUS RegCreateKeyExA(HKEY key, std::string_view subKey, DWORD reserved, const char* keyClass,
                        DWORD options, REGSAM access, const void* security, HKEY* result,
                        DWORD* disposition);

// Reads a value (null or empty name: the key's default value). `type`, when given, receives the
// type. With `data` null and `size` given, only the size is reported. With a buffer smaller than
// the value: ERROR_MORE_DATA, the needed size in *size, the buffer untouched.
LSTATUS RegQueryValueExW(HKEY key, const char16_t* name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* size);
LSTATUS RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* size);
LSTATUS RegQueryValueExA(HKEY key, std::string_view name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* size);

LSTATUS RegSetValueExW(HKEY key, const char16_t* name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size);
LSTATUS RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size);
LSTATUS RegSetValueExA(HKEY key, std::string_view name, DWORD reserved, DWORD type,
                       const BYTE* data, DWORD size);

LSTATUS RegDeleteValueW(HKEY key, const char16_t* name);
LSTATUS RegDeleteValueA(HKEY key, const char* name);
LSTATUS RegDeleteValueA(HKEY key, std::string_view name);

LSTATUS RegCloseKey(HKEY key);

// Where the values live. useRegistryFile(identifier) keeps them in
// $XDG_CONFIG_HOME/<identifier>/registry.json ($XDG_CONFIG_HOME defaults to ~/.config), creating
// the folder; useRegistryPath names the file itself. Returns false (and keeps the values in
// memory) when the folder cannot be made. Handles opened before stay valid: they name key paths.
bool useRegistryFile(const std::string& identifier);
bool useRegistryPath(const std::string& path);
// Values in memory only, starting empty.
void useMemoryRegistry();
// The file in use, empty in memory.
std::string registryPath();

}  // namespace desk
