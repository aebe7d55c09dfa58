#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "cli/TapStream.h"
#include "links/Tap.h"
#include "printer/JobReport.h"
#include "printer/PrinterBox.h"
#include "printer/ReceiptCheck.h"
#include "printer/VirtualPrinter.h"
#include "protocol/Commands.h"
#include "protocol/GbkText.h"
#include "protocol/PrinterStatus.h"
#include "testing/BmpFiles.h"
#include "testing/Eventually.h"
#include "testing/Files.h"
#include "testing/PosPeer.h"
#include "testing/RowName.h"
#include "testing/TestHost.h"

using namespace kelvo;
using namespace kelvo::printer;
using namespace std::string_literals;

namespace {

TextRun Text(std::string utf8, TextStyle style = {}, bool wide = false) {
    return {std::move(utf8), style, wide};
}

PaperLine Line(std::vector<TextRun> runs, int spacing = 30, Align align = Align::Left) {
    return {std::move(runs), align, spacing};
}

bool Pattern(int x, int y) {
    return kelvo::testing::TestPattern(x, y, 20, 13);
}

// The text of every printed line, one string per line.
std::vector<std::string> Texts(const VirtualPrinter& p) {
    std::vector<std::string> out;
    for (const PaperItem& item : p.Paper()) {
        if (const auto* line = std::get_if<PaperLine>(&item)) {
            out.emplace_back();
            for (const TextRun& run : line->runs)
                out.back() += run.utf8;
        }
    }
    return out;
}

}  // namespace

TEST(VirtualPrinter, NetworkTestPagePrintsTheSameHoweverTheBytesAreSplit) {
    const TextStyle big{.widthMul = 2, .heightMul = 2};
    const std::vector<PaperItem> expected = {
        Line({Text(" QM417", big), Text("网口测试打印开始", big, true)}, 48),
        Line({Text("Print test")}),
        Line({}),
        Line({Text("Print the test 2")}),
        PaperFeed{5},
        PaperCut{true},
        Line({}),
        Line({}),  // the drawer pulse's line end
    };
    // The network page's test print as the tool sends it (lines end in CR LF), then its drawer.
    const std::string page = CharSizeDouble() + ToGbk(" QM417网口测试打印开始") + "\r\r\n" +
                             CharSizeNormal() + "Print test\r\n\r\nPrint the test 2\r\n" +
                             FeedAndPartialCut() + "\r\n" + DrawerPulse() + "\r\n";
    for (size_t split = 0; split <= page.size(); ++split) {
        SCOPED_TRACE(split);
        VirtualPrinter p;
        p.Feed(page.substr(0, split));
        p.Feed(page.substr(split));
        EXPECT_EQ(p.Paper(), expected);
        EXPECT_EQ(p.Count().cuts, 1u);
        EXPECT_EQ(p.Count().drawerPulses, 1u);
        EXPECT_EQ(p.Count().lines, 6u);
        EXPECT_EQ(p.Count().bytes, page.size());
    }
}

// Bytes in, paper out.
struct PaperRow {
    const char* what;
    std::string bytes;
    std::vector<PaperItem> paper;
};

// A failing row names itself by its description.
inline void PrintTo(const PaperRow& row, std::ostream* os) {
    *os << row.what;
}

class Prints : public ::testing::TestWithParam<PaperRow> {};

TEST_P(Prints, ThePaperItsBytesAskFor) {
    VirtualPrinter p;
    p.Feed(GetParam().bytes);
    EXPECT_EQ(p.Paper(), GetParam().paper);
}

namespace {
const TextStyle boldUnder{.bold = true, .underline = 2};
const TextStyle tallB{.heightMul = 2, .fontB = true};
const TextStyle reverse{.reverse = true};
const TextStyle upsideDown{.upsideDown = true};
const TextStyle reverseUpsideDownBold{.bold = true, .reverse = true, .upsideDown = true};
}  // namespace

// Print modes shape what comes out.
INSTANTIATE_TEST_SUITE_P(
    PrintModes, Prints,
    ::testing::ValuesIn(std::vector<PaperRow>{
        {"justification and styles",
         "\x1B\x61\x01\x1B\x45\x01\x1B\x2D\x02"
         "A\n",
         {Line({Text("A", boldUnder)}, 30, Align::Centre)}},
        {"ESC @ drops the unprinted line and the modes",
         CharSizeDouble() + "\x1B\x61\x02lost" + Initialize() + "B\n",
         {Line({Text("B")})}},
        {"ESC ! font B double height: the line is as tall as its characters",
         "\x1B\x21\x11"
         "B\n",
         {Line({Text("B", tallB)}, 34)}},
        {"ESC 3, ESC d and ESC J feed",
         "\x1B\x33\x14\x1B\x64\x02\x1B\x4A\x07x\x1B\x4A\x28"s,
         {PaperFeed{40}, PaperFeed{7}, Line({Text("x")}, 40)}},
        {"GS V forms",
         "\x1D\x56\x00\x1D\x56\x31\x1D\x56\x41\x03"s,
         {PaperCut{false}, PaperCut{true}, PaperFeed{3}, PaperCut{false}}},
        {"ESC i and ESC m cut partially and print the line before",
         "a\x1B\x69\x1B\x6D"s,
         {Line({Text("a")}), PaperCut{true}, PaperCut{true}}},
        {"a line past 576 dots wraps",
         std::string(49, 'x') + "\n",
         {Line({Text(std::string(48, 'x'))}), Line({Text("x")})}},
        {"CR prints once the stored switches honour it",
         SetFunctionSwitches(true, false, false) + "a\rb\r",
         {Line({Text("a")}), Line({Text("b")})}},
        {"CR is ignored by default", "a\rb\n", {Line({Text("ab")})}},
        {"GS T and GS P are consumed", "\x1D\x54\x1D\x50\x00\x00z\n"s, {Line({Text("z")})}},
        {"GS v 0 raster, MSB on the left",
         "\x1D\x76\x30\x00\x01\x00\x02\x00\x80\x01"s,
         {PaperImage{8, 2, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}}},
        {"ESC * 24-dot column, MSB on top",
         "\x1B\x2A\x21\x01\x00\x80\x00\x01"s,
         {PaperImage{
             1, 24, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}}}}),
    kelvo::testing::NamedByWhat());

TEST(VirtualPrinter, EachVendorFrameStoresItsSettingAndFactoryResetRestoresAll) {
    using Change = std::function<void(StoredSettings&)>;
    const std::pair<std::string, Change> frames[] = {
        {SetSerialBaud(*BaudCode(9600)), [](StoredSettings& s) { s.baudCode = 'G'; }},
        {SetDefaultIntlCharset(1), [](StoredSettings& s) { s.intlCharset = 1; }},
        {SetDefaultCodePage(16), [](StoredSettings& s) { s.codePage = 16; }},
        {"\x1F\x1B\x1F\xFE\x01"s, [](StoredSettings& s) { s.chineseMode = false; }},  // reserved
        {SetFunctionSwitches(true, true, false), [](StoredSettings& s) { s.switches = 0x4C; }},
        {SetNetworkIp(10, 0, 0, 7),
         [](StoredSettings& s) {
             s.ip = {10, 0, 0, 7};
         }},
        {SetNetworkMac(0, 0x0A, 0x0B, 0x0C, 0xFF, 1),
         [](StoredSettings& s) { s.mac = {0, 0x0A, 0x0B, 0x0C, 0xFF, 1}; }},
    };
    VirtualPrinter p;
    StoredSettings expected;
    for (const auto& [bytes, change] : frames) {
        SCOPED_TRACE(HexBytes(bytes));
        change(expected);
        p.Feed(bytes);
        EXPECT_EQ(p.Settings(), expected);
    }
    EXPECT_EQ(p.Settings().Baud(), 9600);
    p.Feed(RestoreFactorySettings());
    EXPECT_EQ(p.Settings(), StoredSettings{});
    EXPECT_TRUE(p.Paper().empty());
}

TEST(VirtualPrinter, CodePageAndChineseModeDecideHowLaterTextReads) {
    VirtualPrinter p;
    p.Feed(SetDefaultChineseMode(1) + "\x1B\x74\x10" + "caf\xE9\n");  // WPC1252
    p.Feed(SetDefaultCodePage(17) + "\xA0\n");                        // PC866, at once
    p.Feed("\x1B\x74\x10" + Initialize() + "\xA0\n");                 // back to the stored page
    p.Feed("\x1C\x26" + ToGbk("测") + "\n");
    EXPECT_EQ(Texts(p), (std::vector<std::string>{"café", "а", "а", "测"}));
    EXPECT_TRUE(std::get<PaperLine>(p.Paper().back()).runs.at(0).wide);
}

TEST(VirtualPrinter, FsQStoresTheImageDotForDotAndFsPPrintsIt) {
    VirtualPrinter p;
    p.Feed(kelvo::testing::ExpectedFsQ(20, 13, Pattern));
    ASSERT_EQ(p.NvImages().size(), 1u);
    const PaperImage& nv = p.NvImages()[0];
    ASSERT_EQ(nv.width, 24);  // padded with white to whole bytes
    ASSERT_EQ(nv.height, 16);
    for (int y = 0; y < nv.height; ++y) {
        for (int x = 0; x < nv.width; ++x)
            ASSERT_EQ(nv.dots[y * 24 + x], x < 20 && y < 13 && Pattern(x, y)) << x << "," << y;
    }

    p.Feed(PrintNvImage1() + "\x1C\x70\x01\x03" + "\x1C\x70\x02\x30");
    ASSERT_EQ(p.PaperSize(), 2u);  // no image 2
    EXPECT_EQ(std::get<PaperImage>(p.Paper()[0]), nv);
    const auto& big = std::get<PaperImage>(p.Paper()[1]);
    ASSERT_EQ(big.width * big.height, 48 * 32);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 48; ++x)
            ASSERT_EQ(big.dots[y * 48 + x], nv.dots[y / 2 * 24 + x / 2]);
    }

    const std::string malformed[] = {
        "\x1C\x71\x00"s,                                                  // no image
        "\x1C\x71\x01\x00\x00\x01\x00"s,                                  // zero wide
        "\x1C\x71\x01\x00\x04\x01\x00"s + std::string(1024 * 8, '\xFF'),  // 8192 dots wide
        kelvo::testing::ExpectedFsQ(8, 8, Pattern).substr(0, 12),         // waits for the rest
    };
    for (const std::string& bytes : malformed) {
        p.Feed(bytes);
        EXPECT_EQ(p.NvImages(), std::vector<PaperImage>{nv}) << HexBytes(bytes, 12);
    }
    EXPECT_EQ(p.PaperSize(), 2u);
}

TEST(VirtualPrinter, StatusAnswersReadBackAsTheFlagsSay) {
    const PrinterStatus idle{true,  false, false, false, false, false,
                             false, false, false, false, false};
    using Set = std::function<void(StatusFlags&, PrinterStatus&)>;
    const Set cases[] = {
        [](StatusFlags&, PrinterStatus&) {},
        [](StatusFlags& f, PrinterStatus& s) { s.online = f.online = false; },
        [](StatusFlags& f, PrinterStatus& s) {
            s.coverOpen = f.coverOpen = true;
            s.online = false;
        },
        [](StatusFlags& f, PrinterStatus& s) {
            s.paperOut = s.paperStop = f.paperOut = true;
            s.online = false;
        },
        [](StatusFlags& f, PrinterStatus& s) { s.paperNearEnd = f.paperNearEnd = true; },
        [](StatusFlags& f, PrinterStatus& s) { s.drawerPinHigh = f.drawerOpen = true; },
        [](StatusFlags& f, PrinterStatus& s) {
            s.errorOccurred = s.unrecoverableError = f.error = true;
            s.online = false;
        },
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        VirtualPrinter p;
        PrinterStatus expected = idle;
        cases[i](p.Flags(), expected);
        std::array<std::optional<uint8_t>, 4> answers;
        for (uint8_t n = 1; n <= 4; ++n)
            answers[n - 1] = static_cast<uint8_t>(p.Feed(TransmitStatus(n)).at(0));
        EXPECT_TRUE(InterpretStatus(answers) == expected) << "case " << i;
        EXPECT_EQ(p.Feed(TransmitStatus(5)), "");
    }
}

TEST(Bridge, FramesReachTheNumberedPrinterAndUnknownNumbersAreDropped) {
    const std::string stream = "direct\n" + WirelessDataHeader() + "002" + "two\n" +
                               WirelessDataHeader() + "2" + "lost\n" + WirelessDataHeader() +
                               "001" + TransmitStatus(1);
    for (size_t split = 0; split <= stream.size(); ++split) {
        SCOPED_TRACE(split);
        VirtualPrinter direct, one, two;
        Bridge bridge(direct, {{"001", &one}, {"002", &two}});
        std::string answer = bridge.Feed(stream.substr(0, split));
        answer += bridge.Feed(stream.substr(split));
        EXPECT_EQ(answer, "\x12");
        EXPECT_EQ(Texts(direct), std::vector<std::string>{"direct"});
        EXPECT_EQ(Texts(two), std::vector<std::string>{"two"});
        EXPECT_TRUE(one.Paper().empty());
    }
}

TEST(VirtualPrinter, FsQReadsTheSameHoweverItIsSplitAndPrintsShareItsDots) {
    const std::string download = kelvo::testing::ExpectedFsQ(20, 13, Pattern);
    const std::string stream = download + PrintNvImage1() + TransmitStatus(1) +
                               "\x1C\x70\x01\x03"s + "\x1C\x70\x01\x03"s + PrintNvImage1();
    VirtualPrinter whole;
    EXPECT_EQ(whole.Feed(stream), "\x12");
    ASSERT_EQ(whole.NvImages().size(), 1u);
    for (size_t split = 0; split <= stream.size(); ++split) {
        SCOPED_TRACE(split);
        VirtualPrinter p;
        std::string answer = p.Feed(stream.substr(0, split));
        answer += p.Feed(stream.substr(split));
        EXPECT_EQ(answer, "\x12");
        EXPECT_EQ(p.NvImages(), whole.NvImages());
        EXPECT_EQ(p.Paper(), whole.Paper());
        EXPECT_EQ(p.HeldBytes(), 0u);
    }
    // Drawn once for each scale, then shared: by the stored image itself at normal size.
    const auto& paper = whole.Paper();
    ASSERT_EQ(paper.size(), 4u);
    const auto dots = [&](size_t i) { return std::get<PaperImage>(paper[i]).dots.Identity(); };
    EXPECT_EQ(dots(0), whole.NvImages()[0].dots.Identity());
    EXPECT_EQ(dots(3), dots(0));
    EXPECT_EQ(dots(1), dots(2));
    EXPECT_NE(dots(1), dots(0));
}

TEST(VirtualPrinter, ThousandsOfNvPrintsCostLittleWorkAndKeepTheirBounds) {
    VirtualPrinter p;
    p.Feed(kelvo::testing::ExpectedFsQ(576, 800, [](int x, int y) { return (x ^ y) & 1; }));
    const uint64_t before = p.Count().work;
    std::string prints;
    for (int i = 0; i < 4096; ++i)
        prints += "\x1C\x70\x01\x00"s;
    p.Feed(prints);
    EXPECT_LE(p.Count().work - before, prints.size() * 8);
    EXPECT_LE(p.PaperImageDots(), kPaperImageDots);
    EXPECT_EQ(std::get<PaperImage>(p.Paper().back()).dots.Identity(),
              p.NvImages()[0].dots.Identity());
}

// A command left unfinished by one job goes with it; one larger than the printer takes is
// refused at its header, so what follows in the same job is read at once.
struct Unfinished {
    const char* what;
    std::string bytes;
    std::string dropped;  // empty: nothing dropped
    uint64_t have, need;
    uint64_t refused;
};

class UnfinishedCommand : public ::testing::TestWithParam<Unfinished> {};

TEST_P(UnfinishedCommand, EndsWithItsJobAndTheNextJobIsAnswered) {
    const Unfinished& c = GetParam();
    VirtualPrinter p;
    p.Feed("kept");
    const std::string sameJob = p.Feed(c.bytes + TransmitStatus(1));
    EXPECT_EQ(sameJob, c.refused ? "\x12" : "");
    EXPECT_LE(p.HeldBytes(), kMaxHeldBytes);
    p.EndJob("closed");
    ASSERT_EQ(p.Jobs().size(), 1u);
    const JobRecord& job = p.Jobs().back();
    EXPECT_EQ(job.number, 1u);
    EXPECT_EQ(job.bytes, 4 + c.bytes.size() + 3);
    EXPECT_EQ(job.dropped, c.dropped);
    if (!c.dropped.empty()) {
        EXPECT_EQ(job.droppedHave, c.have + 3);  // the status request was read as its data
        EXPECT_GE(job.droppedNeed, c.need);
    }
    EXPECT_EQ(job.refused, c.refused);
    EXPECT_EQ(job.end, "closed");
    EXPECT_EQ(p.HeldBytes(), 0u);
    EXPECT_EQ(p.Job().number, 2u);
    EXPECT_EQ(p.Feed(TransmitStatus(1) + "\n"), "\x12");
    EXPECT_EQ(Texts(p).back().substr(0, 4), "kept");
    EXPECT_TRUE(p.NvImages().empty());
}

const std::string kHuge = "\xFF\xFF\xFF\xFF";  // 65535 x 65535

INSTANTIATE_TEST_SUITE_P(
    VirtualPrinter, UnfinishedCommand,
    ::testing::Values(
        Unfinished{"raster of 4 MiB, 1000 bytes sent",
                   "\x1D\x76\x30\x00\x00\x08\x00\x08"s + std::string(1000, '\x55'), "GS v 0", 1008,
                   8 + (4u << 20), 0},
        Unfinished{"raster header cut short", "\x1D\x76\x30\x00\xFF"s, "GS v 0", 5, 8, 0},
        Unfinished{"raster of 4 GiB", "\x1D\x76\x30\x00"s + kHuge, "", 0, 0, 1},
        Unfinished{"NV image cut short", kelvo::testing::ExpectedFsQ(40, 40, Pattern).substr(0, 90),
                   "FS q", 90, 3 + 4 + 5 * 5 * 8, 0},
        Unfinished{"NV image of 34 GiB", "\x1C\x71\x01"s + kHuge, "", 0, 0, 1},
        Unfinished{"GS 8 L of 4 GiB", "\x1D\x38\x4C"s + kHuge, "", 0, 0, 1},
        Unfinished{"GS 8 L just past the raster limit", "\x1D\x38\x4C\x01\x00\x40\x00\x30\x70"s, "",
                   0, 0, 1},
        Unfinished{"GS 8 L of 1 MiB, 1000 bytes sent",
                   "\x1D\x38\x4C\x00\x00\x10\x00"s + std::string(1000, '\x30'), "GS 8 L", 1007,
                   7 + (1u << 20), 0},
        Unfinished{"GS ( L cut short", "\x1D\x28\x4C\xFF\x7F\x30\x70"s, "GS ( L", 7, 5 + 0x7FFF,
                   0}),
    kelvo::testing::NamedByWhat());

TEST(VirtualPrinter, LongFeedsAndLongRollsStayWithinTheirBounds) {
    VirtualPrinter p;
    // The most ESC 3 and ESC d can ask for, 65025 dots, is fed as the printer's longest feed.
    p.Feed("\x1B\x33\xFF\x1B\x64\xFF"s);
    ASSERT_EQ(p.PaperSize(), 1u);
    EXPECT_EQ(std::get<PaperFeed>(p.Paper()[0]).dots, kMaxFeedDots);
    p.Feed("x\x1B\x64\xFF"s);
    EXPECT_EQ(std::get<PaperLine>(p.Paper().back()).spacing, kMaxFeedDots);

    std::string feeds;
    for (int i = 0; i < 1000; ++i)
        feeds += "\x1B\x33\xFF\x1B\x64\xFF"s;
    p.Feed(feeds);
    std::string lines;
    for (int i = 0; i < 12000; ++i)
        lines += "line\n";
    p.Feed(lines);
    std::string rasters;
    for (int i = 0; i < 100; ++i)
        rasters += "\x1D\x76\x30\x00\x48\x00\x00\x04"s + std::string(72 * 1024, '\x0F');
    p.Feed(rasters);
    EXPECT_LE(p.PaperSize(), kPaperItems);
    EXPECT_LE(p.PaperHeight(), kPaperHeightDots);
    EXPECT_LE(p.PaperImageDots(), kPaperImageDots);
    int64_t height = 0;
    size_t dots = 0;
    for (const PaperItem& item : p.Paper()) {
        height += ItemHeight(item);
        if (const auto* image = std::get_if<PaperImage>(&item))
            dots += image->dots.size();
    }
    EXPECT_EQ(height, p.PaperHeight());
    EXPECT_EQ(dots, p.PaperImageDots());
    const uint64_t bytes = 6 + 4 + feeds.size() + lines.size() + rasters.size();
    EXPECT_LE(p.Count().work, bytes * kMaxWorkPerByte);
}

// Column pictures sent as bands, each followed by LF, as other people's encoders send them.
struct Bands {
    const char* what;
    uint8_t mode;         // ESC * m
    std::string spacing;  // set before the bands
    int gap;              // blank dots expected below each band
};

class ColumnBands : public ::testing::TestWithParam<Bands> {};

// The paper from its top as rows of dots, blank where no picture is; `width` dots wide.
static std::vector<std::vector<uint8_t>> Rows(const VirtualPrinter& p, int width) {
    std::vector<std::vector<uint8_t>> rows;
    for (const PaperItem& item : p.Paper()) {
        if (const auto* image = std::get_if<PaperImage>(&item)) {
            for (int y = 0; y < image->height; ++y) {
                std::vector<uint8_t>& row = rows.emplace_back(static_cast<size_t>(width), 0);
                for (int x = 0; x < std::min(width, image->width); ++x)
                    row[static_cast<size_t>(x)] =
                        image->dots[static_cast<size_t>(y) * image->width + x];
            }
        } else {
            rows.resize(rows.size() + static_cast<size_t>(ItemHeight(item)),
                        std::vector<uint8_t>(static_cast<size_t>(width), 0));
        }
    }
    return rows;
}

TEST_P(ColumnBands, StackIntoOnePictureWhenTheSpacingIsTheBandHeight) {
    const Bands& c = GetParam();
    const bool tall = c.mode >= 32;
    const int bandBits = tall ? 24 : 8, columns = 40, bands = 3;
    const int sx = c.mode % 2 ? 1 : 2, sy = tall ? 1 : 3;
    auto black = [&](int x, int y) { return Pattern(x, y); };
    std::string bytes = c.spacing;
    for (int b = 0; b < bands; ++b) {
        bytes += "\x1B\x2A"s + static_cast<char>(c.mode) + static_cast<char>(columns) + '\0';
        for (int x = 0; x < columns; ++x) {
            for (int k = 0; k < bandBits / 8; ++k) {
                uint8_t byte = 0;
                for (int bit = 0; bit < 8; ++bit)
                    byte |= black(x, b * bandBits + k * 8 + bit) ? 0x80 >> bit : 0;
                bytes += static_cast<char>(byte);
            }
        }
        bytes += '\n';
    }
    VirtualPrinter p;
    p.Feed(bytes);
    const int width = columns * sx, bandRows = bandBits * sy;
    const std::vector<std::vector<uint8_t>> rows = Rows(p, width);
    ASSERT_EQ(rows.size(), static_cast<size_t>(bands * (bandRows + c.gap)));
    for (int b = 0; b < bands; ++b) {
        for (int r = 0; r < bandRows + c.gap; ++r) {
            const int y = b * (bandRows + c.gap) + r;
            for (int x = 0; x < width; ++x) {
                const bool expected = r < bandRows && black(x / sx, b * bandBits + r / sy);
                ASSERT_EQ(rows[static_cast<size_t>(y)][static_cast<size_t>(x)], expected ? 1 : 0)
                    << "band " << b << " row " << r << " column " << x;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    VirtualPrinter, ColumnBands,
    ::testing::Values(Bands{"24_dot_double_density_spacing_24", 33, "\x1B\x33\x18", 0},
                      Bands{"24_dot_single_density_spacing_24", 32, "\x1B\x33\x18", 0},
                      Bands{"24_dot_spacing_16", 33, "\x1B\x33\x10", 0},
                      Bands{"8_dot_double_density_spacing_16", 1, "\x1B\x33\x10", 0},
                      Bands{"8_dot_double_density_spacing_24", 1, "\x1B\x33\x18", 0},
                      Bands{"8_dot_single_density_spacing_24", 0, "\x1B\x33\x18", 0},
                      Bands{"24_dot_default_spacing", 33, "", 6},
                      Bands{"8_dot_default_spacing", 1, "\x1B\x32", 6},
                      Bands{"24_dot_spacing_40", 33, "\x1B\x33\x28", 16}),
    kelvo::testing::NamedByWhat());

// Status switches and the answers to DLE EOT 1, 2, 3 and 4 they give.
struct StatusCase {
    const char* what;
    std::function<void(StatusFlags&)> set;
    std::array<uint8_t, 4> answers;
};

class StatusTable : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusTable, EachRequestAnswersItsBitsAndAnErrorTakesThePrinterOffline) {
    const StatusCase& c = GetParam();
    VirtualPrinter p;
    c.set(p.Flags());
    for (uint8_t n = 1; n <= 4; ++n) {
        SCOPED_TRACE("DLE EOT " + std::to_string(n));
        EXPECT_EQ(p.Feed(TransmitStatus(n)), std::string(1, static_cast<char>(c.answers[n - 1])));
        EXPECT_EQ(p.StatusByte(n), c.answers[n - 1]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    VirtualPrinter, StatusTable,
    ::testing::Values(
        StatusCase{"idle", [](StatusFlags&) {}, {0x12, 0x12, 0x12, 0x12}},
        StatusCase{"offline", [](StatusFlags& f) { f.online = false; }, {0x1A, 0x12, 0x12, 0x12}},
        StatusCase{
            "drawer_open", [](StatusFlags& f) { f.drawerOpen = true; }, {0x16, 0x12, 0x12, 0x12}},
        StatusCase{
            "cover_open", [](StatusFlags& f) { f.coverOpen = true; }, {0x1A, 0x16, 0x12, 0x12}},
        StatusCase{"paper_near_end",
                   [](StatusFlags& f) { f.paperNearEnd = true; },
                   {0x12, 0x12, 0x12, 0x1E}},
        StatusCase{
            "paper_out", [](StatusFlags& f) { f.paperOut = true; }, {0x1A, 0x32, 0x12, 0x72}},
        StatusCase{"error_unrecoverable",
                   [](StatusFlags& f) { f.error = true; },
                   {0x1A, 0x52, 0x32, 0x12}},
        StatusCase{"error_cutter",
                   [](StatusFlags& f) {
                       f.error = true;
                       f.errorCause = ErrorCause::Cutter;
                   },
                   {0x1A, 0x52, 0x1A, 0x12}},
        StatusCase{"error_recovers_by_itself",
                   [](StatusFlags& f) {
                       f.error = true;
                       f.errorCause = ErrorCause::AutoRecoverable;
                   },
                   {0x1A, 0x52, 0x52, 0x12}},
        StatusCase{"cause_without_error",
                   [](StatusFlags& f) { f.errorCause = ErrorCause::Cutter; },
                   {0x12, 0x12, 0x12, 0x12}},
        StatusCase{"cover_open_drawer_open_paper_near_end",
                   [](StatusFlags& f) { f.coverOpen = f.drawerOpen = f.paperNearEnd = true; },
                   {0x1E, 0x16, 0x12, 0x1E}}),
    kelvo::testing::NamedByWhat());

// Reverse and upside-down style the runs, and ESC @ clears them.
INSTANTIATE_TEST_SUITE_P(
    ReverseAndUpsideDown, Prints,
    ::testing::ValuesIn(std::vector<PaperRow>{
        {"GS B 1 reverses the run, GS B 0 ends it",
         "a\x1D\x42\x01"
         "b\x1D\x42\x00"
         "c\n"s,
         {Line({Text("a"), Text("b", reverse), Text("c")})}},
        {"GS B and ESC { take their argument's lowest bit",
         "\x1D\x42\x31\x1B\x7B\x31x\n\x1D\x42\x30\x1B\x7B\x30y\n"s,
         {Line({Text("x", {.reverse = true, .upsideDown = true})}), Line({Text("y")})}},
        {"ESC { 1 turns the line", "\x1B\x7B\x01up\n"s, {Line({Text("up", upsideDown)})}},
        {"ESC ! keeps them",
         "\x1D\x42\x01\x1B\x7B\x01\x1B\x21\x08z\n"s,
         {Line({Text("z", reverseUpsideDownBold)})}},
        {"ESC @ clears them",
         "\x1D\x42\x01\x1B\x7B\x01" + Initialize() + "n\n",
         {Line({Text("n")})}}}),
    kelvo::testing::NamedByWhat());

// Requests for what the printer is and what its sensors say, and the bytes it answers.
struct Request {
    const char* what;
    std::string bytes;
    std::function<void(StatusFlags&)> set;
    std::string answer;
};

class Requests : public ::testing::TestWithParam<Request> {};

TEST_P(Requests, AreAnsweredAsThePrinterAnswersThem) {
    const Request& c = GetParam();
    VirtualPrinter p;
    if (c.set)
        c.set(p.Flags());
    EXPECT_EQ(p.Feed(c.bytes), c.answer);
    // Nothing of a request prints, and the printer goes on reading.
    EXPECT_EQ(p.Feed("after\n"), "");
    EXPECT_EQ(Texts(p), std::vector<std::string>{"after"});
}

INSTANTIATE_TEST_SUITE_P(
    VirtualPrinter, Requests,
    ::testing::Values(
        Request{"model_id", "\x1D\x49\x01"s, {}, "\x20"},
        Request{"model_id_as_digit", "\x1D\x49\x31"s, {}, "\x20"},
        Request{"type_id", "\x1D\x49\x02"s, {}, "\x03"},
        Request{"version_id", "\x1D\x49\x33"s, {}, "\x07"},
        Request{"firmware", "\x1D\x49\x41"s, {}, "_1.07\0"s},
        Request{"maker", "\x1D\x49\x42"s, {}, "_KELVO\0"s},
        Request{"model_name", "\x1D\x49\x43"s, {}, "_QM417\0"s},
        Request{"serial_number", "\x1D\x49\x44"s, {}, "_QM41700000001\0"s},
        Request{"fonts", "\x1D\x49\x45"s, {}, "_Simplified Chinese GBK\0"s},
        Request{"unknown_information", "\x1D\x49\x46\x1D\x49\x00\x1D\x49\x04"s, {}, ""},
        Request{
            "all_three_ids_in_one_go", "\x1D\x49\x01\x1D\x49\x02\x1D\x49\x03"s, {}, "\x20\x03\x07"},
        Request{"paper_sensors_idle", "\x1D\x72\x01"s, {}, "\x00"s},
        Request{"paper_near_end", "\x1D\x72\x01"s, [](StatusFlags& f) { f.paperNearEnd = true; },
                "\x03"},
        Request{"paper_out_as_digit", "\x1D\x72\x31"s,
                [](StatusFlags& f) { f.paperNearEnd = f.paperOut = true; }, "\x0F"},
        Request{"drawer_closed", "\x1D\x72\x02"s, {}, "\x00"s},
        Request{"drawer_open_as_digit", "\x1D\x72\x32"s,
                [](StatusFlags& f) { f.drawerOpen = true; }, "\x01"},
        Request{"unknown_sensor", "\x1D\x72\x03"s, [](StatusFlags& f) { f.drawerOpen = true; }, ""},
        Request{"answers_between_status_requests",
                TransmitStatus(1) + "\x1D\x49\x42"s + TransmitStatus(4),
                {},
                "\x12_KELVO\0\x12"s}),
    kelvo::testing::NamedByWhat());

TEST(VirtualPrinter, FiftyEightMillimetrePaperWrapsTextAndCropsPicturesAtItsWidth) {
    VirtualPrinter p;
    EXPECT_FALSE(p.SetPaperWidth(400));
    EXPECT_EQ(p.PaperWidth(), kPaper80Dots);
    ASSERT_TRUE(p.SetPaperWidth(kPaper58Dots));
    // 32 font A characters fill 384 dots; a 60-byte-wide raster keeps its first 384 dots.
    p.Feed(std::string(33, 'x') + "\n" + "\x1D\x76\x30\x00\x3C\x00\x01\x00"s +
           std::string(60, '\xFF'));
    ASSERT_EQ(p.Paper().size(), 3u);
    EXPECT_EQ(p.Paper()[0], PaperItem(Line({Text(std::string(32, 'x'))})));
    EXPECT_EQ(std::get<PaperImage>(p.Paper()[2]).width, kPaper58Dots);
}

TEST(VirtualPrinter, AJobsItemRangeStillNamesItsPaperAfterOlderPaperIsTrimmed) {
    VirtualPrinter p;
    p.StartJob("TCP 127.0.0.1:40112");
    p.Feed(std::string(kPaperItems - 10, '\n'));
    p.EndJob("closed");
    // The second job passes the item limit: the oldest paper goes, the job's own stays.
    p.StartJob("TCP 127.0.0.1:40113");
    p.Feed("  first line  \n"s + std::string(20, '\n') + "\x1D\x76\x30\x00\x01\x00\x01\x00\xFF"s +
           "\x1D\x56\x01"s);
    p.EndJob("closed");
    ASSERT_GT(p.PaperDropped(), 0u);
    ASSERT_EQ(p.Jobs().size(), 2u);
    const JobRecord& first = p.Jobs()[0];
    const JobRecord& job = p.Jobs()[1];
    EXPECT_EQ(first.firstItem, 0u);
    EXPECT_EQ(first.endItem, kPaperItems - 10);
    EXPECT_EQ(job.endpoint, "TCP 127.0.0.1:40113");
    EXPECT_EQ(job.firstItem, first.endItem);
    EXPECT_EQ(job.endItem, p.PaperDropped() + p.PaperSize());
    EXPECT_EQ(job.endItem - job.firstItem, 23u);
    ASSERT_GE(job.firstItem, p.PaperDropped());
    const PaperItem& opening = p.Paper()[job.firstItem - p.PaperDropped()];
    EXPECT_EQ(std::get<PaperLine>(opening).runs.at(0).utf8, "  first line  ");
    EXPECT_EQ(job.firstLine, "first line");
    EXPECT_EQ(job.lines, 21u);
    EXPECT_EQ(job.pictures, 1u);
    EXPECT_EQ(job.cuts, 1u);
    EXPECT_EQ(job.bytes, 15u + 20 + 9 + 3);
    EXPECT_LE(job.started, job.ended);
    // Bytes with no job begun start one from the endpoint named last.
    p.Feed("x\n");
    EXPECT_TRUE(p.JobRunning());
    EXPECT_EQ(p.Job().endpoint, "TCP 127.0.0.1:40113");
    EXPECT_EQ(p.Job().firstItem, job.endItem);
}

TEST(Bridge, EachFrameIsAJobOfItsPrinterEndedByTheNextHeaderOrThePause) {
    VirtualPrinter direct, one, two;
    Bridge bridge(direct, {{"001", &one}, {"002", &two}});
    bridge.SetLineName("serial /dev/pts/7");
    bridge.Feed("direct\n" + WirelessDataHeader() + "002" + "first\n" + WirelessDataHeader() +
                "002" + "second\n");
    EXPECT_TRUE(bridge.EndFrame());
    EXPECT_FALSE(bridge.EndFrame());  // nothing running after the pause ended the frame
    bridge.Feed("again\n");
    EXPECT_TRUE(bridge.EndFrame());

    ASSERT_EQ(direct.Jobs().size(), 2u);
    EXPECT_EQ(direct.Jobs()[0].endpoint, "serial /dev/pts/7");
    EXPECT_EQ(direct.Jobs()[0].end, "header");
    EXPECT_EQ(direct.Jobs()[0].bytes, 7u);
    EXPECT_EQ(direct.Jobs()[1].end, "pause");
    EXPECT_EQ(direct.Jobs()[1].firstLine, "again");
    ASSERT_EQ(two.Jobs().size(), 2u);
    for (const JobRecord& job : two.Jobs())
        EXPECT_EQ(job.endpoint, "wireless 002");
    EXPECT_EQ(two.Jobs()[0].firstLine, "first");
    EXPECT_EQ(two.Jobs()[0].end, "header");
    EXPECT_EQ(two.Jobs()[1].firstLine, "second");
    EXPECT_EQ(two.Jobs()[1].end, "pause");
    EXPECT_EQ(two.Jobs()[1].firstItem, 1u);
    EXPECT_EQ(two.Jobs()[1].endItem, 2u);
    EXPECT_TRUE(one.Jobs().empty());
}

// Tabs, positions, margins, spacing, rotation and character sets, as the printer lays them out.
struct LayoutCase {
    const char* what;
    std::string bytes;
    std::vector<PaperItem> paper;
};

void PrintTo(const LayoutCase& c, std::ostream* out) {
    *out << c.what;
}

class Layout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(Layout, PutsEachRunWhereThePrinterPrintsIt) {
    VirtualPrinter p;
    p.Feed(GetParam().bytes);
    EXPECT_EQ(p.Paper(), GetParam().paper);
}

TextRun At(std::string utf8, int x, TextStyle style = {}) {
    return {std::move(utf8), style, false, x};
}

PaperLine Area(std::vector<TextRun> runs, int left, int width, Align align = Align::Left) {
    return {std::move(runs), align, 30, left, width};
}

INSTANTIATE_TEST_SUITE_P(
    VirtualPrinter, Layout,
    ::testing::Values(
        LayoutCase{"tab_stops_every_8_characters",
                   "a\tb\t\tc\n",
                   {Line({Text("a"), At("b", 96), At("c", 288)})}},
        LayoutCase{"esc_d_stops_and_past_the_last_tab_nothing",
                   "\x1B\x44\x02\x05\x00\tab\tc\td\n"s,
                   {Line({At("ab", 24), At("cd", 60)})}},
        LayoutCase{"esc_d_nul_clears_the_stops", "\x1B\x44\x00x\ty\n"s, {Line({Text("xy")})}},
        LayoutCase{"esc_d_ends_at_a_stop_not_past_the_one_before",
                   "\x1B\x44\x03\x02z\tq\n"s,
                   {Line({Text("z"), At("q", 36)})}},
        LayoutCase{"esc_d_counts_in_characters_with_their_spacing",
                   "\x1B\x20\x04\x1B\x44\x02\x00\ta\n"s,
                   {Line({At("a", 32, {.spacing = 4})})}},
        LayoutCase{"a_tab_past_the_print_area_fills_the_line",
                   "\x1D\x57\x64\x00\x1B\x44\x0A\x00x\ty\n"s,
                   {Area({Text("x")}, 0, 100), Area({Text("y")}, 0, 100)}},
        LayoutCase{"esc_dollar_absolute_position",
                   "ab\x1B\x24\x64\x00"
                   "c\x1B\x24\x00\x00"
                   "d\n"s,
                   {Line({Text("ab"), At("c", 100), At("d", 0)})}},
        LayoutCase{"esc_dollar_outside_the_print_area_ignored",
                   "a\x1B\x24\x00\x10"
                   "b\n"s,
                   {Line({Text("ab")})}},
        LayoutCase{"esc_backslash_relative_both_ways",
                   "abc\x1B\x5C\xF4\xFF"
                   "d\x1B\x5C\x0A\x00"
                   "e\x1B\x5C\x00\x80"
                   "f\n"s,
                   {Line({Text("abc"), At("d", 24), At("ef", 46)})}},
        LayoutCase{"gs_l_and_gs_w_make_the_area_justification_works_within",
                   "\x1D\x4C\x40\x00\x1D\x57\xC8\x00\x1B\x61\x01hi\n"s,
                   {Area({Text("hi")}, 64, 200, Align::Centre)}},
        LayoutCase{"gs_l_mid_line_is_ignored",
                   "a\x1D\x4C\x40\x00"
                   "b\nc\n"s,
                   {Line({Text("ab")}), Line({Text("c")})}},
        LayoutCase{"gs_w_wraps_at_the_area",
                   "\x1D\x57\x30\x00"
                   "abcde\n"s,
                   {Area({Text("abcd")}, 0, 48), Area({Text("e")}, 0, 48)}},
        LayoutCase{"a_margin_past_the_paper_leaves_one_dot",
                   "\x1D\x4C\x00\x04"
                   "ab\n"s,
                   {Area({Text("a")}, 575, 0), Area({Text("b")}, 575, 0)}},
        LayoutCase{"esc_at_restores_margin_width_and_stops",
                   "\x1D\x4C\x40\x00\x1D\x57\x30\x00\x1B\x44\x00\x1B@a\tb\n"s,
                   {Line({Text("a"), At("b", 96)})}},
        LayoutCase{"esc_sp_spaces_characters_and_wraps_by_their_pitch",
                   "\x1B\x20\x03" + std::string(39, 'x') + "\x1B\x20\x00y\n"s,
                   {Line({Text(std::string(38, 'x'), {.spacing = 3})}),
                    Line({Text("x", {.spacing = 3}), Text("y")})}},
        LayoutCase{"esc_v_rotates_and_esc_at_ends_it",
                   "\x1B\x56\x01r\x1B\x56\x30s\x1B\x56\x31t\n\x1B@u\n"s,
                   {Line({Text("r", {.rotated = true}), Text("s"), Text("t", {.rotated = true})}),
                    Line({Text("u")})}},
        LayoutCase{"esc_r_germany", "\x1B\x52\x02#$@[\\]^`{|}~\n"s, {Line({Text("#$§ÄÖÜ^`äöüß")})}},
        LayoutCase{"esc_r_france_as_the_parameter_page_sends_it",
                   "\x1B\x52\x01@ab\\\x1B\x52\x00@\n"s,
                   {Line({Text("àabç"), Text("@")})}},
        LayoutCase{"esc_r_spain_one_and_japan",
                   "\x1B\x52\x07#\x1B\x52\x08\\\n"s,
                   {Line({Text("₧"), Text("¥")})}},
        LayoutCase{"esc_r_leaves_two_byte_characters_alone",
                   "\x1B\x52\x02" + ToGbk("丂") + "@\n",
                   {Line({Text("丂", {}, true), Text("§")})}},
        LayoutCase{"esc_r_out_of_range_ignored", "\x1B\x52\x40@\n"s, {Line({Text("@")})}},
        LayoutCase{"esc_at_returns_to_the_stored_set",
                   SetDefaultIntlCharset(2) + "@\x1B\x52\x00@\n"s + Initialize() + "@\n",
                   {Line({Text("§"), Text("@")}), Line({Text("§")})}},
        LayoutCase{"fs_bang_enlarges_two_byte_characters_only",
                   "\x1C\x21\x0C" + ToGbk("测") + "a\n",
                   {Line({Text("测", {.widthMul = 2, .heightMul = 2}, true), Text("a")}, 48)}},
        LayoutCase{"fs_bang_underline_and_fs_minus",
                   "\x1C\x21\x80" + ToGbk("测") + "\x1C\x2D\x32" + ToGbk("测") + "\x1C\x2D\x00"s +
                       ToGbk("测") + "a\n",
                   {Line({Text("测", {.underline = 1}, true), Text("测", {.underline = 2}, true),
                          Text("测", {}, true), Text("a")})}},
        LayoutCase{"esc_bang_and_esc_minus_leave_two_byte_characters",
                   "\x1B\x21\xB0\x1B\x2D\x01" + ToGbk("测") + "\n",
                   {Line({Text("测", {}, true)})}},
        LayoutCase{"gs_bang_enlarges_both",
                   "\x1D\x21\x10" + ToGbk("测") + "a\n",
                   {Line({Text("测", {.widthMul = 2}, true), Text("a", {.widthMul = 2})})}},
        LayoutCase{"esc_sp_is_not_for_two_byte_characters",
                   "\x1B\x20\x05" + ToGbk("测") + "\n",
                   {Line({Text("测", {}, true)})}}),
    kelvo::testing::NamedByWhat());

TEST(VirtualPrinter, ALineWrittenOverAndOverPrintsOnceItHoldsTheMostRuns) {
    VirtualPrinter p;
    std::string bytes;
    for (size_t i = 0; i < 3 * kLineRuns; ++i)
        bytes += "\x1B\x24\x00\x00x"s;
    p.Feed(bytes + "\n");
    ASSERT_EQ(p.PaperSize(), 3u);
    for (const PaperItem& item : p.Paper())
        EXPECT_EQ(std::get<PaperLine>(item).runs.size(), kLineRuns);
}

// A picture of x by y dots as raster rows, whole bytes each, the most significant bit left.
std::string RasterRows(int x, int y) {
    std::string data;
    for (int row = 0; row < y; ++row) {
        for (int byte = 0; byte < (x + 7) / 8; ++byte) {
            uint8_t b = 0;
            for (int bit = 0; bit < 8; ++bit)
                b |= byte * 8 + bit < x && Pattern(byte * 8 + bit, row) ? 0x80 >> bit : 0;
            data += static_cast<char>(b);
        }
    }
    return data;
}

std::string Le16(unsigned v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

// GS ( L with its parameters, or GS 8 L with the same in its 32-bit form.
std::string Graphics(const std::string& params, bool eight = false) {
    if (eight)
        return "\x1D\x38\x4C"s + Le16(params.size() & 0xFFFF) + Le16(params.size() >> 16) + params;
    return "\x1D\x28\x4C"s + Le16(params.size()) + params;
}

std::string StoreRaster(int x, int y, int bx, int by, bool eight = false) {
    return Graphics("\x30\x70\x30"s + static_cast<char>(bx) + static_cast<char>(by) + "\x31" +
                        Le16(x) + Le16(y) + RasterRows(x, y),
                    eight);
}

const std::string kPrintBuffered = "\x1D\x28\x4C\x02\x00\x30\x32"s;

void ExpectPattern(const PaperImage& image, int x, int y, int sx, int sy) {
    ASSERT_EQ(image.width, x * sx);
    ASSERT_EQ(image.height, y * sy);
    for (int row = 0; row < image.height; ++row) {
        for (int column = 0; column < image.width; ++column)
            ASSERT_EQ(image.dots[static_cast<size_t>(row) * image.width + column],
                      Pattern(column / sx, row / sy) ? 1 : 0)
                << column << "," << row;
    }
}

struct RasterCase {
    const char* what;
    bool eight;  // GS 8 L
    int bx, by;
};

class BufferedGraphics : public ::testing::TestWithParam<RasterCase> {};

TEST_P(BufferedGraphics, StoredThenPrintedDotForDotAtItsScale) {
    const RasterCase& c = GetParam();
    VirtualPrinter p;
    p.Feed("\x1B\x61\x02"s + StoreRaster(21, 13, c.bx, c.by, c.eight));
    EXPECT_TRUE(p.Paper().empty());  // held in the print buffer until function 50
    p.Feed("text" + kPrintBuffered + kPrintBuffered);
    ASSERT_EQ(p.PaperSize(), 2u);  // the line before it, and the picture once
    EXPECT_EQ(p.Paper()[0], PaperItem(Line({Text("text")}, 30, Align::Right)));
    const auto& image = std::get<PaperImage>(p.Paper()[1]);
    EXPECT_EQ(image.align, Align::Right);
    ExpectPattern(image, 21, 13, c.bx, c.by);
}

INSTANTIATE_TEST_SUITE_P(VirtualPrinter, BufferedGraphics,
                         ::testing::Values(RasterCase{"gs_paren_l", false, 1, 1},
                                           RasterCase{"gs_paren_l_double_width", false, 2, 1},
                                           RasterCase{"gs_8_l_double_height", true, 1, 2},
                                           RasterCase{"gs_8_l_quadruple", true, 2, 2}),
                         kelvo::testing::NamedByWhat());

TEST(VirtualPrinter, BufferedGraphicsAreDroppedByEscAtAndMalformedOnesAreNotStored) {
    VirtualPrinter p;
    p.Feed(StoreRaster(8, 2, 1, 1) + Initialize() + kPrintBuffered);
    // Scale 3, colour 2, and data short of the size declared: none is stored.
    std::string shortData = StoreRaster(16, 4, 1, 1);
    shortData[3] -= 1;
    shortData.pop_back();
    std::string colour2 = StoreRaster(8, 2, 1, 1);
    colour2[10] = '\x32';
    p.Feed(StoreRaster(8, 2, 3, 1) + kPrintBuffered + colour2 + kPrintBuffered + shortData +
           kPrintBuffered + "after\n");
    EXPECT_EQ(Texts(p), std::vector<std::string>{"after"});
    EXPECT_EQ(p.PaperSize(), 1u);
}

std::string DefineNv(const std::string& key, int x, int y) {
    return Graphics("\x30\x43\x30"s + key + "\x01" + Le16(x) + Le16(y) + "\x31" + RasterRows(x, y),
                    true);
}

std::string PrintNv(const std::string& key, int sx, int sy) {
    return Graphics("\x30\x45"s + key + static_cast<char>(sx) + static_cast<char>(sy));
}

const std::string kListKeys = Graphics("\x30\x40KC"s);

TEST(VirtualPrinter, NvGraphicsAreDefinedPrintedListedAndErasedByKey) {
    VirtualPrinter p;
    EXPECT_EQ(p.Feed(Graphics("\x30\x30"s)), "\x37\x30" + std::to_string(kNvGraphicsBytes) + '\0');
    p.Feed(DefineNv("A1", 20, 13) + DefineNv("B2", 8, 8));
    ASSERT_EQ(p.NvGraphics().size(), 2u);
    EXPECT_EQ(p.Feed(kListKeys), "\x37\x70\x40"s + "A1B2" + '\0');
    EXPECT_EQ(p.Feed(Graphics("\x30\x33"s)),
              "\x37\x31" + std::to_string(kNvGraphicsBytes - 3 * 13 - 8) + '\0');

    p.Feed(PrintNv("A1", 1, 1) + PrintNv("A1", 2, 2) + PrintNv("A1", 1, 1) + PrintNv("ZZ", 1, 1));
    ASSERT_EQ(p.PaperSize(), 3u);
    const auto image = [&](size_t i) { return std::get<PaperImage>(p.Paper()[i]); };
    ExpectPattern(image(0), 20, 13, 1, 1);
    ExpectPattern(image(1), 20, 13, 2, 2);
    // Printed as stored, its dots shared with the store.
    EXPECT_EQ(image(0).dots.Identity(), p.NvGraphics()[0].image.dots.Identity());
    EXPECT_EQ(image(2).dots.Identity(), image(0).dots.Identity());

    // Defined again under its key: replaced.
    p.Feed(DefineNv("A1", 16, 1));
    EXPECT_EQ(p.Feed(kListKeys), "\x37\x70\x40"s + "B2A1" + '\0');
    p.Feed(Graphics("\x30\x42"s + "B2"));
    EXPECT_EQ(p.Feed(kListKeys), "\x37\x70\x40"s + "A1" + '\0');
    p.Feed(Graphics("\x30\x41"s + "CLX") + Graphics("\x30\x41"s + "CLR"));
    EXPECT_TRUE(p.NvGraphics().empty());
    EXPECT_EQ(p.Feed(kListKeys), "\x37\x70\x40\x00"s);
}

TEST(VirtualPrinter, NvGraphicsStoreNoMoreThanTheirMemory) {
    VirtualPrinter p;
    // 256 KiB each: the fifth does not fit.
    for (char k = 'a'; k < 'f'; ++k)
        p.Feed(DefineNv("K"s + k, 2048, 1024));
    EXPECT_EQ(p.NvGraphics().size(), 4u);
    EXPECT_EQ(p.Feed(Graphics("\x30\x33"s)),
              "\x37\x31"
              "0"s +
                  '\0');
    std::string many;
    p.Feed(Graphics("\x30\x41"s + "CLR"));
    for (size_t i = 0; i <= kNvGraphicsKept; ++i)
        many += DefineNv({static_cast<char>('0' + i / 32), static_cast<char>('0' + i % 32)}, 8, 1);
    p.Feed(many);
    EXPECT_EQ(p.NvGraphics().size(), kNvGraphicsKept);
}

TEST(VirtualPrinter, AMixedReceiptReadsTheSameHoweverItIsSplit) {
    const std::string stream =
        "\x1B\x52\x01\x1D\x4C\x10\x00\x1B\x44\x04\x0A\x00"
        "a@\tb\x1B\x24\x40\x01"
        "c\x1B\x5C\xF0\xFF"
        "d\n\x1B\x20\x02\x1B\x56\x01r\n\x1C\x21\x04"s +
        ToGbk("测") + "\n" + StoreRaster(12, 5, 2, 1) + TransmitStatus(1) + kPrintBuffered +
        DefineNv("Lg", 9, 3) + PrintNv("Lg", 1, 2) + StoreRaster(9, 4, 1, 1, true) +
        kPrintBuffered + "\x1B\x44\x00\tz\n"s + kListKeys;
    VirtualPrinter whole;
    const std::string answer = whole.Feed(stream);
    EXPECT_EQ(answer, "\x12\x37\x70\x40Lg\0"s);
    ASSERT_EQ(whole.PaperSize(), 7u);
    for (size_t split = 0; split <= stream.size(); ++split) {
        SCOPED_TRACE(split);
        VirtualPrinter p;
        std::string got = p.Feed(stream.substr(0, split));
        got += p.Feed(stream.substr(split));
        EXPECT_EQ(got, answer);
        EXPECT_EQ(p.Paper(), whole.Paper());
        EXPECT_EQ(p.HeldBytes(), 0u);
    }
}

// ---- Behind a tap -------------------------------------------------------------------------------

namespace {

using kelvo::cli::TapLine;
using kelvo::testing::PosPeer;

// The virtual printer on loopback behind a tap, whose stream is read as the command line and the
// window read it.
struct Tapped {
    explicit Tapped(std::vector<std::string> script = {})
        : box([&] {
              PrinterBox::Options o;
              o.tcp.host = kelvo::testing::OwnLoopbackHost();
              o.tcp.port = 0;
              o.serial = false;
              o.keepEnded = 1;
              o.script = ParseFaultScript(script);
              return o;
          }()),
          tap(Route(box.TcpAddress()), [this](const TapEvent& e) {
              std::lock_guard lock(mu);
              for (TapLine& line : stream.Read(e))
                  lines.push_back(std::move(line));
              heard.notify_all();
          }) {}

    static TapOptions Route(const std::string& printer) {
        TapOptions o;
        o.listenHost = kelvo::testing::OwnLoopbackHost(2);
        o.listenPort = 0;
        o.printerHost = printer.substr(0, printer.rfind(':'));
        o.printerPort = static_cast<uint16_t>(std::stoi(printer.substr(printer.rfind(':') + 1)));
        return o;
    }
    // The stream up to its first line of `event`, or all of it when none came.
    std::vector<TapLine> LinesUntil(const std::string& event) {
        std::unique_lock lock(mu);
        heard.wait_for(lock, std::chrono::seconds(10), [&] {
            return std::any_of(lines.begin(), lines.end(),
                               [&](const TapLine& l) { return l.event == event; });
        });
        return lines;
    }
    // The job the POS's connection made, once it ended.
    EndedJob Job() {
        std::vector<EndedJob> ended;
        kelvo::testing::Eventually([&] { return !(ended = box.TakeEnded()).empty(); });
        return ended.empty() ? EndedJob{} : std::move(ended.front());
    }

    PrinterBox box;
    std::mutex mu;
    std::condition_variable heard;
    kelvo::cli::TapStream stream;
    std::vector<TapLine> lines;
    kelvo::Tap tap;  // last: it ends before what it tells
};

std::vector<std::string> Texts(const std::vector<TapLine>& lines, const std::string& event) {
    std::vector<std::string> texts;
    for (const TapLine& l : lines) {
        if (l.event == event)
            texts.push_back(l.text);
    }
    return texts;
}

}  // namespace

// A POS sends every independent encoder's receipt through the tap, asking the status after each:
// the printer gets every byte in order, the POS every answer, and the stream names each command
// (text aside, which the tap's pieces may cut anywhere) and each answer.
TEST(Tap, APosSendsTheEncodersReceiptsThroughItAndAsksTheStatusBetween) {
    Tapped t;
    std::vector<std::string> names;
    for (const auto& file : std::filesystem::directory_iterator(KELVO_RECEIPTS_DIR)) {
        if (file.path().extension() == ".bin")
            names.push_back(file.path().string());
    }
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 20u);
    std::string sent;
    {
        PosPeer pos(t.tap.Address());
        for (const std::string& name : names) {
            const std::string receipt = kelvo::testing::FileBytes(name);
            ASSERT_EQ(pos.Send(receipt), 0) << name;
            EXPECT_EQ(pos.Status(1, std::chrono::seconds(5)), std::optional<uint8_t>(0x12)) << name;
            sent += receipt + "\x10\x04\x01";
        }
    }
    const EndedJob job = t.Job();
    EXPECT_EQ(job.trace.bytes, sent);
    EXPECT_EQ(job.record.end, "closed");

    const std::vector<TapLine> lines = t.LinesUntil("printer-closed");
    std::vector<std::string> commands;
    DecoderState state;
    for (const DecodedCommand& c : DecodeCommands(sent, state)) {
        if (c.kind == DecodedCommand::Kind::Command || c.kind == DecodedCommand::Kind::Control)
            commands.push_back(FormatCommand(c));
    }
    std::vector<std::string> streamed;
    for (const TapLine& l : lines) {
        if (l.event == "to-printer" && l.text.rfind("text  ", 0) != 0 &&
            l.text.rfind("unknown  ", 0) != 0)
            streamed.push_back(l.text);
    }
    EXPECT_EQ(streamed, commands);
    EXPECT_EQ(Texts(lines, "answer"),
              std::vector<std::string>(names.size(), "12  DLE EOT 1: online, drawer pin 3 low"));
    EXPECT_TRUE(Texts(lines, "unsolicited").empty());
}

struct TapFault {
    const char* name;
    std::vector<std::string> script;
    std::function<void(Tapped&)> play;
};

class TapFaults : public ::testing::TestWithParam<TapFault> {};

TEST_P(TapFaults, CrossTheTapAsThemselves) {
    Tapped t(GetParam().script);
    GetParam().play(t);
}

INSTANTIATE_TEST_SUITE_P(
    Tap, TapFaults,
    ::testing::Values(
        TapFault{"APrinterResetMidJobReachesThePosAsAResetNotAHang",
                 {"1024B reset"},
                 [](Tapped& t) {
                     PosPeer pos(t.tap.Address());
                     pos.Send(kelvo::testing::Receipt300mm() + kelvo::testing::Receipt300mm());
                     EXPECT_EQ(pos.Read(1), "");
                     EXPECT_EQ(pos.error, ECONNRESET);
                     EXPECT_EQ(Texts(t.LinesUntil("reset"), "reset"),
                               std::vector<std::string>{"the printer reset the connection"});
                 }},
        TapFault{"APosThatHangsUpLeavesThePrinterItsTailAndAPlainClose",
                 {},
                 [](Tapped& t) {
                     const std::string receipt = kelvo::testing::Receipt300mm();
                     {
                         PosPeer pos(t.tap.Address());
                         ASSERT_EQ(pos.Send(receipt), 0);
                     }
                     const EndedJob job = t.Job();
                     EXPECT_EQ(job.trace.bytes, receipt);
                     EXPECT_EQ(job.record.end, "closed");
                     const std::vector<TapLine> lines = t.LinesUntil("printer-closed");
                     EXPECT_TRUE(Texts(lines, "reset").empty());
                     EXPECT_EQ(Texts(lines, "pos-closed").size(), 1u);
                 }}),
    kelvo::testing::NamedByName());

// check's lint: one faulty receipt a row, every finding it gets, where and in what words.
struct FaultyReceipt {
    const char* what;
    std::string bytes;
    int paper;
    std::vector<std::tuple<Finding::Kind, uint64_t, std::string>> findings;  // kind, offset, words
};

inline void PrintTo(const FaultyReceipt& row, std::ostream* os) {
    *os << row.what;
}

class Checks : public ::testing::TestWithParam<FaultyReceipt> {};

TEST_P(Checks, NameEachFaultAtItsByte) {
    const std::vector<Finding> found = CheckReceipt(GetParam().bytes, GetParam().paper);
    ASSERT_EQ(found.size(), GetParam().findings.size()) << ::testing::PrintToString(found.size());
    for (size_t i = 0; i < found.size(); ++i) {
        const auto& [kind, offset, words] = GetParam().findings[i];
        EXPECT_EQ(FindingName(found[i].kind), std::string(FindingName(kind)));
        EXPECT_EQ(found[i].offset, offset);
        EXPECT_NE(found[i].what.find(words), std::string::npos) << found[i].what;
    }
}

namespace {
using K = Finding::Kind;
const std::string kCut = "\x1D\x56\x42\x05";
}  // namespace

INSTANTIATE_TEST_SUITE_P(
    VirtualPrinter, Checks,
    ::testing::ValuesIn(std::vector<FaultyReceipt>{
        {"a command of another family",
         "Hi\n\x1B\x7E\x01\x00" + kCut,
         kPaper80Dots,
         {{K::UnknownCommand, 3, "1B 7E 01"}}},
        {"a raster the file ends inside",
         "Hi\n" + kCut + "\x1D\x76\x30\x00\x02\x00\x10\x00xyz"s,
         kPaper80Dots,
         {{K::Unfinished, 7, "GS v 0: the file ends after 11 of its 40 bytes"}}},
        {"Latin-1 text to a printer in Chinese mode",
         "Caf\xE9\n" + kCut,
         kPaper80Dots,
         {{K::Unprintable, 3, "1 byte that GBK (Chinese mode) holds no character for"}}},
        {"a 576-dot raster on 58 mm paper",
         "\x1D\x76\x30\x00\x48\x00\x01\x00"s + std::string(72, '\xFF') + kCut,
         kPaper58Dots,
         {{K::TooWide, 0, "a picture 576 dots wide, on paper 384"}}},
        {"an EAN-13 of five digits",
         "\x1D\x6B\x02"
         "12345\0"s +
             kCut,
         kPaper80Dots,
         {{K::SymbolRefused, 0, "EAN-13 \"12345\""}}},
        {"a CODE128 wider than the paper",
         "\x1D\x77\x06\x1D\x6B\x49\x1C{B"s + std::string(26, 'W') + kCut,
         kPaper80Dots,
         {{K::TooWide, 3, "CODE128 \"{B"}}},
        {"lines after the cut",
         "Hi\n" + kCut + "Bye\n",
         kPaper80Dots,
         {{K::NoCut, 11, "what prints after the last cut"}}},
        {"a raster of 16 MiB",
         "Hi\n" + kCut + "\x1D\x76\x30\x00\xFF\xFF\x00\x01"s,
         kPaper80Dots,
         {{K::TooLarge, 7, "GS v 0 of 16776960 bytes"},
          {K::Unfinished, 7, "GS v 0: the file ends after 8 of"}}},
    }),
    kelvo::testing::NamedByWhat());

TEST(VirtualPrinter, AJobsRecordNamesEachPicturesSizeAndEachSymbolsKindAndData) {
    VirtualPrinter p;
    p.Feed(
        "\x1D\x6B\x02"
        "4006381333931\0\x1D\x76\x30\x00\x02\x00\x01\x00\xF0\x0F"s);
    ASSERT_EQ(p.PaperSize(), 2u);
    const int width = std::get<PaperImage>(p.Paper()[0]).width;
    EndedJob job;
    job.paper = p.Paper();
    std::string record = RecordJson(ReportOf(job), 1);
    std::erase_if(record, [](char c) { return c == ' ' || c == '\n'; });
    EXPECT_NE(record.find("\"pictures\":[{\"width\":" + std::to_string(width) +
                          ",\"height\":162},{\"width\":16,\"height\":1}]"),
              std::string::npos)
        << record;
    EXPECT_NE(record.find("\"symbols\":[{\"kind\":\"EAN-13\",\"data\":\"4006381333931\"}]"),
              std::string::npos)
        << record;
}
