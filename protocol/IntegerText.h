#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kelvo {

// A text that is not an integer by the rule of StrToInt.
class EConvertError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads every number typed into a text field, one way: leading spaces, one optional sign, then
// decimal digits, or hexadecimal digits after "$", "x", "X", "0x" or "0X"; nothing may follow.
// Decimal must lie in -2147483648..2147483647. Hexadecimal is a 32-bit pattern ($0..$FFFFFFFF,
// so $FFFFFFFF is -1 and $80000000 is -2147483648), as the original tool's runtime read it; a
// sign negates that pattern. Anything else throws EConvertError
// "'<text>' is not a valid integer value" with the text exactly as given.
int32_t StrToInt(const std::string& text);

}  // namespace kelvo
