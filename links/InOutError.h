#pragma once

#include <stdexcept>
#include <string>

namespace kelvo {

// I/O error codes with a message of their own. Any other code shows as "I/O error <code>".
inline constexpr int kIoFileNotFound = 2;      // "File not found"
inline constexpr int kIoInvalidFilename = 3;   // "Invalid filename"
inline constexpr int kIoTooManyOpenFiles = 4;  // "Too many open files"
inline constexpr int kIoAccessDenied = 5;      // "File access denied"
inline constexpr int kIoReadBeyondEnd = 100;   // "Read beyond end of file"
inline constexpr int kIoDiskFull = 101;        // "Disk full"
inline constexpr int kIoNotOpen = 103;         // written or closed while not open
inline constexpr int kIoUnknownType = 105;     // neither a character device, a file nor a pipe
inline constexpr int kIoInvalidNumeric = 106;  // "Invalid numeric input"
inline constexpr int kIoErrnoBase = 1000;      // unmapped errno values: 1000 + errno

// The failure of a port or file written by name. what() is the message for the code.
class EInOutError : public std::runtime_error {
  public:
    // systemError: the errno behind the failure, 0 when there is none.
    explicit EInOutError(int errorCode, int systemError = 0);
    int ErrorCode() const noexcept { return code_; }
    int SystemError() const noexcept { return errno_; }

  private:
    int code_;
    int errno_;
};

std::string InOutErrorMessage(int errorCode);

// errno to I/O error code, where the meaning matches:
//   ENOENT ENXIO ENODEV                               -> 2   "File not found"
//   ENOTDIR ENAMETOOLONG ELOOP                        -> 3   "Invalid filename"
//   EMFILE ENFILE                                     -> 4   "Too many open files"
//   EACCES EPERM EBUSY EAGAIN/EWOULDBLOCK EROFS
//   ETXTBSY EISDIR                                    -> 5   "File access denied"
//   ENOSPC EDQUOT EFBIG                               -> 101 "Disk full"
//   anything else (EIO when a port vanishes, EPIPE)   -> 1000 + errno, "I/O error 1005" for EIO.
// The offset keeps raw errno values from posing as the codes above (EIO is 5 on Linux).
int InOutErrorCodeFromErrno(int err) noexcept;

[[noreturn]] void ThrowInOutErrorFromErrno(int err);

}  // namespace kelvo
