#pragma once

// A running printer's control socket: a Unix-domain socket in a directory only its user can open
// (0700, the socket itself 0600), taking one request line per connection and answering one line.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace kelvo {

// $XDG_RUNTIME_DIR/kelvotool, else /tmp/kelvotool-UID, made 0700 when missing. Throws
// std::runtime_error when it cannot be made, or is not a directory of this user's that only this
// user can open.
std::string ControlDirectory();
// Where a printer listens unless told otherwise, and a control command looks by default.
std::string DefaultControlPath();

class ControlServer {
  public:
    // Called on the server's own thread with each request line, without its line end; returns
    // the answer line. Must not throw.
    using Handler = std::function<std::string(const std::string& request)>;
    // Listens at `path`; a socket left there by a process that has gone is replaced, one that
    // still answers is not. Empty `path`: the default path, or when a printer already answers
    // there, one beside it named after this process. Throws std::runtime_error naming the path.
    ControlServer(std::string path, Handler handler);
    ~ControlServer();  // removes the socket
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;
    const std::string& Path() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Sends `request` to the socket at `path` and returns the answer line. Throws std::runtime_error
// when nothing listens there or no answer comes within `limit`.
std::string AskControl(const std::string& path, const std::string& request,
                       std::chrono::milliseconds limit = std::chrono::seconds(5));

}  // namespace kelvo
