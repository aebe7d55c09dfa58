#include "jobs/Send.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

#include "links/DeviceFileOutput.h"
#include "links/NetworkLink.h"
#include "links/Transfer.h"

namespace kelvo::jobs {

namespace {

// A piece's pause, ended early by the action's cancel (the send that follows then reports it).
void Pause(std::chrono::microseconds pause) {
    if (pause.count() <= 0)
        return;
    const TransferMonitor* monitor = CurrentTransfer();
    pollfd cancel{monitor != nullptr ? monitor->cancelFd : -1, POLLIN, 0};
    const auto until = std::chrono::steady_clock::now() + pause;
    for (auto now = std::chrono::steady_clock::now(); now < until && !TransferCancelled();
         now = std::chrono::steady_clock::now()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
        ::poll(&cancel, 1, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
    }
}

template <typename Link, void (Link::*line)(const std::string&),
          void (Link::*raw)(const std::string&)>
void EachPiece(Link& link, const Job& job) {
    for (const Piece& piece : job) {
        Pause(piece.pause);
        (link.*(piece.line ? line : raw))(piece.bytes);
    }
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
