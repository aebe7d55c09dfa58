#pragma once

#include <cstdint>
#include <string>

#include "links/Posdll.h"

namespace kelvo {

// The table the window calls the library through. Tests bind a recorder of their own instead.
struct PosdllFuncs {
    PosOpenFn POS_Open = nullptr;
    PosCloseFn POS_Close = nullptr;
    PosWriteFileFn POS_WriteFile = nullptr;
    PosSetMotionUnitFn POS_SetMotionUnit = nullptr;
    PosPreDownloadBmpsToFlashFn POS_PreDownloadBmpsToFlash = nullptr;
    // Optional: null when the library has no such extension.
    PosSetTransferMonitorFn KELVO_SetTransferMonitor = nullptr;
};

// Stand-ins for a library that could not be loaded: every open fails (-1), everything else
// returns 1003 (no port), so a missing library is an error on the result line, never a crash.
PosdllFuncs UnavailablePosdll();

// Where the library is looked for: the environment variable KELVO_POSDLL when set; else
// libposdll.so beside the running executable when it exists; else plain "libposdll.so", which the
// dynamic loader finds through the program's run path (posdll/ in the build tree, the library
// folder once installed).
std::string PosdllPath();

// The loaded library; unloaded when the object dies. funcs() is always callable: when the library
// or one of its five functions is missing (the extension may be), it holds UnavailablePosdll() and
// error() says why.
class PosdllLibrary {
  public:
    explicit PosdllLibrary(const std::string& path);
    ~PosdllLibrary();
    PosdllLibrary(const PosdllLibrary&) = delete;
    PosdllLibrary& operator=(const PosdllLibrary&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    const PosdllFuncs& funcs() const { return funcs_; }

  private:
    void* handle_ = nullptr;
    PosdllFuncs funcs_;
    std::string error_;
};

}  // namespace kelvo
