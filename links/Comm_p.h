#pragma once

// The serial component's plumbing: its reader and writer threads and what they share with it.
// Only the component's own sources include this.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "links/Comm.h"
#include "links/EventFd.h"
#include "links/UniqueFd.h"

namespace kelvo::comm {

// Read completion rules shared with the running reader; the time-out setters change them while it
// runs.
struct ReadRules {
    std::atomic<uint32_t> intervalMs{100};
    std::atomic<uint32_t> totalMultiplierMs{0};
    std::atomic<uint32_t> totalConstantMs{0};
    std::atomic<bool> stripNulls{false};
};

// How the threads reach the owner: each notice becomes a closure for the poster. The closure finds
// its component through a token the component clears when it dies, so a notice still queued then
// is dropped instead of touching freed memory.
class NoticeSink {
  public:
    NoticeSink(TNoticePoster poster, std::shared_ptr<TComm*> token)
        : poster_(std::move(poster)), token_(std::move(token)) {}
    // Each returns false when posting failed.
    bool ReceiveData(std::string bytes) const;
    bool ReceiveError(uint32_t flags) const;
    bool RequestHangup() const;
    bool ModemStateChange(uint32_t bits) const;
    bool SendDataEmpty() const;

  private:
    bool Post(std::function<void(TComm&)> deliver) const;

    TNoticePoster poster_;
    std::shared_ptr<TComm*> token_;
};

// The component's stop signal: set once, stays set. The event wakes a thread waiting in poll; the
// flag lets a thread that is busy writing look between writes without a system call.
class StopSignal {
  public:
    // False when no event could be created.
    bool Create() noexcept;
    void Signal() noexcept;
    bool Signalled() const noexcept { return set_.load(std::memory_order_acquire); }
    int fd() const noexcept { return event_.fd(); }

  private:
    EventFd event_{std::nothrow};
    std::atomic<bool> set_{false};
};

}  // namespace kelvo::comm

// Waits for incoming bytes and line events and posts them to the owner.
class TReadThread {
  public:
    static constexpr size_t kBufferSize = 4096;

    TReadThread(int port, int stopEvent, kelvo::comm::NoticeSink sink,
                const kelvo::comm::ReadRules& rules);
    ~TReadThread();  // waits for the thread
    TReadThread(const TReadThread&) = delete;
    TReadThread& operator=(const TReadThread&) = delete;

    void Start();    // throws std::system_error when no thread can be created
    void WaitFor();  // returns once the thread has ended (the stop event must be set)

  private:
    void Execute();
    bool PassReceivedBytes(const char* bytes, size_t count);

    const int port_;
    const int stopEvent_;
    const kelvo::comm::NoticeSink sink_;
    const kelvo::comm::ReadRules& rules_;
    std::thread thread_;
};

// Writes the bytes handed to it, in the order they were handed over. Requests collect in chunks
// that the writer takes all at once, so a busy writer costs a poster only a copy under the lock;
// only a writer that has gone idle is woken.
class TWriteThread {
  public:
    // Throws std::system_error when its wake-up event cannot be created.
    TWriteThread(int port, const kelvo::comm::StopSignal& stop, kelvo::comm::NoticeSink sink,
                 std::atomic<bool>& sendQueueEmpty);
    ~TWriteThread();  // waits for the thread; bytes still queued are released unwritten
    TWriteThread(const TWriteThread&) = delete;
    TWriteThread& operator=(const TWriteThread&) = delete;

    void Start();  // throws std::system_error when no thread can be created
    void WaitFor();

    // Queues a copy of the bytes, whole or not at all. False once the writer has ended, or when
    // there is no memory.
    bool PostWriteRequest(const char* bytes, size_t size);

  private:
    // Small enough to come from the heap rather than fresh pages of its own, so chunks are
    // recycled without page faults.
    static constexpr size_t kChunkSize = 64 * 1024;
    // Emptied chunks kept for the posters, at most.
    static constexpr size_t kSpareChunks = 16;

    void Execute();
    bool WriteBlock(const std::string& bytes);

    const int port_;
    const kelvo::comm::StopSignal& stop_;
    const kelvo::comm::NoticeSink sink_;
    std::atomic<bool>& sendQueueEmpty_;
    kelvo::EventFd wake_;  // readable once a request arrived while the writer was idle
    std::mutex mutex_;
    // Guarded by mutex_: chunks of up to kChunkSize in order, and emptied ones to reuse.
    std::vector<std::string> queued_;
    std::vector<std::string> spare_;
    bool idle_ = false;  // guarded by mutex_: the writer waits for wake_
    // Set with queued_, so that a lingering writer need not take the lock to look.
    std::atomic<bool> posted_{false};
    bool accepting_ = true;
    std::thread thread_;
};

// What exists only while the port is open. The threads are declared last, so they are gone before
// what they use.
struct TComm::Running {
    kelvo::comm::ReadRules readRules;
    kelvo::comm::StopSignal stop;
    std::unique_ptr<TReadThread> reader;
    std::unique_ptr<TWriteThread> writer;
};
