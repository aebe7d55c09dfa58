#pragma once

// A lab file: the printers `virtual-printer --lab` runs side by side in one process, each a model
// of its own (address, paper, identity, stored settings, folder, script). JSON; the format is in
// the README.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "printer/Identity.h"
#include "printer/PrinterBox.h"
#include "printer/VirtualPrinter.h"
#include "protocol/Persona.h"

struct LabPrinter {
    std::string name;
    std::string host;  // numeric, as named
    uint16_t port = 0;
    std::optional<std::string> lpdHost;  // named with lpdPort; the listen host without
    std::optional<uint16_t> lpdPort;
    bool serial = false;  // a pseudo-terminal with its radio bridge as well
    int paperDots = kelvo::printer::kPaper80Dots;
    kelvo::printer::Identity identity;
    kelvo::printer::StoredSettings settings;
    long serialBaud = 0;  // its settings named a speed: the serial line holds to it
    std::string save;     // empty: its jobs are reported, not kept
    // Kept jobs without their pictures (`render` draws one from its bytes when it is wanted):
    // saving costs about two fifths as much.
    bool pictures = true;
    // Its fault script, a step a string ("job 2 paper-out"), as the printer's script reads them.
    std::vector<std::string> script;
    kelvo::Persona persona;  // read from the tap's capture its "persona" names
};

// A lab file that cannot run: what() names the file and the field ("lab.json: printers[1].paper:
// takes 58 or 80 (mm), not 57").
class LabError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The printers of the lab file at `path`, in its order. Throws LabError for a file that cannot be
// read, is no JSON, or names a field wrongly, an unknown field, a name, address or folder twice.
std::vector<LabPrinter> ReadLabFile(const std::string& path);

// The options of a box that runs `printer`: at exactly its address when `exact` (named by the
// user), else there or at the next free one. Each listener beyond loopback adds a warning
// ("kitchen: warning: listening on 10.0.0.5: anyone who can reach it can print").
kelvo::printer::PrinterBox::Options BoxOptionsOf(const LabPrinter& printer, bool exact,
                                                 std::vector<std::string>& warnings);
