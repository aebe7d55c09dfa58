#pragma once

// The serial port component: owns one port while it is open, with a reader and a writer thread of
// its own. Every event runs on the owner's thread, delivered through the poster given at
// construction; nothing here touches the port from the owner's thread except open, line settings
// and close.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "links/SerialLine.h"
#include "links/UniqueFd.h"

class TComm;

// The one exception of the serial component; the message is UTF-8.
class ECommsError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

enum class TDtrControl : uint8_t { DtrEnable = 0, DtrDisable = 1, DtrHandshake = 2 };
enum class TRtsControl : uint8_t {
    RtsEnable = 0,
    RtsDisable = 1,
    RtsHandshake = 2,
    RtsTransmissionAvailable = 3,
};
enum class TByteSize : uint8_t { _5 = 0, _6 = 1, _7 = 2, _8 = 3 };
enum class TParity : uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class TStopBits : uint8_t { _1 = 0, _1_5 = 1, _2 = 2 };

// Line error flags passed to OnReceiveError (the serial API's values).
inline constexpr uint32_t CE_RXOVER = 0x0001;    // input queue overflow
inline constexpr uint32_t CE_OVERRUN = 0x0002;   // character buffer overrun
inline constexpr uint32_t CE_RXPARITY = 0x0004;  // parity error
inline constexpr uint32_t CE_FRAME = 0x0008;     // framing error
inline constexpr uint32_t CE_BREAK = 0x0010;     // break seen
// Bits passed to OnModemStateChange.
inline constexpr uint32_t kModemCarrierChanged = 8;  // receive-line-signal-detect changed
inline constexpr uint32_t kModemRing = 4;            // ring indicator seen

using TReceiveDataEvent =
    std::function<void(TComm& Sender, const void* Buffer, uint16_t BufferLength)>;
using TReceiveErrorEvent = std::function<void(TComm& Sender, uint32_t EventMask)>;
using TModemStateChangeEvent = std::function<void(TComm& Sender, uint32_t ModemEvent)>;
using TSendDataEmptyEvent = std::function<void(TComm& Sender)>;
using TNotifyEvent = std::function<void(TComm& Sender)>;

// Queues a notice to run on the owner's thread. Called from the reader and writer threads; must
// keep the order of its calls. The window passes one that queues onto its event loop.
using TNoticePoster = std::function<void(std::function<void()>)>;

class TComm {
  public:
    // `poster` delivers notices on the owner's thread; an empty one drops them.
    explicit TComm(TNoticePoster poster);
    ~TComm();  // closes the port first if it is open
    TComm(const TComm&) = delete;
    TComm& operator=(const TComm&) = delete;

    // Opens CommName exclusively, applies the time-outs and line settings and starts the reader
    // and the writer. Throws ECommsError; nothing is held after a failure.
    void OpenPort();
    // Stops both threads and closes the port; nothing when closed. Notices already queued are
    // still delivered while the component lives.
    void ClosePort() noexcept;
    // Queues a copy of the bytes for the writer. True means handed over, not written.
    bool SendData(const void* Buffer, uint16_t Length);

    bool IsOpen() const noexcept { return port_.valid(); }
    int PortHandle() const noexcept { return port_.get(); }  // -1 while closed
    // A hint only: true when the writer has nothing queued.
    bool SendQueueEmpty() const noexcept { return sendQueueEmpty_.load(); }

    // ---- Properties. Setting the current value does nothing; otherwise the value is stored and,
    // while open, the line settings (or the time-outs) are applied again at once. CommName and
    // Parity are only stored: they take effect at the next open (Parity also at the next
    // re-application caused by another property).
    const std::string& CommName() const noexcept { return commName_; }
    void SetCommName(const std::string& value) { commName_ = value; }
    uint32_t BaudRate() const noexcept { return baudRate_; }
    void SetBaudRate(uint32_t value) { SetLine(baudRate_, value); }
    bool ParityCheck() const noexcept { return parityCheck_; }
    void SetParityCheck(bool value) { SetLine(parityCheck_, value); }
    bool Outx_CtsFlow() const noexcept { return outxCtsFlow_; }
    void SetOutx_CtsFlow(bool value) { SetLine(outxCtsFlow_, value); }
    bool Outx_DsrFlow() const noexcept { return outxDsrFlow_; }
    void SetOutx_DsrFlow(bool value) { SetLine(outxDsrFlow_, value); }
    TDtrControl DtrControl() const noexcept { return dtrControl_; }
    void SetDtrControl(TDtrControl value) { SetLine(dtrControl_, value); }
    bool DsrSensitivity() const noexcept { return dsrSensitivity_; }
    void SetDsrSensitivity(bool value) { SetLine(dsrSensitivity_, value); }
    bool TxContinueOnXoff() const noexcept { return txContinueOnXoff_; }
    void SetTxContinueOnXoff(bool value) { SetLine(txContinueOnXoff_, value); }
    bool Outx_XonXoffFlow() const noexcept { return outxXonXoffFlow_; }
    void SetOutx_XonXoffFlow(bool value) { SetLine(outxXonXoffFlow_, value); }
    bool Inx_XonXoffFlow() const noexcept { return inxXonXoffFlow_; }
    void SetInx_XonXoffFlow(bool value) { SetLine(inxXonXoffFlow_, value); }
    bool ReplaceWhenParityError() const noexcept { return replaceWhenParityError_; }
    void SetReplaceWhenParityError(bool value) { SetLine(replaceWhenParityError_, value); }
    bool IgnoreNullChar() const noexcept { return ignoreNullChar_; }
    void SetIgnoreNullChar(bool value) { SetLine(ignoreNullChar_, value); }
    TRtsControl RtsControl() const noexcept { return rtsControl_; }
    void SetRtsControl(TRtsControl value) { SetLine(rtsControl_, value); }
    uint16_t XonLimit() const noexcept { return xonLimit_; }
    void SetXonLimit(uint16_t value) { SetLine(xonLimit_, value); }
    uint16_t XoffLimit() const noexcept { return xoffLimit_; }
    void SetXoffLimit(uint16_t value) { SetLine(xoffLimit_, value); }
    TByteSize ByteSize() const noexcept { return byteSize_; }
    void SetByteSize(TByteSize value) { SetLine(byteSize_, value); }
    TParity Parity() const noexcept { return parity_; }
    void SetParity(TParity value) { parity_ = value; }
    TStopBits StopBits() const noexcept { return stopBits_; }
    void SetStopBits(TStopBits value) { SetLine(stopBits_, value); }
    uint8_t XonChar() const noexcept { return xonChar_; }
    void SetXonChar(uint8_t value) { SetLine(xonChar_, value); }
    uint8_t XoffChar() const noexcept { return xoffChar_; }
    void SetXoffChar(uint8_t value) { SetLine(xoffChar_, value); }
    uint8_t ReplacedChar() const noexcept { return replacedChar_; }
    void SetReplacedChar(uint8_t value) { SetLine(replacedChar_, value); }
    uint32_t ReadIntervalTimeout() const noexcept { return readIntervalTimeout_; }
    void SetReadIntervalTimeout(uint32_t value) { SetTimeout(readIntervalTimeout_, value); }
    uint32_t ReadTotalTimeoutMultiplier() const noexcept { return readTotalTimeoutMultiplier_; }
    void SetReadTotalTimeoutMultiplier(uint32_t value) {
        SetTimeout(readTotalTimeoutMultiplier_, value);
    }
    uint32_t ReadTotalTimeoutConstant() const noexcept { return readTotalTimeoutConstant_; }
    void SetReadTotalTimeoutConstant(uint32_t value) {
        SetTimeout(readTotalTimeoutConstant_, value);
    }
    uint32_t WriteTotalTimeoutMultiplier() const noexcept { return writeTotalTimeoutMultiplier_; }
    void SetWriteTotalTimeoutMultiplier(uint32_t value) {
        SetTimeout(writeTotalTimeoutMultiplier_, value);
    }
    uint32_t WriteTotalTimeoutConstant() const noexcept { return writeTotalTimeoutConstant_; }
    void SetWriteTotalTimeoutConstant(uint32_t value) {
        SetTimeout(writeTotalTimeoutConstant_, value);
    }

    // ---- Events, run on the owner's thread; an empty one is skipped. A handler may call
    // ClosePort. OnReceiveData's buffer has one 00 byte after the data and is valid only during
    // the call.
    TReceiveDataEvent OnReceiveData;
    TReceiveErrorEvent OnReceiveError;
    TModemStateChangeEvent OnModemStateChange;
    TNotifyEvent OnRequestHangup;
    TSendDataEmptyEvent OnSendDataEmpty;

    // The settings ApplyLineSettings puts on the port, from the properties.
    kelvo::SerialLineSettings LineSettings() const;

  private:
    template <class T>
    void SetLine(T& field, T value) {
        if (field == value)
            return;
        field = value;
        if (IsOpen())
            ApplyLineSettings();
    }
    template <class T>
    void SetTimeout(T& field, T value) {
        if (field == value)
            return;
        field = value;
        if (IsOpen())
            ApplyTimeouts();
    }

    void ApplyLineSettings();
    void ApplyTimeouts();
    void StopReader() noexcept;
    void StopWriter() noexcept;
    void ReleasePort() noexcept;

    std::string commName_ = "COM2";
    uint32_t baudRate_ = 9600;
    bool parityCheck_ = false;
    bool outxCtsFlow_ = false;
    bool outxDsrFlow_ = false;
    TDtrControl dtrControl_ = TDtrControl::DtrEnable;
    bool dsrSensitivity_ = false;
    bool txContinueOnXoff_ = true;
    bool outxXonXoffFlow_ = true;
    bool inxXonXoffFlow_ = true;
    bool replaceWhenParityError_ = false;
    bool ignoreNullChar_ = false;
    TRtsControl rtsControl_ = TRtsControl::RtsEnable;
    uint16_t xonLimit_ = 500;
    uint16_t xoffLimit_ = 500;
    TByteSize byteSize_ = TByteSize::_8;
    TParity parity_ = TParity::None;
    TStopBits stopBits_ = TStopBits::_1;
    uint8_t xonChar_ = 0x11;
    uint8_t xoffChar_ = 0x13;
    uint8_t replacedChar_ = 0x00;
    uint32_t readIntervalTimeout_ = 100;
    uint32_t readTotalTimeoutMultiplier_ = 0;
    uint32_t readTotalTimeoutConstant_ = 0;
    uint32_t writeTotalTimeoutMultiplier_ = 0;
    uint32_t writeTotalTimeoutConstant_ = 0;

    TNoticePoster poster_;
    std::shared_ptr<TComm*> token_;  // the notices' way back to this object; cleared on death
    kelvo::UniqueFd port_;
    std::atomic<bool> sendQueueEmpty_{true};
    // The threads and what they share with this object (links/Comm_p.h); null while closed.
    struct Running;
    std::unique_ptr<Running> running_;
};
