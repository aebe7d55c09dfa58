#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvo::testing {

// A private cupsd with its own configuration, spool and socket under a temporary directory,
// reachable only through that socket (no TCP listener to collide with other suites). It
// never touches the machine's own CUPS: the constructor points this process's CUPS client at the
// private socket through the environment, which libcups reads on its first call in each thread,
// so construct it before anything in the process talks to CUPS, and keep one per test binary.
class CupsServer {
  public:
    // Empty when cupsd, lpadmin and the socket backend are installed; otherwise what is missing
    // (tests then report themselves skipped).
    static std::string MissingPieces();

    CupsServer();   // starts cupsd and waits until it answers; throws std::runtime_error
    ~CupsServer();  // stops cupsd (by its PID) and removes the directory
    CupsServer(const CupsServer&) = delete;
    CupsServer& operator=(const CupsServer&) = delete;

    // Adds an enabled raw queue whose device is a TCP printer at host:port. A printer that cannot
    // be reached aborts the job after about 2 s instead of being retried for days. The socket
    // backend half-closes after the job and waits up to 90 s for the printer to close its end, so
    // the printer behind the queue must close at end of stream (LoopbackPrinter's Record mode).
    void AddRawQueue(const std::string& name, const std::string& host, uint16_t port);
    // The same, with the device named by its URI (lpd://HOST:PORT/QUEUE?...).
    void AddQueue(const std::string& name, const std::string& uri);

    struct Job {
        int id;
        std::string printer;
        std::string title;  // the IPP job-name
        int state;          // IPP job-state: 3 pending ... 7 canceled, 8 aborted, 9 completed
    };
    // Every job the server knows, finished ones included, in job-number order.
    std::vector<Job> Jobs() const;
    // Waits until every job has ended (state 7 or above); false when the time ran out.
    bool WaitForJobsEnded(
        std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) const;

    const std::string& directory() const { return base_; }
    std::string ErrorLog() const;

  private:
    void Stop();

    std::string base_;
    pid_t pid_ = -1;
};

}  // namespace kelvo::testing
