#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "links/EventFd.h"
#include "links/UniqueFd.h"

namespace kelvo::testing {

// A hung print server: a unix socket under a temporary directory whose listener, in its own
// thread, accepts every connection and then neither reads nor answers, as a wedged cupsd does.
// Requests sit unread in the socket and the client waits for an answer that never comes.
class SilentServer {
  public:
    SilentServer();  // throws std::runtime_error
    ~SilentServer();
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    const std::string& path() const { return path_; }
    // Waits until at least `count` connections have been accepted.
    bool waitForAccepted(size_t count,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

  private:
    void run();

    std::string dir_;
    std::string path_;
    kelvo::UniqueFd listen_;
    kelvo::EventFd stop_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<kelvo::UniqueFd> held_;
    std::thread thread_;
};

// Points this process's CUPS client at another server for the scope's life (CUPS_SERVER), and
// back afterwards. libcups keeps the server it found per thread, so this forgets it on the
// calling thread only: threads that used CUPS before keep theirs, threads started later read the
// environment afresh.
class CupsServerRoute {
  public:
    explicit CupsServerRoute(const std::string& server);
    ~CupsServerRoute();
    CupsServerRoute(const CupsServerRoute&) = delete;
    CupsServerRoute& operator=(const CupsServerRoute&) = delete;

  private:
    std::optional<std::string> previous_;
};

}  // namespace kelvo::testing
