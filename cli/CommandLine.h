#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cli/Drawing.h"
#include "protocol/Receipt.h"

// `kelvotool COMMAND [options]`: every action of the window, for one printer or many, without a
// display. Plain C++ on the links: nothing here loads Qt.
namespace kelvo::cli {

// Whether a command line whose first word is `word` is the command line's, not the window's: any
// word that is no option. Main refuses one that names no command, so a typo never opens a window.
bool ForCommandLine(std::string_view word);

// Runs the command in argv[1]. Exit status: 0 when every printer succeeded, 1 when one failed or
// was cancelled, 2 for a command line that cannot run.
int Main(int argc, char** argv);

// Commands that draw run in the window's library; this is how the command line hands them their
// checked options.
using DrawingMain = int (*)(const DrawingRequest& request);
void SetDrawingMain(DrawingMain main);
// And pictures are read there (PNG, JPEG, BMP): nothing, and why, for a file that holds none.
using PictureReader = std::optional<GreyPicture> (*)(const std::string& path, std::string* why);
void SetPictureReader(PictureReader reader);

}  // namespace kelvo::cli
