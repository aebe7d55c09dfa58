#pragma once

// The page's own files, compiled in (web/page/, embedded by Embed.cmake).

#include <cstddef>
#include <string_view>

namespace kelvo::web {

struct PageFile {
    std::string_view path;  // "/index.html"
    std::string_view bytes;
};
extern const PageFile kPageFiles[];
extern const size_t kPageFileCount;

}  // namespace kelvo::web
