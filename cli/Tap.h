#pragma once

#include <cstdint>
#include <string>

#include "cli/Invocation.h"

namespace kelvo::cli {

// Runs the tap at listenHost:listenPort until SIGINT or SIGTERM: the exit status.
int Tap(const Invocation& run, const std::string& listenHost, uint16_t listenPort);

}  // namespace kelvo::cli
