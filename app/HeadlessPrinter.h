#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include "cli/Drawing.h"

// `kelvotool virtual-printer`: the virtual printer without a window, each job kept as files.
int RunHeadlessPrinter(const kelvo::cli::HeadlessPrinterRequest& request);

// Writes `bytes` to `file`, open for writing, and closes it; what went wrong, or nothing.
QString WriteWhole(QFile& file, const QByteArray& bytes);
