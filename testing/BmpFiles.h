#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "testing/TempDir.h"

namespace kelvo::testing {

// Writes small BMP files for the tests, independently of the library's reader.
struct BmpShape {
    int width = 12;
    int height = 10;
    int bitsPerPixel = 1;  // 1, 4, 8, 24 or 32
    bool topDown = false;
    bool whiteFirst = false;  // palettes: white at index 0 (black at the last index otherwise)
    bool bitfields = false;   // 32-bit with BI_BITFIELDS masks after a 40-byte header
    std::function<bool(int x, int y)> black;  // y = 0 is the top row
};

// Colours the deep images use for black and white dots. They sit on either side of the luminance
// threshold while their plain channel averages do not, so a wrong rule shows.
inline constexpr uint8_t kDarkRgb[3] = {200, 30, 60};   // luminance 84, average 97
inline constexpr uint8_t kLightRgb[3] = {40, 250, 90};  // luminance 169, average 127

std::string MakeBmp(const BmpShape& shape);

// The FS q command for one image of the given size, worked out dot by dot.
std::string ExpectedFsQ(int width, int height, const std::function<bool(int x, int y)>& black);

// A recognisable test pattern: a frame, a diagonal and a few lone dots.
bool TestPattern(int x, int y, int width, int height);

// Writes bytes to a file in a fresh temporary directory; removed with the object.
class TempFile {
  public:
    TempFile(const std::string& name, const std::string& bytes);
    const std::string& path() const { return path_; }

  private:
    TempDir dir_{"kelvo-file"};
    std::string path_;
};

}  // namespace kelvo::testing
