#pragma once

// A serial printer at a speed nobody wrote down: each usual line setting is tried in turn with
// DLE EOT 1 until the printer answers.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "links/SerialLine.h"
#include "links/StatusQuery.h"

namespace kelvo {

// Fastest first: the printers this tool serves leave the factory at 115200 or 9600, and a wrong
// guess costs the same at any rate.
inline constexpr std::array<uint32_t, 5> kSearchBaudRates = {115200, 57600, 38400, 19200, 9600};

// 8N1 with XON/XOFF both ways, as the serial pages open their port.
SerialLineSettings SpeedSearchLine();

struct SerialSpeed {
    uint32_t baudRate = 0;
    uint8_t status = 0;  // the printer's answer to DLE EOT 1 at that rate
};

// Tries each of kSearchBaudRates on the port (named as for DeviceFileOutput, claimed with its
// lock): the line quiet for kStatusQuietGap, then DLE EOT 1 twice, each answer awaited up to
// `perTry`; a rate counts when both answers are the same real-time status byte (a wrong rate turns
// what the printer sends into noise that seldom looks like one twice). A silent port therefore
// costs about 5 × (2 × perTry + the quiet gap). The port's line settings are back as they were
// afterwards. Ends early (no result) when `cancelFd` (-1: none) becomes readable.
// Throws EInOutError as QueryDeviceStatus does when the port cannot be opened.
std::optional<SerialSpeed> FindSerialSpeed(const std::string& portName,
                                           const SerialLineSettings& line = SpeedSearchLine(),
                                           std::chrono::milliseconds perTry = kStatusAnswerWait,
                                           int cancelFd = -1);

}  // namespace kelvo
