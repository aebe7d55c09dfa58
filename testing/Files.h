#pragma once

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace kelvo::testing {

// Every byte of a file; "" when it cannot be read.
inline std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Creates or truncates the file with exactly `bytes`; throws when it cannot.
inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

}  // namespace kelvo::testing
