#pragma once

#include <string>
#include <string_view>

namespace kelvo {

// Length of the well-formed UTF-8 sequence at s (strict: no overlongs, surrogates or code points
// above U+10FFFF), or 0 when the bytes there are not one. `left` is at least 1.
size_t Utf8SequenceLength(const unsigned char* s, size_t left);

// Text a device sent, safe to print where people read it: well-formed UTF-8 passes, and every
// control character (C0, DEL, C1) and every byte that is not well-formed UTF-8 shows as \xNN, so
// a model name can neither drive the terminal nor pass for a line of the tool's own.
std::string PlainText(std::string_view bytes);

// UTF-8 text as the printer's GBK code page. A character GBK cannot hold becomes one "?", and so
// does every byte of input that is not valid UTF-8; the rest of the text is always converted.
// 00 bytes pass through unchanged.
std::string ToGbk(const std::string& utf8);

}  // namespace kelvo
