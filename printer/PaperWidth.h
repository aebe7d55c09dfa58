#pragma once

#include <optional>
#include <string_view>

#include "printer/VirtualPrinter.h"

namespace kelvo::printer {

// The paper this family takes, by the width people name it with: "80" or "58" (mm).
inline std::optional<int> PaperDotsForMm(std::string_view mm) {
    if (mm == "80")
        return kPaper80Dots;
    if (mm == "58")
        return kPaper58Dots;
    return std::nullopt;
}

}  // namespace kelvo::printer
