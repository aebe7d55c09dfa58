#pragma once

#include "cli/Invocation.h"

namespace kelvo::cli {

// `print`: the receipt its options compose, in their order. Throws UsageError for a value it
// cannot print.
jobs::Job PrintReceipt(const Invocation& run);

}  // namespace kelvo::cli
