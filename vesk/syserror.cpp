#include "vesk/syserror.h"

#include <cerrno>

namespace Vesk {

namespace {

thread_local uint32_t tLastError = 0;

struct ErrorText {
  uint32_t code;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {15, "The system cannot find the drive specified.\r\n"},
    {18, "There are no more files.\r\n"},
    {19, "The media is write protected.\r\n"},
    {21, "The device is not ready.\r\n"},
    {29, "The system cannot write to the specified device.\r\n"},
    {30, "The system cannot read from the specified device.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {33, "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {39, "The disk is full.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {82, "The directory or file cannot be created.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {110, "The system cannot open the device or file specified.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {232, "The pipe is being closed.\r\n"},
    {258, "The wait operation timed out.\r\n"},
    {259, "No more data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {1223, "The operation was canceled by the user.\r\n"},
    {1400, "Invalid window handle.\r\n"},
    {1410, "Class already exists.\r\n"},
    {1411, "Class does not exist.\r\n"},
    {1444, "Invalid thread identifier.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1816, "Not enough quota is available to process this command.\r\n"},
};

}  // namespace

uint32_t lastSystemError() { return tLastError; }
void setLastSystemError(uint32_t code) { tLastError = code; }

const char* systemErrorMessage(uint32_t code) {
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

uint32_t systemErrorFromErrno(int error) {
  switch (error) {
    case 0: return 0;
    case ENOENT: return 2;
    case ENOTDIR: return 3;
    case EMFILE: case ENFILE: return 4;
    case EACCES: case EPERM: return 5;
    case EBADF: return 6;
    case ENOMEM: return 8;
    case EROFS: return 19;
    case EBUSY: return 170;
    case ENOSPC: return 112;
    case ENOTSUP: return 50;
    case EEXIST: return 183;
    case EINVAL: return 87;
    case EPIPE: return 109;
    case ENOTEMPTY: return 145;
    case ENAMETOOLONG: return 206;
    case EISDIR: return 267;
    case ETIMEDOUT: return 1460;
    case ECANCELED: return 1223;
    case EIO: return 30;
    default: return 31;
  }
}

}  // namespace Vesk
