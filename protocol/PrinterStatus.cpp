#include "protocol/PrinterStatus.h"

namespace kelvo {

bool IsStatusByte(uint8_t b) {
    return (b & 0x93) == 0x12;
}

PrinterStatus InterpretStatus(const std::array<std::optional<uint8_t>, 4>& answers) {
    PrinterStatus s;
    // An answer that breaks the fixed bits belongs to something else (an echo, a stray byte).
    auto bits = [&](int n, uint8_t mask) -> std::optional<bool> {
        const std::optional<uint8_t>& a = answers[static_cast<size_t>(n - 1)];
        if (!a || !IsStatusByte(*a))
            return std::nullopt;
        return (*a & mask) != 0;
    };
    if (auto offline = bits(1, 0x08))
        s.online = !*offline;
    s.drawerPinHigh = bits(1, 0x04);
    s.coverOpen = bits(2, 0x04);
    s.feedButton = bits(2, 0x08);
    s.paperStop = bits(2, 0x20);
    s.errorOccurred = bits(2, 0x40);
    s.cutterError = bits(3, 0x08);
    s.unrecoverableError = bits(3, 0x20);
    s.recoverableError = bits(3, 0x40);
    s.paperNearEnd = bits(4, 0x0C);
    s.paperOut = bits(4, 0x60);
    return s;
}

}  // namespace kelvo
