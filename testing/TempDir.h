#pragma once

#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kelvo::testing {

// A fresh directory under the system's temporary directory, removed with all it holds.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "kelvo-test") {
        std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path() const { return path_.string(); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// A tmpfs of `bytes` on `dir`, for a full disk that is real. Mounted in a mount namespace of the
// calling thread's own (programs it starts share it), so that nobody else sees it; root only.
class SmallDisk {
  public:
    SmallDisk(const std::string& dir, size_t bytes) : dir_(dir) {
        if (::geteuid() != 0)
            why_ = "a small disk needs root";
        else if (::unshare(CLONE_NEWNS) != 0 ||
                 ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 ::mount("kelvo-test", dir.c_str(), "tmpfs", 0,
                         ("size=" + std::to_string(bytes)).c_str()) != 0)
            why_ = std::string("no small disk: ") + std::strerror(errno);
    }
    ~SmallDisk() {
        if (why_.empty())
            ::umount2(dir_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    // Why there is none; empty when it is mounted.
    const std::string& why() const { return why_; }

  private:
    std::string dir_;
    std::string why_;
};

}  // namespace kelvo::testing
