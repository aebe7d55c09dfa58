#include "links/Comm.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "links/Comm_p.h"
#include "links/PortLock.h"
#include "links/PortName.h"

namespace kelvo::comm {

bool NoticeSink::Post(std::function<void(TComm&)> deliver) const {
    if (!poster_)
        return true;
    try {
        poster_([token = token_, deliver = std::move(deliver)] {
            if (TComm* comm = *token)
                deliver(*comm);
        });
        return true;
    } catch (...) {
        return false;
    }
}

bool NoticeSink::ReceiveData(std::string bytes) const {
    return Post([bytes = std::move(bytes)](TComm& comm) {
        // std::string keeps a 00 after its data, as the handler is promised.
        if (comm.OnReceiveData) {
            comm.OnReceiveData(comm, bytes.data(), static_cast<uint16_t>(bytes.size()));
        }
    });
}

bool NoticeSink::ReceiveError(uint32_t flags) const {
    return Post([flags](TComm& comm) {
        if (comm.OnReceiveError)
            comm.OnReceiveError(comm, flags);
    });
}

bool NoticeSink::RequestHangup() const {
    return Post([](TComm& comm) {
        if (comm.OnRequestHangup)
            comm.OnRequestHangup(comm);
    });
}

bool NoticeSink::ModemStateChange(uint32_t bits) const {
    return Post([bits](TComm& comm) {
        if (comm.OnModemStateChange)
            comm.OnModemStateChange(comm, bits);
    });
}

bool NoticeSink::SendDataEmpty() const {
    return Post([](TComm& comm) {
        if (comm.OnSendDataEmpty)
            comm.OnSendDataEmpty(comm);
    });
}

bool StopSignal::Create() noexcept {
    return event_.valid();
}

void StopSignal::Signal() noexcept {
    // The flag first: a thread woken by the event must find it set.
    set_.store(true, std::memory_order_release);
    event_.Signal();
}

}  // namespace kelvo::comm

namespace {

const char* const kAlreadyOpen = "此串口已经打开";
const char* const kOpenFailed = "打开串口出错\r\n此串口不存在或被占用";
const char* const kQueueSetupFailed = "初始化缓冲区出错";
const char* const kNoEvent = "无法创建事件";
const char* const kNoReader = "无法创建读线程";
const char* const kNoWriter = "无法创建写线程";

kelvo::SerialLineMode DtrMode(TDtrControl c) {
    switch (c) {
        case TDtrControl::DtrDisable:
            return kelvo::SerialLineMode::Disable;
        case TDtrControl::DtrHandshake:
            return kelvo::SerialLineMode::Handshake;
        default:
            return kelvo::SerialLineMode::Enable;
    }
}

kelvo::SerialLineMode RtsMode(TRtsControl c) {
    switch (c) {
        case TRtsControl::RtsDisable:
            return kelvo::SerialLineMode::Disable;
        case TRtsControl::RtsHandshake:
            return kelvo::SerialLineMode::Handshake;
        case TRtsControl::RtsTransmissionAvailable:
            return kelvo::SerialLineMode::Toggle;
        default:
            return kelvo::SerialLineMode::Enable;
    }
}

}  // namespace

TComm::TComm(TNoticePoster poster)
    : poster_(std::move(poster)), token_(std::make_shared<TComm*>(this)) {}

TComm::~TComm() {
    ClosePort();
    *token_ = nullptr;
}

kelvo::SerialLineSettings TComm::LineSettings() const {
    kelvo::SerialLineSettings s;
    s.baudRate = baudRate_;
    s.dataBits = static_cast<int>(byteSize_) + 5;
    switch (parity_) {
        case TParity::Odd:
            s.parity = kelvo::SerialParity::Odd;
            break;
        case TParity::Even:
            s.parity = kelvo::SerialParity::Even;
            break;
        case TParity::Mark:
            s.parity = kelvo::SerialParity::Mark;
            break;
        case TParity::Space:
            s.parity = kelvo::SerialParity::Space;
            break;
        default:
            s.parity = kelvo::SerialParity::None;
            break;
    }
    switch (stopBits_) {
        case TStopBits::_1_5:
            s.stopBits = kelvo::SerialStopBits::OnePointFive;
            break;
        case TStopBits::_2:
            s.stopBits = kelvo::SerialStopBits::Two;
            break;
        default:
            s.stopBits = kelvo::SerialStopBits::One;
            break;
    }
    s.ctsOutputFlow = outxCtsFlow_;
    s.dsrOutputFlow = outxDsrFlow_;
    s.xonXoffOutput = outxXonXoffFlow_;
    s.xonXoffInput = inxXonXoffFlow_;
    s.xonChar = xonChar_;
    s.xoffChar = xoffChar_;
    s.dtr = DtrMode(dtrControl_);
    s.rts = RtsMode(rtsControl_);
    s.parityCheck = parityCheck_;
    s.replaceParityErrors = replaceWhenParityError_;
    s.replacementChar = replacedChar_;
    s.stripNulls = ignoreNullChar_;
    // DsrSensitivity, TxContinueOnXoff (Linux always keeps sending), XonLimit and XoffLimit (the
    // kernel's thresholds are fixed) have no termios form.
    return s;
}

void TComm::ApplyLineSettings() {
    // Settings the device refuses are not reported: the port stays as the device has it.
    (void)kelvo::ApplySerialLine(port_.get(), LineSettings());
    running_->readRules.stripNulls.store(ignoreNullChar_);
}

void TComm::ApplyTimeouts() {
    // The reader picks these up for its next wait. Write time-outs change nothing observable: a
    // partial write is continued with the rest until done or stopped.
    kelvo::comm::ReadRules& rules = running_->readRules;
    rules.intervalMs.store(readIntervalTimeout_);
    rules.totalMultiplierMs.store(readTotalTimeoutMultiplier_);
    rules.totalConstantMs.store(readTotalTimeoutConstant_);
}

void TComm::OpenPort() {
    if (port_)
        throw ECommsError(kAlreadyOpen);

    const kelvo::ResolvedPort where = kelvo::ResolvePortName(commName_);
    kelvo::UniqueFd port(::open(where.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!port || kelvo::LockPortExclusive(port.get()) != 0)
        throw ECommsError(kOpenFailed);
    // Only a serial device takes driver queue settings.
    if (!::isatty(port.get()))
        throw ECommsError(kQueueSetupFailed);
    // Keeps out openers without CAP_SYS_ADMIN, which may not know the lock.
    (void)::ioctl(port.get(), TIOCEXCL);

    std::unique_ptr<Running> running;
    try {
        running = std::make_unique<Running>();
    } catch (const std::bad_alloc&) {
        // Without room for what the threads share there is no stop event either.
        throw ECommsError(kNoEvent);
    }
    port_ = std::move(port);
    running_ = std::move(running);
    (void)::tcflush(port_.get(), TCIOFLUSH);
    sendQueueEmpty_.store(true);
    ApplyTimeouts();
    ApplyLineSettings();

    if (!running_->stop.Create()) {
        ReleasePort();
        throw ECommsError(kNoEvent);
    }

    kelvo::comm::NoticeSink sink(poster_, token_);
    try {
        running_->reader = std::make_unique<TReadThread>(port_.get(), running_->stop.fd(), sink,
                                                         running_->readRules);
    } catch (...) {
        ReleasePort();
        throw ECommsError(kNoReader);
    }
    try {
        running_->writer =
            std::make_unique<TWriteThread>(port_.get(), running_->stop, sink, sendQueueEmpty_);
    } catch (...) {
        ReleasePort();
        throw ECommsError(kNoWriter);
    }

    try {
        running_->reader->Start();
    } catch (...) {
        ReleasePort();
        throw ECommsError(kNoReader);
    }
    try {
        running_->writer->Start();
    } catch (...) {
        StopReader();
        ReleasePort();
        throw ECommsError(kNoWriter);
    }
}

void TComm::ClosePort() noexcept {
    if (!port_)
        return;
    StopReader();
    StopWriter();
    ReleasePort();
}

void TComm::ReleasePort() noexcept {
    // Threads not started are simply dropped; started ones have been stopped by now.
    running_.reset();
    // The exclusive flag outlives the descriptor on some ttys; the lock goes with the descriptor.
    (void)::ioctl(port_.get(), TIOCNXCL);
    port_.reset();
}

void TComm::StopReader() noexcept {
    if (!running_ || !running_->reader)
        return;
    // The stop signal goes first, so the woken thread finds it before anything else.
    running_->stop.Signal();
    (void)::tcflush(port_.get(), TCIFLUSH);
    running_->reader.reset();  // waits for the thread
}

void TComm::StopWriter() noexcept {
    if (!running_ || !running_->writer)
        return;
    running_->stop.Signal();
    (void)::tcflush(port_.get(), TCOFLUSH);
    sendQueueEmpty_.store(true);
    running_->writer.reset();  // waits for the thread; releases what was still queued
}

bool TComm::SendData(const void* Buffer, uint16_t Length) {
    if (!running_ || !running_->writer || Length == 0 || Buffer == nullptr)
        return false;
    return running_->writer->PostWriteRequest(static_cast<const char*>(Buffer), Length);
}
