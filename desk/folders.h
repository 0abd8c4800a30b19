// Where the user's folders are: the XDG base and user directories under the platform's names.
//
//   application data (roaming and local)  $XDG_DATA_HOME, else ~/.local/share
//   Documents, Downloads, Music, Pictures, Public, Videos, Desktop, Templates
//                                         user-dirs.dirs in $XDG_CONFIG_HOME (else ~/.config),
//                                         else ~/<Name>
//   Fonts                                 <application data>/fonts
//   Profile                               $HOME (else the password database)
//   temporary files                       $TMPDIR, else /tmp
// Paths have no trailing "/" (except GetTempPath's) and are not created here.
#pragma once

#include <string>

#include "desk/com.h"
#include "desk/types.h"

namespace desk {

struct KNOWNFOLDERID {
  int id;
  friend bool operator==(const KNOWNFOLDERID& a, const KNOWNFOLDERID& b) { return a.id == b.id; }
};
inline constexpr KNOWNFOLDERID FOLDERID_RoamingAppData{1};
inline constexpr KNOWNFOLDERID FOLDERID_LocalAppData{2};
inline constexpr KNOWNFOLDERID FOLDERID_Documents{3};
inline constexpr KNOWNFOLDERID FOLDERID_Downloads{4};
inline constexpr KNOWNFOLDERID FOLDERID_Music{5};
inline constexpr KNOWNFOLDERID FOLDERID_Pictures{6};
inline constexpr KNOWNFOLDERID FOLDERID_Public{7};
inline constexpr KNOWNFOLDERID FOLDERID_Videos{8};
inline constexpr KNOWNFOLDERID FOLDERID_Desktop{9};
inline constexpr KNOWNFOLDERID FOLDERID_Templates{10};
inline constexpr KNOWNFOLDERID FOLDERID_Fonts{11};
inline constexpr KNOWNFOLDERID FOLDERID_Profile{12};

constexpr int CSIDL_PERSONAL = 0x0005;
constexpr int CSIDL_APPDATA = 0x001A;
constexpr int CSIDL_LOCAL_APPDATA = 0x001C;
constexpr DWORD MAX_PATH = 260;

// The folder's path (UTF-8), empty when it cannot be made out (no home folder).
std::string knownFolderPath(const KNOWNFOLDERID& id);

// The path in a UTF-16 block that the caller frees with CoTaskMemFree, or E_FAIL (and null).
// Flags and token are ignored.
HRESULT SHGetKnownFolderPath(const KNOWNFOLDERID& id, DWORD flags, HANDLE token, char16_t** path);
// The older form into a MAX_PATH buffer: CSIDL_APPDATA, CSIDL_LOCAL_APPDATA, CSIDL_PERSONAL.
// E_INVALIDARG for other folders, E_FAIL when the path does not fit or cannot be made out.
HRESULT SHGetFolderPathW(HWND owner, int csidl, HANDLE token, DWORD flags, char16_t* path);
// Frees what the layer's shell functions hand out.
void CoTaskMemFree(void* block);

// $TMPDIR (else /tmp) with a trailing "/". The result is its length; when the buffer is too small
// nothing is copied and the result is the size needed, terminator included.
DWORD GetTempPathW(DWORD size, char16_t* buffer);
std::string tempFolder();  // the same, UTF-8, with the trailing "/"

}  // namespace desk
