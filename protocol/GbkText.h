#pragma once

#include <string>

namespace kelvo {

// UTF-8 text as the printer's GBK code page. A character GBK cannot hold becomes one "?", and so
// does every byte of input that is not valid UTF-8; the rest of the text is always converted.
// 00 bytes pass through unchanged.
std::string ToGbk(const std::string& utf8);

}  // namespace kelvo
