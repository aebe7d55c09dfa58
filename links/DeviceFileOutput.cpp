#include "links/DeviceFileOutput.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "links/PortLock.h"
#include "links/PortName.h"

namespace kelvo {

namespace {

// Keeps SIGPIPE from ending the program when the reader of a pipe is gone, without touching the
// process-wide disposition: blocked in this thread for one write, and the one raised is consumed.
class SigPipeGuard {
  public:
    SigPipeGuard() {
        ::sigemptyset(&pipe_);
        ::sigaddset(&pipe_, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        sigset_t pending;
        ::sigpending(&pending);
        wasPending_ = ::sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigPipeGuard() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    SigPipeGuard(const SigPipeGuard&) = delete;
    SigPipeGuard& operator=(const SigPipeGuard&) = delete;

    void ConsumeRaised() {
        if (wasPending_)
            return;
        const int saved = errno;
        timespec zero{};
        while (::sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
        }
        errno = saved;
    }

  private:
    sigset_t pipe_;
    sigset_t old_;
    bool wasPending_ = false;
};

}  // namespace

void DeviceFileOutput::OpenDevice(const std::string& name) {
    if (IsOpen())
        CloseDevice();
    fill_ = 0;
    immediate_ = false;
    pipe_ = false;

    // The kernel would silently stop at a 00 byte and open some other file.
    if (name.find('\0') != std::string::npos)
        throw EInOutError(kIoInvalidFilename);

    const bool standardOutput = name.empty();
    UniqueFd fd;
    if (standardOutput) {
        // A copy, so closing the channel never closes the process's own standard output (the next
        // open would take its number and stray prints would land in the port).
        fd.reset(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
        if (!fd) {
            if (errno == EBADF)
                throw EInOutError(kIoUnknownType, EBADF);
            ThrowInOutErrorFromErrno(errno);
        }
    } else {
        const ResolvedPort port = ResolvePortName(name);
        // Never O_CREAT on a device name: as root a missing port would become a regular file in
        // /dev. O_TRUNC only affects a regular file standing at that name, as a rewrite should.
        int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | O_TRUNC;
        if (!port.isDevice)
            flags |= O_CREAT;
        int raw;
        do {
            raw = ::open(port.path.c_str(), flags, 0666);
        } while (raw < 0 && errno == EINTR);
        if (raw < 0)
            ThrowInOutErrorFromErrno(errno);
        fd.reset(raw);
    }

    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        ThrowInOutErrorFromErrno(errno);
    if (S_ISCHR(st.st_mode)) {
        // Standard output was handed to us and is shared with whoever started the program: it
        // is not ours to claim.
        if (!standardOutput) {
            if (int err = LockPortExclusive(fd.get()); err != 0)
                ThrowInOutErrorFromErrno(err);
        }
        immediate_ = true;
    } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        pipe_ = true;
    } else if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        throw EInOutError(kIoUnknownType);
    }
    fd_ = std::move(fd);
}

void DeviceFileOutput::DeviceWrite(const std::string& bytes) {
    RequireOpen();
    Append(bytes.data(), bytes.size());
    Push();
}

void DeviceFileOutput::DeviceWriteLine(const std::string& bytes) {
    RequireOpen();
    Append(bytes.data(), bytes.size());
    Append("\r\n", 2);
    Push();
}

void DeviceFileOutput::CloseDevice() {
    RequireOpen();
    if (fill_ > 0)
        WriteOut();
    // Linux releases the descriptor even when close reports EINTR; nothing is lost by ignoring it.
    if (fd_.reset() != 0 && errno != EINTR)
        ThrowInOutErrorFromErrno(errno);
}

void DeviceFileOutput::Append(const char* data, std::size_t size) {
    while (size > 0) {
        const std::size_t n = std::min(size, kBufferSize - fill_);
        std::memcpy(buffer_.data() + fill_, data, n);
        fill_ += n;
        data += n;
        size -= n;
        if (fill_ == kBufferSize)
            WriteOut();
    }
}

void DeviceFileOutput::Push() {
    if (immediate_ && fill_ > 0)
        WriteOut();
}

void DeviceFileOutput::WriteOut() {
    const std::size_t size = std::exchange(fill_, 0);
    std::size_t done = 0;
    while (done < size) {
        ssize_t w;
        if (pipe_) {
            SigPipeGuard guard;
            w = ::write(fd_.get(), buffer_.data() + done, size - done);
            if (w < 0 && errno == EPIPE)
                guard.ConsumeRaised();
        } else {
            w = ::write(fd_.get(), buffer_.data() + done, size - done);
        }
        if (w > 0) {
            done += static_cast<std::size_t>(w);
        } else if (w == 0) {
            FailAndRelease(kIoDiskFull, 0);  // nothing accepted and no reason given: no room
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Only a standard output someone else made non-blocking; the writes here block.
            pollfd p{fd_.get(), POLLOUT, 0};
            ::poll(&p, 1, -1);
        } else if (errno != EINTR) {
            FailAndRelease(InOutErrorCodeFromErrno(errno), errno);
        }
    }
}

void DeviceFileOutput::FailAndRelease(int code, int err) {
    // The action ends here and will not close the channel; keeping the handle would keep the port
    // claimed and make every later action on it fail with "File access denied".
    fill_ = 0;
    fd_.reset();
    throw EInOutError(code, err);
}

void DeviceFileOutput::RequireOpen() const {
    if (!IsOpen())
        throw EInOutError(kIoNotOpen);
}

}  // namespace kelvo
