#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>

#include "links/InOutError.h"
#include "links/UniqueFd.h"

namespace kelvo {

class WriteWatch;

// A port or file opened by its plain name for one action and written like a text file: bytes
// collect in a 128-byte buffer that goes out whenever it becomes full (the full buffers of one
// call go out together, as one write from the caller's bytes); on a character device (a
// serial or parallel port) every write call also pushes what is left, so each call has reached the
// port when it returns; on a disk file or pipe the rest waits for the next full buffer or
// CloseDevice. Bytes pass unchanged, 00 included; the port's line settings are left as they are.
// Every failure throws EInOutError. Writes and the wait for a port to send its queue are bounded
// by the thread's transfer monitor (Transfer.h): no byte taken for the stall limit is
// "I/O error 1110" (ETIMEDOUT), a cancel "I/O error 1125" (ECANCELED); what the port still
// holds is then dropped. A port is written blocking, watched for the action that opened it
// (WriteWatch.h), or non-blocking when no signal to watch it with is free.
class DeviceFileOutput {
  public:
    static constexpr std::size_t kBufferSize = 128;

    DeviceFileOutput();
    DeviceFileOutput(const DeviceFileOutput&) = delete;
    DeviceFileOutput& operator=(const DeviceFileOutput&) = delete;
    // Releases the handle without writing what is still buffered: an action that did not reach
    // CloseDevice failed, and nothing more of it should reach the printer.
    ~DeviceFileOutput();

    // The name goes through ResolvePortName. A device name (COMn, LPTn, under /dev/) is never
    // created: a missing port is "File not found". Any other name is a file, created or truncated.
    // An empty name is standard output. Character devices are claimed with the same exclusive lock
    // as the serial component, so a port held by it or by another program fails with code 5.
    // A name holding a 00 byte is "Invalid filename". An open channel is closed first.
    void OpenDevice(const std::string& name);
    void DeviceWrite(const std::string& bytes);
    // The bytes, then 0D 0A.
    void DeviceWriteLine(const std::string& bytes);
    // Writes what is buffered, waits until a port has sent it, then closes. Any failure after a
    // successful open also releases the handle, so the port is free for the next action; further
    // calls then fail with code 103.
    void CloseDevice();

    bool IsOpen() const noexcept { return fd_.valid(); }

  private:
    void Append(const char* data, std::size_t size);
    void Push();
    void WriteOut();
    void Write(const char* data, std::size_t size);
    [[noreturn]] void FailAndRelease(int code, int err);
    void RequireOpen() const;

    UniqueFd fd_;
    std::unique_ptr<WriteWatch> watch_;  // a blocking port: its writes sleep in the kernel
    bool immediate_ = false;             // character device: push after every write call
    bool pipe_ = false;                  // pipe or socket: a vanished reader must not raise SIGPIPE
    std::array<char, kBufferSize> buffer_{};
    std::size_t fill_ = 0;
};

}  // namespace kelvo
