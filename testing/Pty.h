#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "links/UniqueFd.h"

namespace kelvo::testing {

// A pseudo-terminal pair: the test holds the master, the code under test opens slavePath() as its
// port (directly, through a symlink, or via KELVOTOOL_COMn). Closing the master makes the port
// vanish, like an unplugged adapter.
class Pty {
  public:
    Pty();  // throws std::runtime_error
    const std::string& slavePath() const { return slave_; }
    int master() const { return master_.get(); }
    void closeMaster() { master_.reset(); }

    // Reads from the master until `n` bytes arrived or the time-out passed.
    std::string read(size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    // Reads whatever arrives until `quiet` passes with nothing new.
    std::string drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(150));
    void write(const std::string& bytes);
    // Sends XOFF (hold) or XON as a printer would and waits until the slave's output has
    // stopped or resumed; the slave needs IXON. False when not confirmed within 3 s.
    bool holdOutput(bool hold);

    // The line settings as the master end reads them (they are the slave's); throws
    // std::system_error when they cannot be read.
    termios lineSettings() const;
    // Cooked, slow, with every translation and option on: whatever a serial component leaves
    // afterwards was set by it.
    void scramble();

  private:
    kelvo::UniqueFd master_;
    std::string slave_;
};

// A printer on a slow line: reads the master end in a thread of its own at about
// `bytesPerSecond`, keeping what it read. 0 reads as fast as bytes come.
class SlowReader {
  public:
    SlowReader(Pty& pty, size_t bytesPerSecond);
    ~SlowReader();
    SlowReader(const SlowReader&) = delete;
    SlowReader& operator=(const SlowReader&) = delete;

    void setRate(size_t bytesPerSecond) { rate_ = bytesPerSecond; }
    size_t count() const;
    std::string bytes() const;
    // Waits until `n` bytes have been read; false when `timeout` passed first.
    bool waitFor(size_t n, std::chrono::milliseconds timeout);

  private:
    void run();

    Pty& pty_;
    std::atomic<size_t> rate_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mu_;
    std::string read_;
    std::thread thread_;
};

// Points KELVOTOOL_<NAME> (e.g. "COM3") at a path for the lifetime of the object.
class PortOverride {
  public:
    PortOverride(const std::string& portName, const std::string& path);
    ~PortOverride();
    PortOverride(const PortOverride&) = delete;
    PortOverride& operator=(const PortOverride&) = delete;

  private:
    std::string var_;
};

}  // namespace kelvo::testing
