#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// The printer's answers to DLE EOT n, the real-time status request, read with their ESC/POS
// meaning.
namespace kelvo {

// The requests themselves are TransmitStatus (Commands.h).

// Whether b can be a status answer: bits 1 and 4 are always 1, bits 0 and 7 always 0.
bool IsStatusByte(uint8_t b);

// Each field is empty when the answer it comes from was missing or was not a status byte.
struct PrinterStatus {
    // n = 1
    std::optional<bool> online;         // bit 3 clear
    std::optional<bool> drawerPinHigh;  // bit 2: drawer kick connector pin 3
    // n = 2
    std::optional<bool> coverOpen;      // bit 2
    std::optional<bool> feedButton;     // bit 3: paper is being fed by the feed button
    std::optional<bool> paperStop;      // bit 5: printing stopped because the paper ran out
    std::optional<bool> errorOccurred;  // bit 6
    // n = 3
    std::optional<bool> cutterError;         // bit 3
    std::optional<bool> unrecoverableError;  // bit 5
    std::optional<bool> recoverableError;    // bit 6: clears by itself (e.g. the head cooled)
    // n = 4
    std::optional<bool> paperNearEnd;  // bits 2-3, either set
    std::optional<bool> paperOut;      // bits 5-6, either set

    bool operator==(const PrinterStatus&) const = default;
};

// answers[i] is the byte that came back for DLE EOT i + 1, if any.
PrinterStatus InterpretStatus(const std::array<std::optional<uint8_t>, 4>& answers);

}  // namespace kelvo
