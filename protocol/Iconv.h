#pragma once

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <string_view>

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

    // Converts all of `input`. Where the converter refuses a sequence, `refused(out, at, left)`
    // appends a stand-in and returns how many input bytes to pass over (at least one).
    template <class Refused>
    std::string ConvertAll(std::string_view input, Refused refused) const {
        std::string out;
        out.reserve(input.size() + 8);
        char buf[4096];
        char* in = const_cast<char*>(input.data());
        size_t inLeft = input.size();
        while (inLeft > 0) {
            char* o = buf;
            size_t oLeft = sizeof buf;
            const size_t r = ::iconv(cd_, &in, &inLeft, &o, &oLeft);
            const int err = errno;
            out.append(buf, static_cast<size_t>(o - buf));
            if (r != static_cast<size_t>(-1) || err == E2BIG)
                continue;
            const size_t skip = std::max<size_t>(1, refused(out, in, inLeft));
            in += std::min(skip, inLeft);
            inLeft -= std::min(skip, inLeft);
        }
        return out;
    }

  private:
    iconv_t cd_;
};

}  // namespace kelvo
