#pragma once

#include <initializer_list>
#include <string>

namespace kelvo::testing {

// "1B 70 00": bytes as a test failure should show them.
std::string Hex(const std::string& bytes);

// A byte string from byte values, 00 included.
inline std::string Bytes(std::initializer_list<unsigned char> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace kelvo::testing
