#pragma once

// A tap's events as people and programs read them, for the command line and the window alike:
// what goes to the printer is decoded as the activity log decodes it; what comes back, by what
// was asked for (bytes nobody asked for are unsolicited). Every line carries its time and the gap
// since the line before. And the capture file, written as the events come.

#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "links/Tap.h"
#include "protocol/TapCapture.h"

namespace kelvo::cli {

struct TapLine {
    std::chrono::system_clock::time_point at;
    double gapMs = 0;      // since the line before
    uint64_t session = 0;  // 0: the tap's own line
    // "listening", "opened", "to-printer", "answer", "unsolicited", "pos-closed",
    // "printer-closed", "reset", "failed"
    std::string event;
    std::string text;   // "ESC @  initialize", "12  DLE EOT 1: online, drawer pin 3 low"
    std::string bytes;  // the bytes the line reads, if any

    // "14:02:11.532    +0.412 ms  #1 -> ESC @  initialize", in local time.
    std::string Text() const;
    // {"time":"...Z","gap_ms":0.412,"session":1,"event":"to-printer","text":"...","hex":"1B 40"}
    std::string Json() const;
};

class TapStream {
  public:
    TapStream();
    ~TapStream();
    // The lines `event` makes, in order; a command cut by the end of its bytes waits for the rest.
    // One call at a time.
    std::vector<TapLine> Read(const TapEvent& event);
    // The tap's own line (where the POS connects, and where to); the next line's gap starts anew.
    TapLine Listening(const std::string& text);

  private:
    struct Session;
    TapLine Line(const TapEvent& e, const char* event, std::string text, std::string_view bytes);
    void ToPrinter(const TapEvent& e, std::vector<TapLine>& lines);
    void ToPos(const TapEvent& e, std::vector<TapLine>& lines);

    std::optional<std::chrono::system_clock::time_point> last_;
    std::map<uint64_t, std::unique_ptr<Session>> sessions_;
};

// The capture file (protocol/TapCapture.h), each event written and flushed as it comes.
class TapCaptureFile {
  public:
    explicit TapCaptureFile(const std::string& path);  // throws std::runtime_error
    // False once a write has failed.
    bool Write(const TapEvent& e);

  private:
    std::ofstream out_;
    TapCaptureWriter writer_;
};

}  // namespace kelvo::cli
