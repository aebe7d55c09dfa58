#pragma once

// What the commands that draw are given: their options as values, read and checked by the
// command line's one parser before the window's library is loaded to run them.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "protocol/Persona.h"

namespace kelvo::cli {

// `render FILE [-o OUT.png] [--text] [--compare GOLDEN.png [--tolerance DOTS] [--diff DIFF.png]]`
struct RenderRequest {
    std::string input;  // the file's bytes, read by the command line as every command reads them
    std::string inputName;
    std::string output;  // empty: no PNG
    int paperDots = 0;
    bool text = false;    // the paper's text on stdout
    std::string compare;  // the golden picture; empty: none
    int tolerance = 0;    // dots (paint/PaperCompare.h)
    std::string diff;     // where the diff picture goes when the paper differs
};

// `virtual-printer`
struct HeadlessPrinterRequest {
    std::string saveDir;              // empty: each job is reported, not kept
    std::optional<std::string> host;  // named with --listen: taken even when not loopback
    std::optional<uint16_t> port;     // 0: any free port
    // --lpd: an LPD port as well, on lpdHost (default: the TCP port's host).
    std::optional<uint16_t> lpdPort;
    std::optional<std::string> lpdHost;
    std::optional<std::chrono::seconds> idle;
    int paperDots = 0;
    long speedMmPerSecond = 0;  // --speed: the paper it prints a second; 0: as fast as it can
    bool paperOut = false;
    bool paperNearEnd = false;
    bool coverOpen = false;
    bool drawerOpen = false;
    // --faults "STEP; STEP": the network printer's fault script, a step a string, read by the
    // printer (printer/Faults.h).
    std::vector<std::string> faults;
    Persona persona;  // --persona CAPTURE: the answers read from it
    // --http [HOST:]PORT: the jobs' web page and API there (HOST: 127.0.0.1 unless named).
    std::optional<uint16_t> httpPort;
    std::optional<std::string> httpHost;
    std::string control;  // --control: the control socket's path; empty: the default
    // --lab FILE: the printers that file names, instead of the one above; the app reads it.
    std::string lab;
    bool json = false;                             // a JSON line per job, not a line of text
    std::optional<uint64_t> exitAfter;             // exit once this many jobs are saved
    std::optional<std::chrono::seconds> exitIdle;  // exit once no job came for this long
};

using DrawingRequest = std::variant<RenderRequest, HeadlessPrinterRequest>;

}  // namespace kelvo::cli
