#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/Invocation.h"

namespace kelvo::cli {

// Runs the tap until SIGINT or SIGTERM (a serial one also until its port fails): the exit status.
// A network printer's tap listens at listenHost:listenPort; a serial printer's opens a pty.
int Tap(const Invocation& run, const std::string& listenHost, std::optional<uint16_t> listenPort);

}  // namespace kelvo::cli
