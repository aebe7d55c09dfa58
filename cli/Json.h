#pragma once

#include <string>
#include <string_view>

namespace kelvo::cli {

// A JSON string literal of UTF-8 text; control characters escaped.
std::string JsonString(std::string_view text);

}  // namespace kelvo::cli
