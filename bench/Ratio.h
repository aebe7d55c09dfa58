#pragma once

// The project's benchmarks measure each case beside a baseline in the same run, so the figure
// that matters is a ratio, not a time. A case registers two benchmarks, "<row>/product" and
// "<row>/baseline"; the ratio of a row is product time / baseline time. A row that measures its own
// ratio (memory against a size, say) registers one benchmark "<row>" that sets the counter
// "ratio". After the run, the table of rows is printed with each row's goal.

#include <string>

namespace kelvo::bench {

// The row's ratio must be at most `maxRatio`; `text` says the goal in the reader's words.
void Goal(const std::string& row, double maxRatio, const std::string& text);

}  // namespace kelvo::bench
