#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "links/InOutError.h"
#include "links/NetworkLink.h"

namespace kelvo {

// The printer's four real-time status bytes, asked one after the other (DLE EOT 1..4).
struct StatusAnswers {
    std::array<std::optional<uint8_t>, 4> answer;  // DLE EOT 1..4; empty = no answer in time
    // A byte that came after its request's time-out: kept apart, never read as a status.
    std::array<std::optional<uint8_t>, 4> late;
    std::string unsolicited;  // bytes that were no answer (arrived before a request, or late)
};

inline constexpr std::chrono::milliseconds kStatusAnswerWait{500};
// The line must have been silent this long before a request goes out, so that a byte the printer
// sends unasked at that moment is not taken for the answer.
inline constexpr std::chrono::milliseconds kStatusQuietGap{30};

// Each answer is read only in its own request's slot. The first request goes out once the line has
// been quiet for kStatusQuietGap (what came before it is unsolicited; at once on a connection that
// has carried nothing yet), and so does any request after one that went unanswered in time or after
// bytes nobody asked for; the others follow their answers at once. The first byte within
// `perRequest` is a request's answer. When none comes, the query waits up to `perRequest` more, and
// a byte that comes then is that request's late answer, kept apart (in `late` and `unsolicited`),
// before the next request goes out: a printer that answers late is never read one request behind. A
// line that does not fall quiet within `perRequest` (a printer that talks without pause) gets no
// further request: the rest stay unanswered. A silent printer therefore costs eight times
// `perRequest`. The action's cancel ends the query at once.

// Over the connected link; `unsolicited` also gets what the link had kept from before. Fails as
// the link's sends and reads do.
StatusAnswers QueryStatus(NetworkLink& link,
                          std::chrono::milliseconds perRequest = kStatusAnswerWait);

// Over a serial or parallel port named as for DeviceFileOutput (ResolvePortName), claimed with the
// same lock for the query only. A terminal's line settings stay, except that echo, line editing
// and signal characters are off while asking; a line the printer holds with XOFF takes the
// requests all the same (WriteRealTime). What was waiting on the port before the query
// (answers nobody read) is taken as unsolicited and never read as an answer. Anything but a
// character device is refused.
// Failures throw EInOutError as DeviceFileOutput does.
StatusAnswers QueryDeviceStatus(const std::string& portName,
                                std::chrono::milliseconds perRequest = kStatusAnswerWait);

}  // namespace kelvo
