#pragma once

#include <QImage>

#include <utility>
#include <vector>

namespace kelvo::paint {

// Two pictures of paper compared dot for dot, a dot black where its grey is under half. With a
// tolerance of T dots, a dot that differs still counts as the same when each picture has a dot of
// its own colour at that place within T dots of it, across and down (a square): a print shifted
// by up to T dots, or a stroke drawn up to T dots fatter, is the same paper. Pictures of other
// sizes differ in the dots only one of them has.
struct PaperDifference {
    QSize golden;
    QSize now;
    long long changedDots = 0;
    // Runs of dot rows with a changed dot, first and last row of each, top to bottom.
    std::vector<std::pair<int, int>> rows;
    // `now` (or `golden` where it has no rows) in light grey, with the changed dots marked: red
    // where only the golden is black, blue where only the new paper is.
    QImage diff;
    bool Same() const { return changedDots == 0 && golden == now; }
};

PaperDifference ComparePaper(const QImage& golden, const QImage& now, int tolerance);

}  // namespace kelvo::paint
