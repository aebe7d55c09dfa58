#pragma once

#include "cli/Drawing.h"

// `kelvotool virtual-printer`: the virtual printer without a window, each job kept as files.
int RunHeadlessPrinter(const kelvo::cli::HeadlessPrinterRequest& request);
