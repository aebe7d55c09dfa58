#pragma once

#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>

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

// A tmpfs of `bytes` on `dir` (root only), in a mount namespace of the calling thread's own.
class SmallDisk {
  public:
    SmallDisk(const std::string& dir, size_t bytes) : dir_(dir) {
        const std::string size = "size=" + std::to_string(bytes);
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("kelvo-test", dir.c_str(), "tmpfs", 0, size.c_str()) != 0)
            why_ = std::string("no small disk (root only): ") + std::strerror(errno);
    }
    ~SmallDisk() {
        if (why_.empty())
            ::umount2(dir_.c_str(), MNT_DETACH);
    }
    const std::string& why() const { return why_; }  // empty: mounted

  private:
    std::string dir_, why_;
};

}  // namespace kelvo::testing
