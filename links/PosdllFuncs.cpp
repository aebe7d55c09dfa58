#include "links/PosdllFuncs.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace kelvo {

namespace {

extern "C" {
int32_t MissingOpen(const char*, int32_t, int32_t, int32_t, int32_t, int32_t) {
    return -1;
}
int32_t MissingClose() {
    return kPosNoPort;
}
int32_t MissingWriteFile(int32_t, const char*, int32_t) {
    return kPosNoPort;
}
int32_t MissingSetMotionUnit(int32_t, int32_t) {
    return kPosNoPort;
}
int32_t MissingPreDownload(const char* const*, int32_t, int32_t) {
    return kPosNoPort;
}
}

template <typename Fn>
bool Bind(void* handle, const char* name, Fn& out, std::string& error) {
    void* sym = ::dlsym(handle, name);
    if (sym == nullptr) {
        error = std::string("missing function ") + name;
        return false;
    }
    out = reinterpret_cast<Fn>(sym);
    return true;
}

}  // namespace

PosdllFuncs UnavailablePosdll() {
    return {MissingOpen, MissingClose, MissingWriteFile, MissingSetMotionUnit, MissingPreDownload};
}

std::string PosdllPath() {
    namespace fs = std::filesystem;
    if (const char* env = std::getenv("KELVO_POSDLL"); env != nullptr && *env != '\0')
        return env;
    std::error_code ec;
    fs::path beside = fs::read_symlink("/proc/self/exe", ec).parent_path() / "libposdll.so";
    if (!ec && fs::exists(beside, ec))
        return beside.string();
    return "libposdll.so";
}

PosdllLibrary::PosdllLibrary(const std::string& path) : funcs_(UnavailablePosdll()) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = ::dlerror();
        error_ = why != nullptr ? why : "cannot load " + path;
        return;
    }
    PosdllFuncs f;
    if (Bind(handle_, "POS_Open", f.POS_Open, error_) &&
        Bind(handle_, "POS_Close", f.POS_Close, error_) &&
        Bind(handle_, "POS_WriteFile", f.POS_WriteFile, error_) &&
        Bind(handle_, "POS_SetMotionUnit", f.POS_SetMotionUnit, error_) &&
        Bind(handle_, "POS_PreDownloadBmpsToFlash", f.POS_PreDownloadBmpsToFlash, error_)) {
        f.KELVO_SetTransferMonitor =
            reinterpret_cast<PosSetTransferMonitorFn>(::dlsym(handle_, "KELVO_SetTransferMonitor"));
        funcs_ = f;
        return;
    }
    ::dlclose(handle_);
    handle_ = nullptr;
}

PosdllLibrary::~PosdllLibrary() {
    if (handle_ != nullptr)
        ::dlclose(handle_);
}

}  // namespace kelvo
