#pragma once

#include <iconv.h>

#include <stdexcept>
#include <string>

namespace kelvo {

// One iconv conversion descriptor, closed when it goes out of scope.
class Iconv {
  public:
    // Throws std::runtime_error when this system's iconv lacks either character set.
    Iconv(const char* to, const char* from) : cd_(::iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) {
            throw std::runtime_error(std::string("iconv cannot convert from ") + from + " to " +
                                     to);
        }
    }
    ~Iconv() { ::iconv_close(cd_); }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    iconv_t get() const { return cd_; }

  private:
    iconv_t cd_;
};

}  // namespace kelvo
