#pragma once

// A transparent tap between a POS and its network printer. Each connection the POS opens is one
// session, forwarded over a connection of its own to the printer: every byte both ways, unchanged
// and in order, as soon as it arrives. An end reaches the other side as itself: a close as a close
// once the tail is delivered (the other direction stays open until it ends too), a reset as a
// reset. A side that stops reading stops the tap reading the other (bounded buffers), so the
// sender feels the stall it would feel at the printer. An observer hears every event.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kelvo {

struct TapEvent {
    enum class Kind {
        Opened,     // the POS connected and the printer accepted; `text` names both
        ToPrinter,  // bytes the POS sent, delivered on
        ToPos,      // bytes the printer sent, delivered on
        Closed,     // `fromPos` ended its side with a close
        Reset,      // `fromPos` reset (or failed); the other side was reset
        Failed,     // the printer could not be reached; `text` says why; the POS was reset
    };
    Kind kind = Kind::Opened;
    uint64_t session = 0;  // 1, 2, ... in the order the POS connected
    std::chrono::system_clock::time_point at;
    std::string bytes;  // ToPrinter, ToPos
    std::string text;
    bool fromPos = false;
};

struct TapOptions {
    std::string listenHost = "127.0.0.1";  // numeric
    uint16_t listenPort = 9100;            // 0: any free port
    std::string printerHost;               // numeric, or a name
    uint16_t printerPort = 9100;
    std::chrono::milliseconds connectLimit{10000};
};

class Tap {
  public:
    // Listens at once; throws std::system_error when it cannot. The observer is called from the
    // sessions' threads, one call at a time, and must not throw.
    Tap(TapOptions options, std::function<void(const TapEvent&)> observer);
    ~Tap();  // ends every session with a reset on both sides, and joins its thread
    Tap(const Tap&) = delete;
    Tap& operator=(const Tap&) = delete;

    std::string Address() const;  // "127.0.0.1:9100"
    uint16_t Port() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kelvo
