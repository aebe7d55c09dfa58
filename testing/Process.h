#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "links/UniqueFd.h"

namespace kelvo::testing {

struct Finished {
    int status = -1;  // the exit status; -1 when it did not exit by itself
    std::string out;
    std::string err;
};

// A program running in a process of its own, its output collected through pipes; killed with the
// object if it is still running. The child gets no display: whatever it needs it must manage
// without one.
class Process {
  public:
    // `env` adds to this process's environment; `launcher` runs the program (`ip netns exec
    // NAME`), or nothing does.
    Process(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& env = {},
            const std::vector<std::string>& launcher = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void Signal(int signal);
    pid_t pid() const { return pid_; }    // for what /proc says of it
    void CloseOutput() { out_.reset(); }  // the reader goes, as `| head -1` does

    // Reads stdout until it holds `text`; what it read stays for Finish. False after `limit`.
    bool WaitForOutput(const std::string& text,
                       std::chrono::milliseconds limit = std::chrono::seconds(60));
    const std::string& OutputSoFar() const { return early_; }

    // Collects the output until the program ends; one that runs past `limit` is killed.
    Finished Finish(std::chrono::milliseconds limit = std::chrono::seconds(60));

  private:
    pid_t pid_ = -1;
    kelvo::UniqueFd out_, err_;
    std::string early_;
};

}  // namespace kelvo::testing
