#pragma once

// A transparent tap between a POS and its serial printer: a pseudo-terminal that the POS opens as
// its port, and the printer's real port with its line settings. Every byte both ways is passed on
// unchanged and in order as soon as it arrives, XON and XOFF among them, so the POS's own flow
// control rules the line as it would at the printer. A side that stops taking bytes stops the tap
// reading the other (bounded buffers). The whole run is one session: the tap holds its pty open, so
// the POS may open and close its port as often as it likes. The observer hears the network tap's
// events (links/Tap.h): Opened once, ToPrinter and ToPos, and Reset when the port fails (an adapter
// pulled out), after which the pty hangs up, as the port did.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "links/SerialLine.h"
#include "links/Tap.h"

namespace kelvo {

struct SerialTapOptions {
    std::string port;         // the printer's port, as every serial command names it: COM1, a path
    SerialLineSettings line;  // its line; a baudRate of 0 keeps the speed the port has
    std::string link;         // a symbolic link to the pty, for the POS to open; empty: none
};

class SerialTap {
  public:
    // Claims the port and sets its line, opens the pty (raw, at the port's speed) and its link.
    // Throws EInOutError when the port cannot be opened, std::system_error for the rest. The
    // observer is called from the tap's thread and must not throw.
    SerialTap(SerialTapOptions options, std::function<void(const TapEvent&)> observer);
    ~SerialTap();  // stops forwarding, joins its thread, removes the link
    SerialTap(const SerialTap&) = delete;
    SerialTap& operator=(const SerialTap&) = delete;

    // Forwards from now on, the session opened; once only.
    void Start();

    // Where the POS opens its port: the link when one was named, else the pty itself.
    std::string PosPath() const;
    uint32_t Baud() const;
    // Readable once forwarding has ended by itself (the port failed).
    int EndedFd() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kelvo
