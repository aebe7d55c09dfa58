#include "links/InOutError.h"

#include <cerrno>

namespace kelvo {

std::string InOutErrorMessage(int errorCode) {
    switch (errorCode) {
        case kIoFileNotFound:
            return "File not found";
        case kIoInvalidFilename:
            return "Invalid filename";
        case kIoTooManyOpenFiles:
            return "Too many open files";
        case kIoAccessDenied:
            return "File access denied";
        case kIoReadBeyondEnd:
            return "Read beyond end of file";
        case kIoDiskFull:
            return "Disk full";
        case kIoInvalidNumeric:
            return "Invalid numeric input";
        default:
            return "I/O error " + std::to_string(errorCode);
    }
}

EInOutError::EInOutError(int errorCode, int systemError)
    : std::runtime_error(InOutErrorMessage(errorCode)), code_(errorCode), errno_(systemError) {}

int InOutErrorCodeFromErrno(int err) noexcept {
    switch (err) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return kIoFileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return kIoInvalidFilename;
        case EMFILE:
        case ENFILE:
            return kIoTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
#if EAGAIN != EWOULDBLOCK
        case EAGAIN:
#endif
        case EROFS:
        case ETXTBSY:
        case EISDIR:
            return kIoAccessDenied;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return kIoDiskFull;
        default:
            return kIoErrnoBase + err;
    }
}

void ThrowInOutErrorFromErrno(int err) {
    throw EInOutError(InOutErrorCodeFromErrno(err), err);
}

}  // namespace kelvo
