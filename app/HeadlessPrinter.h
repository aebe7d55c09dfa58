#pragma once

// `kelvotool virtual-printer`: the virtual printer without a window, each job kept as files.
int RunHeadlessPrinter(int argc, char* argv[]);
