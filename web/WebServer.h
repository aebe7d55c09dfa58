#pragma once

// The virtual printers' page and its JSON API over HTTP: the printers with their state, their
// saved jobs newest first (each job's files read from its printer's folder as they are asked
// for), live news of jobs and states as server-sent events, and changes of a printer's state and
// faults (the control socket's own requests) and of its jobs.
//
// Safe by default: it listens where it is told, loopback unless named otherwise. On loopback it
// answers only requests addressed to a loopback name (no other site's page reaches it through a
// name of its own); beyond loopback every changing request must carry its token. A changing
// request from another site's page (an Origin not its own) is refused everywhere. Only a job's
// own files are served, and only when their real path lies in their printer's folder.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "printer/PrinterBox.h"
#include "web/JobIndex.h"

namespace httplib {
class Server;
}

namespace kelvo::web {

struct WebPrinter {
    std::string name;  // as the control requests name it
    std::string jobsDir;
    printer::PrinterBox* box = nullptr;
};

class WebServer {
  public:
    struct Options {
        std::string host = "127.0.0.1";  // numeric
        uint16_t port = 0;               // 0: any free one
        size_t indexCap = JobIndex::kCap;
    };
    // A control request line ("set NAME WHAT [on|off|MS]"), answered as the control socket
    // answers it ("ok", "error: ..."); called on the server's threads.
    using Control = std::function<std::string(const std::string& request)>;
    // At most this many pages follow the news at once: each holds one of the server's threads.
    static constexpr int kStreams = 4;
    static constexpr int kThreads = 8;

    // Indexes the jobs already in the printers' folders and listens. Throws std::runtime_error
    // naming the address when it cannot.
    WebServer(Options options, std::vector<WebPrinter> printers, Control control);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // "http://127.0.0.1:8080/"
    std::string Url() const;
    bool Loopback() const { return loopback_; }
    // What a changing request beyond loopback carries ("Authorization: Bearer TOKEN").
    const std::string& Token() const { return token_; }
    // The job `number` of printer `printer` (an index into the printers) is saved: any thread.
    void JobSaved(size_t printer, uint64_t number);

  private:
    struct Seen;  // what one page following the news has been told
    void Route();
    // Wakes the pages that follow the news.
    void Notify();
    // The next news for `seen`, once there is some (or a heartbeat is due); false once stopping.
    bool News(Seen& seen, std::string& out);
    std::string PrintersJson() const;
    std::string JobJson(const JobIndex::Job& job) const;
    // The printer named `name`, or -1.
    int PrinterNamed(const std::string& name) const;

    std::vector<WebPrinter> printers_;
    std::vector<std::string> realDirs_;  // each folder's real path, "" when it has none
    Control control_;
    JobIndex index_;
    std::string host_;
    int port_ = 0;
    bool loopback_ = true;
    std::string token_;
    std::mutex newsMu_;
    std::condition_variable news_;
    uint64_t newsCount_ = 0;
    bool stopping_ = false;
    std::atomic<int> streams_{0};
    std::atomic<bool> listened_{false};  // its loop has ended
    std::unique_ptr<httplib::Server> http_;
    std::thread thread_;
};

}  // namespace kelvo::web
