// Bar codes and 2D codes the virtual printer draws, read back by zxing-cpp: a reader that shares
// no code with libzint, so a symbol that reads back is one a scanner would read.
#define ZX_USE_UTF8
#include <ZXing/ReadBarcode.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printer/Symbols.h"
#include "printer/VirtualPrinter.h"
#include "testing/RowName.h"

using namespace kelvo::printer;
using namespace std::string_literals;

namespace {

const std::string kGs = "\x1D";

std::string BarcodeB(uint8_t m, const std::string& data) {
    return kGs + "k" + static_cast<char>(m) + static_cast<char>(data.size()) + data;
}

std::string BarcodeA(uint8_t m, const std::string& data) {
    return kGs + "k" + static_cast<char>(m) + data + '\0';
}

// GS ( k pL pH cn fn args
std::string Function(uint8_t cn, uint8_t fn, const std::string& args) {
    const size_t p = 2 + args.size();
    return kGs + "(k" + static_cast<char>(p & 0xFF) + static_cast<char>(p >> 8) +
           static_cast<char>(cn) + static_cast<char>(fn) + args;
}

std::string Qr(const std::string& data) {
    return Function(49, 67, "\x04") + Function(49, 69, "1") + Function(49, 80, "0" + data) +
           Function(49, 81, "0");
}

std::string Pdf417(const std::string& data) {
    return Function(48, 67, "\x02") + Function(48, 69, "00"s + "2") + Function(48, 80, "0" + data) +
           Function(48, 81, "0");
}

std::string Aztec(const std::string& settings, const std::string& data) {
    return settings + Function(53, 80, "0" + data) + Function(53, 81, "0");
}

std::string DataMatrix(const std::string& settings, const std::string& data) {
    return settings + Function(54, 80, "0" + data) + Function(54, 81, "0");
}

std::string MaxiCode(char mode, const std::string& data) {
    return Function(50, 65, std::string(1, mode)) + Function(50, 80, "0" + data) +
           Function(50, 81, "0");
}

std::vector<PaperImage> Images(const VirtualPrinter& p) {
    std::vector<PaperImage> out;
    for (const PaperItem& item : p.Paper()) {
        if (const auto* image = std::get_if<PaperImage>(&item))
            out.push_back(*image);
    }
    return out;
}

std::string LineText(const PaperItem& item) {
    std::string text;
    if (const auto* line = std::get_if<PaperLine>(&item)) {
        for (const TextRun& run : line->runs)
            text += run.utf8;
    }
    return text;
}

// The picture on white paper with a quiet zone around it, as a scanner sees it.
std::string Read(const PaperImage& image) {
    const int margin = 40, width = image.width + 2 * margin, height = image.height + 2 * margin;
    std::vector<uint8_t> grey(static_cast<size_t>(width) * height, 255);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            if (image.dots[static_cast<size_t>(y) * image.width + x])
                grey[static_cast<size_t>(y + margin) * width + x + margin] = 0;
        }
    }
    ZXing::DecodeHints hints;
    hints.setTryHarder(true);
    hints.setReturnCodabarStartEnd(true);  // the printer is sent them as data
    const ZXing::Result result =
        ZXing::ReadBarcode({grey.data(), width, height, ZXing::ImageFormat::Lum}, hints);
    return result.isValid() ? result.text() : "(unread)";
}

struct SymbolRow {
    const char* name;
    std::string bytes;
    std::string decoded;
};

void PrintTo(const SymbolRow& row, std::ostream* out) {
    *out << row.name;
}

class SymbolReadsBack : public ::testing::TestWithParam<SymbolRow> {};

TEST_P(SymbolReadsBack, AsTheDataSent) {
    VirtualPrinter p;
    // Two-dot modules keep every row's symbol inside the paper.
    p.Feed(kGs + "w\x02" + GetParam().bytes + "after\n");
    const std::vector<PaperImage> images = Images(p);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(Read(images[0]), GetParam().decoded);
    EXPECT_FALSE(images[0].symbol.empty() || images[0].symbolData.empty());  // for its job's report
    ASSERT_FALSE(p.Paper().empty());
    EXPECT_EQ(LineText(p.Paper().back()), "after");  // the command took exactly its bytes
}

INSTANTIATE_TEST_SUITE_P(
    Symbols, SymbolReadsBack,
    ::testing::Values(
        SymbolRow{"UpcAWithoutCheckDigit", BarcodeA(0, "01234567890"), "012345678905"},
        SymbolRow{"UpcA", BarcodeB(65, "012345678905"), "012345678905"},
        SymbolRow{"UpcE", BarcodeB(66, "01234565"), "01234565"},
        SymbolRow{"UpcEInItsUpcAForm", BarcodeB(66, "04210000526"), "04252614"},
        SymbolRow{"Ean13WithoutCheckDigit", BarcodeA(2, "400638133393"), "4006381333931"},
        SymbolRow{"Ean13", BarcodeB(67, "4006381333931"), "4006381333931"},
        SymbolRow{"Ean8", BarcodeB(68, "9638507"), "96385074"},
        SymbolRow{"Code39", BarcodeA(4, "KELVO-39"), "KELVO-39"},
        SymbolRow{"Code39WithStartAndStop", BarcodeB(69, "*AB 12*"), "AB 12"},
        SymbolRow{"Itf", BarcodeB(70, "0123456789"), "0123456789"},
        SymbolRow{"Codabar", BarcodeA(6, "A40156B"), "A40156B"},
        SymbolRow{"Code93", BarcodeB(72, "KELVO-93"), "KELVO-93"},
        SymbolRow{"Code128SetB", BarcodeB(73, "{BKelvo 128"), "Kelvo 128"},
        SymbolRow{"Code128SetCPairs", BarcodeB(73, "{BNo.{C\x0C\x22\x38"), "No.123456"},
        SymbolRow{"Code128Brace", BarcodeB(73, "{Ba{{b"), "a{b"},
        SymbolRow{"Code128ShiftIntoA", BarcodeB(73, "{Bx{S\x09y"), "x\ty"},
        SymbolRow{"QrCode", Qr("https://example.com/kelvo?n=42"), "https://example.com/kelvo?n=42"},
        SymbolRow{"Pdf417", Pdf417("Kelvotool PDF417 0123456789"), "Kelvotool PDF417 0123456789"},
        SymbolRow{"Aztec", Aztec("", "Kelvotool Aztec 42"), "Kelvotool Aztec 42"},
        SymbolRow{"AztecCompactThreeLayersHighCorrection",
                  Aztec(Function(53, 50, "\x01\x03"s) + Function(53, 51, "\x05") +
                            Function(53, 53, "\x32"),
                        "AZ-123"),
                  "AZ-123"},
        SymbolRow{"AztecFullRange", Aztec(Function(53, 50, "0\x06"s), "full range"), "full range"},
        SymbolRow{"DataMatrix", DataMatrix("", "Kelvotool DataMatrix 42"),
                  "Kelvotool DataMatrix 42"},
        SymbolRow{"DataMatrixSquare24",
                  DataMatrix(Function(54, 66, "\x00\x18\x00"s) + Function(54, 67, "\x05"), "DM24"),
                  "DM24"},
        SymbolRow{"DataMatrixRectangle",
                  DataMatrix(Function(54, 66, "\x01\x24\x10"s), "rect 36x16"), "rect 36x16"},
        SymbolRow{"MaxiCodeMode4", MaxiCode('4', "Kelvotool MaxiCode 42"),
                  "Kelvotool MaxiCode 42"}),
    kelvo::testing::NamedByName());

struct RefusedRow {
    const char* name;
    std::string bytes;
};

void PrintTo(const RefusedRow& row, std::ostream* out) {
    *out << row.name;
}

class RefusedSymbol : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(RefusedSymbol, PrintsNothingAndTheTextAfterPrints) {
    VirtualPrinter p;
    p.Feed(GetParam().bytes + "after\n");
    EXPECT_TRUE(Images(p).empty());
    ASSERT_EQ(p.Paper().size(), 1u);
    EXPECT_EQ(LineText(p.Paper()[0]), "after");
    EXPECT_EQ(p.HeldBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Symbols, RefusedSymbol,
    ::testing::Values(
        RefusedRow{"LettersInEan13", BarcodeA(2, "40063813339A")},
        RefusedRow{"LettersInEan13SentWithLength", BarcodeB(67, "ABCDEFGHIJKL")},
        RefusedRow{"WrongCheckDigit", BarcodeB(67, "4006381333932")},
        RefusedRow{"OddItf", BarcodeB(70, "12345")},
        RefusedRow{"UpcAFormWithoutAUpcE", BarcodeB(66, "01234567890")},
        RefusedRow{"MaxiCodeMode2WithoutPostalFields", MaxiCode('2', "Kelvo")},
        RefusedRow{"Code128WithoutCodeSet", BarcodeB(73, "Kelvo")},
        RefusedRow{"Code128SetCAbove99", BarcodeB(73, "{C\x64")},
        RefusedRow{"UnknownBarcodeKind", BarcodeB(80, "12345")},
        RefusedRow{"WiderThanThePaper", kGs + "w\x06" + BarcodeB(73, "{B" + std::string(40, 'x'))},
        RefusedRow{"QrWithoutData", Function(49, 81, "0")},
        RefusedRow{"UnknownSymbolFunction", Function(51, 80, "0Kelvo")},
        RefusedRow{"LargeStoreOfAnUnknownSymbol", Function(50, 80, "0" + std::string(60000, 'x'))},
        RefusedRow{"AztecWithoutData", Function(53, 81, "0")},
        RefusedRow{"AztecTooMuchForOneCompactLayer",
                   Aztec(Function(53, 50, "\x01\x01"s), std::string(40, 'Q'))},
        RefusedRow{"DataMatrixTooMuchForTenByTen",
                   DataMatrix(Function(54, 66, "\x00\x0A\x00"s), std::string(30, 'x'))},
        RefusedRow{"DataMatrixNoSuchSize", DataMatrix(Function(54, 66, "\x00\x0B\x00"s), "x")}),
    kelvo::testing::NamedByName());

TEST(Symbols, HriBelowPutsTheDigitsUnderTheSymbol) {
    VirtualPrinter p;
    p.Feed(kGs + "H\x02" + BarcodeA(2, "400638133393"));
    ASSERT_EQ(p.Paper().size(), 2u);
    EXPECT_TRUE(std::holds_alternative<PaperImage>(p.Paper()[0]));
    EXPECT_EQ(LineText(p.Paper()[1]), "4006381333931");
}

TEST(Symbols, HriAboveAndBelowInFontBFollowsTheAlignment) {
    VirtualPrinter p;
    p.Feed(
        "\x1B"
        "a\x01" +
        kGs + "H\x03" + kGs + "f\x01" + BarcodeB(69, "K39"));
    ASSERT_EQ(p.Paper().size(), 3u);
    for (size_t i : {0u, 2u}) {
        const auto& line = std::get<PaperLine>(p.Paper()[i]);
        EXPECT_EQ(LineText(line), "K39");
        EXPECT_TRUE(line.runs.at(0).style.fontB);
        EXPECT_EQ(line.align, Align::Centre);
    }
    EXPECT_EQ(std::get<PaperImage>(p.Paper()[1]).align, Align::Centre);
}

TEST(Symbols, HeightAndModuleWidthSetTheSizeAndEscAtRestoresThem) {
    VirtualPrinter p;
    // EAN-13 is 95 modules wide.
    p.Feed(kGs + "h\x50" + kGs + "w\x04" + BarcodeB(67, "4006381333931") + "\x1B@" +
           BarcodeB(67, "4006381333931"));
    const std::vector<PaperImage> images = Images(p);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].height, 0x50);
    EXPECT_EQ(images[0].width, 95 * 4);
    EXPECT_EQ(images[1].height, 162);
    EXPECT_EQ(images[1].width, 95 * 3);
}

TEST(Symbols, ACommandSentByteByByteDrawsTheSameSymbol) {
    const std::string bytes = BarcodeA(4, "SPLIT") + Qr("split") + "after\n";
    VirtualPrinter whole, pieces;
    whole.Feed(bytes);
    for (char c : bytes)
        pieces.Feed(std::string(1, c));
    EXPECT_EQ(pieces.Paper(), whole.Paper());
    EXPECT_EQ(Images(whole).size(), 2u);
}

TEST(Symbols, TheSameSymbolPrintedAgainSharesItsDotsAndIsNotDrawnAgain) {
    VirtualPrinter p;
    p.Feed(Qr("again") + Function(49, 81, "0") + BarcodeB(67, "4006381333931") +
           BarcodeB(67, "4006381333931"));
    const std::vector<PaperImage> images = Images(p);
    ASSERT_EQ(images.size(), 4u);
    EXPECT_EQ(images[0].dots.Identity(), images[1].dots.Identity());
    EXPECT_EQ(images[2].dots.Identity(), images[3].dots.Identity());
    EXPECT_EQ(p.Count().symbolDots, images[0].dots.size() + images[2].dots.size());
    // Apart from the symbols' dots, the work stays in proportion to the bytes.
    EXPECT_LE(p.Count().work - p.Count().symbolDots, p.Count().bytes * kMaxWorkPerByte);
}

TEST(Symbols, Code128CharactersFollowTheCodeSets) {
    EXPECT_EQ(Code128Characters("{C\x01\x63"), "0199");
    EXPECT_EQ(Code128Characters("{A\x41\x0D"), "A\r");
    EXPECT_EQ(Code128Characters("{1{C\x0C"), "12");  // a leading FNC1 adds no character
    EXPECT_EQ(Code128Characters("{Bab{"), std::nullopt);
    EXPECT_EQ(Code128Characters("{Ba{X"), std::nullopt);
}

// GS ( k function 82: 37 36, width, 1F, height, 1F, 31, 1F, 30 (prints) or 31 (does not), NUL.
std::string SizeAnswer(int width, int height, bool prints) {
    return "\x37\x36" + std::to_string(width) + "\x1F" + std::to_string(height) + "\x1F\x31\x1F" +
           (prints ? "\x30" : "\x31") + std::string(1, '\0');
}

TEST(Symbols, SizeRequestsAnswerTheDotsTheSymbolPrintsWith) {
    struct {
        const char* what;
        uint8_t cn;
        std::string settings;
        std::string data;
    } const cases[] = {
        {"QR module 4", 49, Function(49, 67, "\x04"), "Kelvo"},
        {"QR level H module 7", 49, Function(49, 69, "3") + Function(49, 67, "\x07"),
         "https://example.com/size"},
        {"Aztec module 5", 53, Function(53, 51, "\x05"), "Aztec size"},
        {"DataMatrix rectangle", 54, Function(54, 66, "\x01\x20\x08"s), "dm"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualPrinter p;
        const std::string request = Function(c.cn, 82, "0");
        EXPECT_EQ(p.Feed(request), SizeAnswer(0, 0, false));  // nothing stored yet
        const std::string answer = p.Feed(c.settings + Function(c.cn, 80, "0" + c.data) + request);
        EXPECT_TRUE(p.Paper().empty());  // a request prints nothing
        p.Feed(Function(c.cn, 81, "0"));
        const std::vector<PaperImage> images = Images(p);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(answer, SizeAnswer(images[0].width, images[0].height, true));
        EXPECT_EQ(Read(images[0]), c.data);
    }
}

TEST(Symbols, ASymbolWiderThanTheLoadedPaperIsNotPrintedAndItsSizeRequestSaysSo) {
    const std::string store =
        Function(49, 67, "\x10") + Function(49, 80, "0" + std::string(30, 'w'));
    VirtualPrinter wide, narrow;
    ASSERT_TRUE(narrow.SetPaperWidth(kPaper58Dots));
    wide.Feed(store + Function(49, 81, "0"));
    const std::vector<PaperImage> printed = Images(wide);
    ASSERT_EQ(printed.size(), 1u);
    ASSERT_GT(printed[0].width, kPaper58Dots);
    EXPECT_EQ(narrow.Feed(store + Function(49, 82, "0") + Function(49, 81, "0")),
              SizeAnswer(printed[0].width, printed[0].height, false));
    EXPECT_TRUE(narrow.Paper().empty());
}

}  // namespace
