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
    std::string unsolicited;  // bytes that were no answer (arrived before a request)
};

inline constexpr std::chrono::milliseconds kStatusAnswerWait{500};

// Each request waits up to `perRequest` for its own answer, so a silent printer costs four times
// that; a late answer is taken as unsolicited before the next request, never as the next answer.
// The action's cancel ends the query at once.

// Over the connected link; `unsolicited` also gets what the link had kept from before. Fails as
// the link's sends and reads do.
StatusAnswers QueryStatus(NetworkLink& link,
                          std::chrono::milliseconds perRequest = kStatusAnswerWait);

// Over a serial or parallel port named as for DeviceFileOutput (ResolvePortName), claimed with the
// same lock for the query only. A terminal's line settings stay, except that echo, line editing
// and signal characters are off while asking. Anything but a character device is refused.
// Failures throw EInOutError as DeviceFileOutput does.
StatusAnswers QueryDeviceStatus(const std::string& portName,
                                std::chrono::milliseconds perRequest = kStatusAnswerWait);

}  // namespace kelvo
