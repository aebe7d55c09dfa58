// The five exported calls of the printer library, and one extension that hands it the calling
// thread's transfer monitor. One current port, guarded by one mutex; every call returns a code
// instead of letting an exception or a null pointer through the C boundary.

#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

#include "links/Posdll.h"
#include "links/Transfer.h"
#include "posdll/BmpReader.h"
#include "posdll/Ports.h"
#include "protocol/Commands.h"

#define POSDLL_EXPORT extern "C" KELVO_POSDLL_API

namespace {

using namespace kelvo;
using namespace kelvo::posdll;

struct CurrentPort {
    std::mutex mu;
    std::unique_ptr<Port> port;
    int32_t handle = 0;
    int32_t nextHandle = 1;
};

CurrentPort& Current() {
    static CurrentPort current;
    return current;
}

// The library links its own copy of the transfer code, so the caller's installed monitor is
// invisible here: the caller hands over a copy for its thread.
struct InstalledMonitor {
    TransferMonitor monitor;
    std::optional<TransferScope> scope;
};
thread_local InstalledMonitor tInstalled;

}  // namespace

POSDLL_EXPORT int32_t POS_Open(const char* name, int32_t baudRate, int32_t dataBits,
                               int32_t stopBits, int32_t parity, int32_t mode) {
    CurrentPort& c = Current();
    std::lock_guard lock(c.mu);
    // One current port: a new open replaces the old one, whether or not it succeeds.
    c.port.reset();
    c.handle = 0;
    if (name == nullptr)
        return -1;
    try {
        const std::string text(name);
        if (mode == kPosModeNetwork) {
            c.port = OpenNetworkPort(text);
        } else if (mode == kPosModeDriver) {
            c.port = OpenSpoolerPort(text);
        } else {
            c.port = OpenSerialPort(text, baudRate, dataBits, stopBits, parity, mode);
        }
    } catch (...) {
        c.port.reset();
    }
    if (!c.port)
        return -1;
    c.handle = c.nextHandle;
    c.nextHandle = c.nextHandle == INT32_MAX ? 1 : c.nextHandle + 1;
    return c.handle;
}

POSDLL_EXPORT int32_t POS_Close() {
    CurrentPort& c = Current();
    std::lock_guard lock(c.mu);
    if (!c.port)
        return kPosNoPort;
    int32_t result = kPosFailed;
    try {
        result = c.port->Close();
    } catch (...) {
    }
    c.port.reset();
    c.handle = 0;
    return result;
}

POSDLL_EXPORT int32_t POS_WriteFile(int32_t handle, const char* data, int32_t count) {
    CurrentPort& c = Current();
    std::lock_guard lock(c.mu);
    if (!c.port || handle != c.handle)
        return kPosNoPort;
    if (count < 0 || (data == nullptr && count > 0))
        return kPosInvalidArgument;
    try {
        return c.port->Write(data, static_cast<size_t>(count));
    } catch (...) {
        return kPosFailed;
    }
}

POSDLL_EXPORT int32_t POS_SetMotionUnit(int32_t horizontal, int32_t vertical) {
    CurrentPort& c = Current();
    std::lock_guard lock(c.mu);
    if (!c.port)
        return kPosNoPort;
    if (horizontal < 0 || horizontal > 255 || vertical < 0 || vertical > 255) {
        return kPosInvalidArgument;
    }
    const std::string gsP =
        kelvo::SetMotionUnits(static_cast<uint8_t>(horizontal), static_cast<uint8_t>(vertical));
    try {
        return c.port->Write(gsP.data(), gsP.size());
    } catch (...) {
        return kPosFailed;
    }
}

POSDLL_EXPORT int32_t POS_PreDownloadBmpsToFlash(const char* const* paths, int32_t option,
                                                 int32_t count) {
    CurrentPort& c = Current();
    std::lock_guard lock(c.mu);
    if (!c.port)
        return kPosNoPort;
    if (paths == nullptr || count < 1 || count > 255 ||
        (option != kPosBmpMonochromeOnly && option != kPosBmpThreshold)) {
        return kPosInvalidArgument;
    }
    try {
        // Every file is read and checked before a byte goes out: a bad one must not leave half
        // a download in the printer's flash. Each goes straight into the FS q command, which may
        // not pass kMaxFsQBytes.
        FsQBuilder fsq;
        for (int32_t i = 0; i < count; ++i) {
            if (paths[i] == nullptr)
                return kPosInvalidArgument;
            if (int32_t r = fsq.AddBmpFile(paths[i], option); r != kPosSuccess)
                return r;
        }
        const std::string command = fsq.Take();
        return c.port->Write(command.data(), command.size());
    } catch (...) {
        return kPosFailed;
    }
}

POSDLL_EXPORT int32_t KELVO_SetTransferMonitor(const kelvo::TransferMonitor* monitor) {
    tInstalled.scope.reset();
    if (monitor != nullptr) {
        tInstalled.monitor = *monitor;
        tInstalled.scope.emplace(&tInstalled.monitor);
    }
    return kPosSuccess;
}

// The table type of the binding and these definitions must never drift apart.
static_assert(std::is_same_v<decltype(&POS_Open), PosOpenFn>);
static_assert(std::is_same_v<decltype(&POS_Close), PosCloseFn>);
static_assert(std::is_same_v<decltype(&POS_WriteFile), PosWriteFileFn>);
static_assert(std::is_same_v<decltype(&POS_SetMotionUnit), PosSetMotionUnitFn>);
static_assert(std::is_same_v<decltype(&POS_PreDownloadBmpsToFlash), PosPreDownloadBmpsToFlashFn>);
static_assert(std::is_same_v<decltype(&KELVO_SetTransferMonitor), PosSetTransferMonitorFn>);
