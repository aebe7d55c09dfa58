#include "links/DeviceFileOutput.h"

#include <fcntl.h>
#include <linux/lp.h>
#include <linux/major.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "links/PortLock.h"
#include "links/PortName.h"
#include "links/Transfer.h"
#include "links/WriteWatch.h"

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

DeviceFileOutput::DeviceFileOutput() = default;
DeviceFileOutput::~DeviceFileOutput() = default;

void DeviceFileOutput::OpenDevice(const std::string& name) {
    if (IsOpen())
        CloseDevice();
    fill_ = 0;
    immediate_ = false;
    pipe_ = false;
    watch_.reset();

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
        // O_NONBLOCK lets every write be bounded, and makes a pipe nobody reads an error (ENXIO)
        // instead of an open that waits for ever.
        int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | O_TRUNC | O_NONBLOCK;
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
        // The parallel port driver would otherwise retry an offline or paper-out printer for ever.
        if (!standardOutput && ::major(st.st_rdev) == LP_MAJOR)
            ::ioctl(fd.get(), LPABORT, 1);
        // The open needed O_NONBLOCK (a port without carrier would wait in it); the writes are
        // faster blocking and are bounded by a watch, whose signal another part of the program may
        // have taken since the last open. With none to be had the port stays non-blocking,
        // bounded by poll. Standard output keeps the mode it was given.
        const int wake = ClaimWakeSignal();
        if (!standardOutput && wake != 0)
            ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
        if (wake != 0 && (::fcntl(fd.get(), F_GETFL) & O_NONBLOCK) == 0) {
            try {
                watch_ = std::make_unique<WriteWatch>(wake);
            } catch (const std::system_error& e) {
                ThrowInOutErrorFromErrno(e.code().value());
            }
        }
    } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        pipe_ = true;
    } else if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        throw EInOutError(kIoUnknownType);
    } else if (!standardOutput) {
        // Files and disks always take the bytes; they are written as they always were.
        ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
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
    // A real port's close() would wait up to 30 s for output that XOFF holds back; wait here
    // instead, while the port keeps sending, and give up like a stalled write.
    if (immediate_) {
        if (const int err = WaitOutputDrained(fd_.get()).error; err != 0)
            FailAndRelease(InOutErrorCodeFromErrno(err), err);
    }
    // Linux releases the descriptor even when close reports EINTR; nothing is lost by ignoring it.
    watch_.reset();
    if (fd_.reset() != 0 && errno != EINTR)
        ThrowInOutErrorFromErrno(errno);
}

void DeviceFileOutput::Append(const char* data, std::size_t size) {
    if (fill_ > 0) {
        const std::size_t n = std::min(size, kBufferSize - fill_);
        std::memcpy(buffer_.data() + fill_, data, n);
        fill_ += n;
        data += n;
        size -= n;
        if (fill_ < kBufferSize)
            return;
        WriteOut();
    }
    // Every buffer this call would fill goes out in one write straight from the caller's bytes:
    // the target has the same bytes by the end of the call, without a system call per buffer.
    const std::size_t whole = size - size % kBufferSize;
    if (whole > 0)
        Write(data, whole);
    std::memcpy(buffer_.data(), data + whole, size - whole);
    fill_ = size - whole;
}

void DeviceFileOutput::Push() {
    if (immediate_ && fill_ > 0)
        WriteOut();
}

void DeviceFileOutput::WriteOut() {
    Write(buffer_.data(), std::exchange(fill_, 0));
}

void DeviceFileOutput::Write(const char* data, std::size_t size) {
    WriteOutcome out;
    if (pipe_) {
        SigPipeGuard guard;
        out = WriteAll(fd_.get(), data, size, false);
        if (out.error == EPIPE)
            guard.ConsumeRaised();
    } else if (watch_) {
        out = watch_->Write(fd_.get(), data, size);
    } else {
        out = WriteAll(fd_.get(), data, size, false);
    }
    if (out.error != 0)
        FailAndRelease(InOutErrorCodeFromErrno(out.error), out.error);
}

void DeviceFileOutput::FailAndRelease(int code, int err) {
    // The action ends here and will not close the channel; keeping the handle would keep the port
    // claimed and make every later action on it fail with "File access denied". What the driver
    // still holds of it is dropped, so the next action starts on a clean line.
    fill_ = 0;
    if (immediate_)
        ::tcflush(fd_.get(), TCOFLUSH);
    watch_.reset();
    fd_.reset();
    throw EInOutError(code, err);
}

void DeviceFileOutput::RequireOpen() const {
    if (!IsOpen())
        throw EInOutError(kIoNotOpen);
}

}  // namespace kelvo
