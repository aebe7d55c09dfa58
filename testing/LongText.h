#pragma once

#include <QString>

namespace kelvo::testing {

// Numbered memo lines, `bytes` long or a little more: by default far more than the kernel buffers
// for one connection or tty, so a page is still going out when a printer stops taking it.
inline QString LongMemo(int bytes = 8 * 1024 * 1024) {
    QString text;
    const QString line = QStringLiteral(
        "Print the test line %1 ....................................."
        "..........................\n");
    for (int i = 0; text.size() < bytes; ++i)
        text += line.arg(i, 6, 10, QLatin1Char('0'));
    return text;
}

}  // namespace kelvo::testing
