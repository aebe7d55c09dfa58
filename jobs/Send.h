#pragma once

#include <string>

#include "jobs/Jobs.h"

namespace kelvo {
class NetworkLink;
}

// How a job reaches the printer, the same for the window's pages and the command line.
namespace kelvo::jobs {

// Each piece as one send of the connected link, a line with its CR LF, so the printer sees the
// calls the window's pages make. Throws the link's failure.
void Send(NetworkLink& link, const Job& job);

// Opens `port` as the window's pages do (a port name, a device or a file path; empty: standard
// output), writes the pieces as Send does and closes it once the port has taken them.
void SendToDevice(const std::string& port, const Job& job);

}  // namespace kelvo::jobs
