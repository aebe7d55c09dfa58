#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "links/PosdllFuncs.h"
#include "posdll/BmpReader.h"
#include "testing/BmpFiles.h"

using namespace kelvo;
using kelvo::posdll::BuildFsQ;
using kelvo::posdll::MonoImage;
using kelvo::posdll::ReadBmp;
using kelvo::testing::BmpShape;
using kelvo::testing::ExpectedFsQ;
using kelvo::testing::MakeBmp;

namespace {

int32_t Read(const std::string& file, MonoImage& out, int32_t option = kPosBmpThreshold) {
    return ReadBmp(reinterpret_cast<const uint8_t*>(file.data()), file.size(), option, out);
}

int32_t Read(const std::string& file, int32_t option = kPosBmpThreshold) {
    MonoImage ignored;
    return Read(file, ignored, option);
}

// One byte per dot, rows from the top.
std::vector<uint8_t> Dots(const MonoImage& image) {
    std::vector<uint8_t> dots;
    for (uint32_t y = 0; y < image.height; ++y) {
        for (uint32_t x = 0; x < image.width; ++x)
            dots.push_back(image.black(x, y) ? 1 : 0);
    }
    return dots;
}

BmpShape Pattern(int width, int height, int bpp) {
    BmpShape s;
    s.width = width;
    s.height = height;
    s.bitsPerPixel = bpp;
    s.black = [width, height](int x, int y) {
        return kelvo::testing::TestPattern(x, y, width, height);
    };
    return s;
}

void Poke32(std::string& file, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        file[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}
void Poke16(std::string& file, size_t at, uint16_t v) {
    file[at] = static_cast<char>(v & 0xFF);
    file[at + 1] = static_cast<char>(v >> 8);
}

// Field offsets in a file with a 40-byte header.
constexpr size_t kOffBits = 10, kWidth = 18, kHeight = 22, kPlanes = 26, kBpp = 28,
                 kCompression = 30, kColorsUsed = 46;

// Every depth, row order and palette order gives the same dots.
struct Layout {
    int bpp;
    bool topDown, whiteFirst, bitfields;
};

class EveryLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(EveryLayout, GivesTheSameDots) {
    const Layout& c = GetParam();
    BmpShape shape = Pattern(12, 10, c.bpp);
    shape.topDown = c.topDown;
    shape.whiteFirst = c.whiteFirst;
    shape.bitfields = c.bitfields;
    MonoImage image;
    ASSERT_EQ(Read(MakeBmp(shape), image), kPosSuccess) << c.bpp;
    ASSERT_EQ(image.width, 12u);
    ASSERT_EQ(image.height, 10u);
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 12; ++x) {
            ASSERT_EQ(image.black(static_cast<uint32_t>(x), static_cast<uint32_t>(y)),
                      shape.black(x, y))
                << "bpp " << c.bpp << " top-down " << c.topDown << " at " << x << "," << y;
        }
    }
    EXPECT_EQ(BuildFsQ({image}), ExpectedFsQ(12, 10, shape.black)) << c.bpp;
}

INSTANTIATE_TEST_SUITE_P(
    BmpReader, EveryLayout,
    ::testing::Values(Layout{1, false, false, false}, Layout{1, false, true, false},
                      Layout{1, true, false, false}, Layout{1, true, true, false},
                      Layout{4, false, false, false}, Layout{4, true, true, false},
                      Layout{8, false, true, false}, Layout{8, true, false, false},
                      Layout{24, false, false, false}, Layout{24, true, false, false},
                      Layout{32, false, false, false}, Layout{32, true, false, true}),
    [](const ::testing::TestParamInfo<Layout>& info) {
        const Layout& c = info.param;
        return "bpp" + std::to_string(c.bpp) + (c.topDown ? "_top_down" : "_bottom_up") +
               (c.whiteFirst ? "_white_first" : "") + (c.bitfields ? "_bitfields" : "");
    });

TEST(BmpReader, RowWiseFsQMatchesTheDotByDotReferenceAtEveryEdge) {
    // The reader packs 64 rows at a time and turns 8 x 8 dot blocks into column bytes: widths and
    // heights around a byte and around the 64-row band, every depth, both row orders and palette
    // orders, against the FS q worked out dot by dot; once through ReadBmp and BuildFsQ and once
    // through the library's own FsQBuilder.
    std::vector<std::pair<int, int>> sizes;
    for (int w = 1; w <= 17; ++w) {
        for (int h = 1; h <= 17; ++h)
            sizes.emplace_back(w, h);
    }
    for (auto wh : {std::pair{8, 63}, {9, 64}, {17, 65}, {65, 72}, {3, 129}, {130, 9}})
        sizes.push_back(wh);
    for (const auto& [w, h] : sizes) {
        for (int bpp : {1, 4, 8, 24, 32}) {
            for (bool topDown : {false, true}) {
                BmpShape shape = Pattern(w, h, bpp);
                shape.black = [](int x, int y) { return (x * 7 + y * 13 + x * y) % 5 < 2; };
                shape.topDown = topDown;
                shape.whiteFirst = (w + h) % 2 == 0;
                const std::string file = MakeBmp(shape);
                const std::string expected = ExpectedFsQ(w, h, shape.black);
                MonoImage image;
                ASSERT_EQ(Read(file, image), kPosSuccess);
                kelvo::posdll::FsQBuilder builder;
                ASSERT_EQ(builder.AddBmp(reinterpret_cast<const uint8_t*>(file.data()), file.size(),
                                         kPosBmpThreshold),
                          kPosSuccess);
                ASSERT_EQ(BuildFsQ({image}), expected) << w << "x" << h << " bpp " << bpp;
                ASSERT_EQ(builder.Take(), expected) << w << "x" << h << " bpp " << bpp;
            }
        }
    }
    // A palette of one colour: index 1 in a row's padding bits is no dot; in a dot it is refused.
    BmpShape lone = Pattern(12, 3, 1);
    lone.black = [](int, int) { return false; };
    lone.whiteFirst = true;
    std::string file = MakeBmp(lone);
    Poke32(file, kColorsUsed, 1);
    const size_t lastRow = file.size() - 4;
    file[lastRow + 1] = 0x0F;  // dots 12..15: padding
    EXPECT_EQ(Read(file), kPosSuccess);
    file[lastRow + 1] = 0x10;  // dot 11
    EXPECT_EQ(Read(file), kPosBmpMalformed);
    // Once the whole command would pass the builder's cap, the image is refused and the ones
    // before stay.
    const std::string small = MakeBmp(Pattern(12, 10, 1));
    const auto* bytes = reinterpret_cast<const uint8_t*>(small.data());
    kelvo::posdll::FsQBuilder capped(3 + 2 * (4 + 16 * 2));
    EXPECT_EQ(capped.AddBmp(bytes, small.size(), kPosBmpThreshold), kPosSuccess);
    EXPECT_EQ(capped.AddBmp(bytes, small.size(), kPosBmpThreshold), kPosSuccess);
    EXPECT_EQ(capped.AddBmp(bytes, small.size(), kPosBmpThreshold), kPosBmpTooLarge);
    MonoImage image;
    ASSERT_EQ(Read(small, image), kPosSuccess);
    EXPECT_EQ(capped.Take(), BuildFsQ({image, image}));
}

TEST(BmpReader, FsQColumnFormatPadsWithWhite) {
    // 9 x 9 dots: two bytes each way; only the corners (0,0) and (8,8) are black.
    MonoImage image(9, 9);
    image.set(0, 0, true);
    image.set(8, 8, true);
    std::string expected("\x1C\x71\x01\x02\x00\x02\x00", 7);
    std::string data(32, '\0');
    data[0] = '\x80';          // column 0, dots 0..7: top dot black
    data[8 * 2 + 1] = '\x80';  // column 8, dots 8..15: dot 8 black
    EXPECT_EQ(BuildFsQ({image}), expected + data);

    // Two images: n = 2, each with its own size.
    MonoImage one(1, 1);
    one.set(0, 0, true);
    EXPECT_EQ(BuildFsQ({one, one}), std::string("\x1C\x71\x02\x01\x00\x01\x00\x80\0\0\0\0\0\0\0"
                                                "\x01\x00\x01\x00\x80\0\0\0\0\0\0\0",
                                                3 + 2 * 12));
}

TEST(BmpReader, LuminanceDecidesNotTheChannelAverage) {
    // kDarkRgb is black and kLightRgb white although both average below 128.
    BmpShape shape = Pattern(3, 1, 24);
    shape.black = [](int x, int) { return x != 1; };
    MonoImage image;
    ASSERT_EQ(Read(MakeBmp(shape), image), kPosSuccess);
    EXPECT_EQ(Dots(image), (std::vector<uint8_t>{1, 0, 1}));
}

TEST(BmpReader, OptionOneTakesOnlyOneBitImages) {
    EXPECT_EQ(Read(MakeBmp(Pattern(12, 10, 1)), kPosBmpMonochromeOnly), kPosSuccess);
    for (int bpp : {4, 8, 24, 32}) {
        EXPECT_EQ(Read(MakeBmp(Pattern(12, 10, bpp)), kPosBmpMonochromeOnly), kPosBmpUnsupported);
    }
    EXPECT_EQ(Read(MakeBmp(Pattern(12, 10, 1)), 0), kPosInvalidArgument);
    EXPECT_EQ(Read(MakeBmp(Pattern(12, 10, 1)), 3), kPosInvalidArgument);
}

TEST(BmpReader, SizesAtAndBeyondTheFsQLimits) {
    EXPECT_EQ(Read(MakeBmp(Pattern(8184, 2, 1))), kPosSuccess);
    EXPECT_EQ(Read(MakeBmp(Pattern(8185, 2, 1))), kPosBmpTooLarge);
    EXPECT_EQ(Read(MakeBmp(Pattern(2, 2304, 1))), kPosSuccess);
    EXPECT_EQ(Read(MakeBmp(Pattern(2, 2305, 1))), kPosBmpTooLarge);
    std::string file = MakeBmp(Pattern(12, 10, 1));
    for (uint32_t huge : {0x7FFFFFFFu, 0x80000000u, 100000u}) {
        std::string f = file;
        Poke32(f, kHeight, huge);
        EXPECT_EQ(Read(f), kPosBmpTooLarge) << huge;
        f = file;
        Poke32(f, kWidth, huge);
        EXPECT_EQ(Read(f), huge >= 0x80000000u ? kPosBmpMalformed : kPosBmpTooLarge) << huge;
    }
}

TEST(BmpReader, MalformedHeadersAreRefused) {
    const std::string good = MakeBmp(Pattern(12, 10, 1));
    auto with = [&](auto change) {
        std::string f = good;
        change(f);
        return Read(f);
    };
    EXPECT_EQ(with([](std::string& f) { f[0] = 'M'; }), kPosBmpMalformed);
    EXPECT_EQ(with([](std::string& f) { Poke32(f, kWidth, 0xFFFFFFF4u); }), kPosBmpMalformed);
    EXPECT_EQ(with([](std::string& f) { Poke32(f, kWidth, 0); }), kPosBmpMalformed);
    EXPECT_EQ(with([](std::string& f) { Poke32(f, kHeight, 0); }), kPosBmpMalformed);
    EXPECT_EQ(with([](std::string& f) { Poke16(f, kPlanes, 0); }), kPosBmpMalformed);
    EXPECT_EQ(with([](std::string& f) { Poke16(f, kBpp, 3); }), kPosBmpMalformed);
    EXPECT_EQ(with([](std::string& f) { Poke32(f, 14, 41); }), kPosBmpMalformed);  // header size
    EXPECT_EQ(with([](std::string& f) { Poke32(f, kColorsUsed, 3); }), kPosBmpMalformed);
    EXPECT_EQ(with([](std::string& f) { Poke32(f, kOffBits, 0xFFFFFFF0u); }), kPosBmpMalformed);
    EXPECT_EQ(with([](std::string& f) { Poke32(f, kOffBits, 20); }), kPosBmpMalformed);
    // A palette of one colour, while the picture uses index 1.
    EXPECT_EQ(with([](std::string& f) { Poke32(f, kColorsUsed, 1); }), kPosBmpMalformed);
    // Deep pictures: the data may not start inside the header.
    std::string deep = MakeBmp(Pattern(12, 10, 24));
    Poke32(deep, kOffBits, 30);
    EXPECT_EQ(Read(deep), kPosBmpMalformed);
}

TEST(BmpReader, CompressedAndUnsupportedKindsAreRefused) {
    const std::string good = MakeBmp(Pattern(12, 10, 8));
    for (uint32_t compression : {1u, 2u, 4u, 5u, 6u, 3u}) {  // RLE8, RLE4, JPEG, PNG, fields
        std::string f = good;
        Poke32(f, kCompression, compression);
        EXPECT_EQ(Read(f), kPosBmpUnsupported) << compression;
    }
    std::string sixteen = MakeBmp(Pattern(12, 10, 24));
    Poke16(sixteen, kBpp, 16);
    EXPECT_EQ(Read(sixteen), kPosBmpUnsupported);
    std::string os2 = good;
    Poke32(os2, 14, 64);
    EXPECT_EQ(Read(os2), kPosBmpUnsupported);
    // Bit fields that are not one run of ones.
    BmpShape fields = Pattern(12, 10, 32);
    fields.bitfields = true;
    std::string f = MakeBmp(fields);
    Poke32(f, 54, 0x00F0F000);
    EXPECT_EQ(Read(f), kPosBmpMalformed);
}

TEST(BmpReader, EveryTruncationIsRefusedSaveTheLastRowsPadding) {
    // 12 dots at 1 bit: 2 bytes of dots and 2 of padding per row.
    const std::string good = MakeBmp(Pattern(12, 10, 1));
    for (size_t n = 0; n < good.size(); ++n) {
        const int32_t r = Read(good.substr(0, n));
        if (n >= good.size() - 2) {
            EXPECT_EQ(r, kPosSuccess) << n;
        } else {
            EXPECT_EQ(r, kPosBmpMalformed) << n;
        }
    }
    EXPECT_EQ(ReadBmp(nullptr, 0, kPosBmpThreshold, *std::make_unique<MonoImage>()),
              kPosBmpMalformed);
}

TEST(BmpReader, CoreHeaderFilesAreRead) {
    // BITMAPCOREHEADER, 1 bit, 3-byte palette (white first), 2 x 2: top row black.
    std::string f(
        "BM\0\0\0\0\0\0\0\0\x20\0\0\0\x0C\0\0\0\x02\0\x02\0\x01\0\x01\0"
        "\xFF\xFF\xFF\0\0\0"
        "\0\0\0\0\xC0\0\0\0",
        40);
    MonoImage image;
    ASSERT_EQ(Read(f, image), kPosSuccess);
    EXPECT_EQ(Dots(image), (std::vector<uint8_t>{1, 1, 0, 0}));
}

TEST(BmpReader, MutatedFilesNeverReadOutOfBounds) {
    // Run under AddressSanitizer this proves the bounds; plainly it proves the reader terminates
    // and never returns a picture FS q cannot hold.
    std::mt19937 random(20240611);
    std::vector<std::string> seeds;
    for (int bpp : {1, 4, 8, 24, 32})
        seeds.push_back(MakeBmp(Pattern(13, 7, bpp)));
    BmpShape fields = Pattern(5, 9, 32);
    fields.bitfields = true;
    seeds.push_back(MakeBmp(fields));
    int read = 0;
    for (int round = 0; round < 30000; ++round) {
        std::string f = seeds[static_cast<size_t>(round) % seeds.size()];
        const int edits = 1 + static_cast<int>(random() % 6);
        for (int e = 0; e < edits; ++e) {
            const size_t at = random() % f.size();
            switch (random() % 4) {
                case 0:
                    f[at] = static_cast<char>(random());
                    break;
                case 1:
                    f[at] = static_cast<char>(f[at] ^ (1 << (random() % 8)));
                    break;
                case 2:
                    f.resize(at + 1);
                    break;
                default:
                    if (f.size() >= 4)
                        Poke32(f, std::min(at, f.size() - 4), random());
                    break;
            }
        }
        // An exactly sized copy, so a read past the end is a heap overflow ASan sees.
        auto copy = std::make_unique<uint8_t[]>(f.size());
        std::memcpy(copy.get(), f.data(), f.size());
        MonoImage image;
        if (ReadBmp(copy.get(), f.size(), kPosBmpThreshold, image) == kPosSuccess) {
            ++read;
            ASSERT_GE(image.width, 1u);
            ASSERT_LE(image.width, kelvo::posdll::kMaxWidthDots);
            ASSERT_GE(image.height, 1u);
            ASSERT_LE(image.height, kelvo::posdll::kMaxHeightDots);
            ASSERT_EQ(image.columns.size(), kelvo::posdll::FsQDataBytes(image.width, image.height));
        }
    }
    // Enough mutants survive to exercise the pixel loops, not only the header checks.
    EXPECT_GT(read, 3000);
}

TEST(BmpReader, FilesThatCannotBeReadAreAFileError) {
    MonoImage image;
    EXPECT_EQ(kelvo::posdll::ReadBmpFile("/nonexistent/logo.bmp", kPosBmpThreshold, image),
              kPosFileError);
    EXPECT_EQ(kelvo::posdll::ReadBmpFile("/tmp", kPosBmpThreshold, image), kPosFileError);
    kelvo::testing::TempFile file("logo.bmp", MakeBmp(Pattern(12, 10, 1)));
    EXPECT_EQ(kelvo::posdll::ReadBmpFile(file.path().c_str(), kPosBmpThreshold, image),
              kPosSuccess);
    EXPECT_EQ(image.width, 12u);
}

}  // namespace
