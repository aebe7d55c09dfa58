#include "jobs/Send.h"

#include "links/DeviceFileOutput.h"
#include "links/NetworkLink.h"

namespace kelvo::jobs {

namespace {

template <typename Link, void (Link::*line)(const std::string&),
          void (Link::*raw)(const std::string&)>
void EachPiece(Link& link, const Job& job) {
    for (const Piece& piece : job)
        (link.*(piece.line ? line : raw))(piece.bytes);
}

}  // namespace

void Send(NetworkLink& link, const Job& job) {
    EachPiece<NetworkLink, &NetworkLink::SendLine, &NetworkLink::SendRaw>(link, job);
}

void SendToDevice(const std::string& port, const Job& job) {
    DeviceFileOutput out;
    out.OpenDevice(port);
    EachPiece<DeviceFileOutput, &DeviceFileOutput::DeviceWriteLine, &DeviceFileOutput::DeviceWrite>(
        out, job);
    out.CloseDevice();
}

}  // namespace kelvo::jobs
