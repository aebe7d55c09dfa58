// Receipts made by independent ESC/POS encoders (tests/receipts: the files, the script that makes
// them and what each should print), judged as the customer holding the paper would: the text
// lines and their styles, every bar code and 2D code read back by zxing-cpp, the pictures dot for
// dot, and the same paper whatever pieces the bytes arrive in.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "printer/ReceiptCheck.h"
#include "printer/VirtualPrinter.h"
#include "testing/RowName.h"
#include "testing/SymbolReader.h"

using namespace kelvo::printer;
using kelvo::testing::ReadSymbol;

namespace {

struct ExpectedLine {
    std::string text;  // trailing blanks dropped
    Align align;
};

struct StyledText {
    std::string text;  // a piece of one line, every character of it in `style`
    TextStyle style;
};

// The next picture on the paper: a symbol of zxing's format name `kind` that reads as `data`
// (and is `width` dots wide, when that is given), or the test pattern as a "raster" (each dot
// `scale` x `scale`) or in 24-dot "column" bands whose tops stand `pitch` dots apart.
struct Graphic {
    std::string kind;
    std::string data;
    int pitch = 0;
    Align align = Align::Left;
    int scale = 1;
    int width = 0;
};

struct ReceiptRow {
    std::string name;
    std::string encoder;
    std::string covers;
    std::vector<ExpectedLine> lines;
    std::vector<StyledText> styled;
    std::vector<Graphic> graphics;
    int cuts = 0;
    int paper = kPaper80Dots;  // the paper loaded, in dots
};

#include "tests/receipts/receipts.inc"

void PrintTo(const ReceiptRow& row, std::ostream* out) {
    *out << row.name << " (" << row.encoder << ": " << row.covers << ")";
}

std::string Bytes(const ReceiptRow& row) {
    std::ifstream in(std::string(KELVO_RECEIPTS_DIR) + "/" + row.name + ".bin", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Text(const PaperLine& line) {
    std::string text;
    for (const TextRun& run : line.runs)
        text += run.utf8;
    return text;
}

char AlignLetter(Align align) {
    return align == Align::Left ? 'L' : align == Align::Centre ? 'C' : 'R';
}

// The lines with something on them, each as "L|text" (its alignment, then its text without
// trailing blanks): what a reader compares, and readable when a test prints the difference.
// A line's text as its runs stand on the paper: a run placed by a tab or a position command
// starts after blanks of font A's pitch.
std::string LaidOut(const PaperLine& line) {
    std::string text;
    int at = 0;  // dots
    for (const TextRun& run : line.runs) {
        for (; run.x >= 0 && at < run.x; at += CharacterPitch({}, false))
            text += ' ';
        text += run.utf8;
        // Characters, not bytes: a UTF-8 continuation byte starts none.
        for (const char c : run.utf8)
            at +=
                (static_cast<uint8_t>(c) & 0xC0) == 0x80 ? 0 : CharacterPitch(run.style, run.wide);
    }
    return text;
}

std::vector<std::string> ReadLines(const std::vector<PaperItem>& paper) {
    std::vector<std::string> out;
    for (const PaperItem& item : paper) {
        const auto* line = std::get_if<PaperLine>(&item);
        if (line == nullptr)
            continue;
        std::string text = LaidOut(*line);
        text.erase(text.find_last_not_of(' ') + 1);
        if (!text.empty())
            out.push_back(AlignLetter(line->align) + ("|" + text));
    }
    return out;
}

std::vector<std::string> PatternRows(const PaperImage& image, int top, int rows) {
    std::vector<std::string> out;
    for (int y = top; y < top + rows && y < image.height; ++y) {
        std::string row;
        for (int x = 0; x < image.width; ++x)
            row += image.dots[static_cast<size_t>(y) * image.width + x] ? '#' : '.';
        out.push_back(row);
    }
    return out;
}

std::vector<std::string> Scaled(const std::vector<std::string>& rows, int scale) {
    std::vector<std::string> out;
    for (const std::string& row : rows) {
        std::string wide;
        for (char dot : row)
            wide.append(static_cast<size_t>(scale), dot);
        out.insert(out.end(), static_cast<size_t>(scale), wide);
    }
    return out;
}

class EncoderReceipt : public ::testing::TestWithParam<ReceiptRow> {
  protected:
    void SetUp() override {
        bytes_ = Bytes(GetParam());
        ASSERT_FALSE(bytes_.empty()) << "no " << GetParam().name << ".bin";
        ASSERT_TRUE(printer_.SetPaperWidth(GetParam().paper));
        printer_.Feed(bytes_);
    }

    std::string bytes_;
    VirtualPrinter printer_;
};

TEST_P(EncoderReceipt, PrintsItsTextLinesAndNothingOfItsCommands) {
    std::vector<std::string> expected;
    for (const ExpectedLine& line : GetParam().lines)
        expected.push_back(AlignLetter(line.align) + ("|" + line.text));
    EXPECT_EQ(ReadLines(printer_.Paper()), expected);
    EXPECT_EQ(printer_.HeldBytes(), 0u);
    EXPECT_EQ(printer_.Job().refused, 0u);
}

TEST_P(EncoderReceipt, StylesTheTextAsAsked) {
    for (const StyledText& want : GetParam().styled) {
        bool found = false;
        for (const PaperItem& item : printer_.Paper()) {
            const auto* line = std::get_if<PaperLine>(&item);
            const size_t at = line ? Text(*line).find(want.text) : std::string::npos;
            if (at == std::string::npos)
                continue;
            found = true;
            // Every run that holds a byte of the piece is in its style.
            size_t runStart = 0;
            for (const TextRun& run : line->runs) {
                const size_t runEnd = runStart + run.utf8.size();
                if (runEnd > at && runStart < at + want.text.size()) {
                    EXPECT_EQ(run.style, want.style)
                        << "\"" << want.text << "\" in \"" << run.utf8 << "\"";
                }
                runStart = runEnd;
            }
            break;
        }
        EXPECT_TRUE(found) << "\"" << want.text << "\" is not on the paper";
    }
}

TEST_P(EncoderReceipt, SymbolsReadBackAndPicturesMatchThePattern) {
    const std::vector<PaperItem>& paper = printer_.Paper();
    size_t at = 0;
    auto nextImage = [&]() -> const PaperImage* {
        for (; at < paper.size(); ++at) {
            if (const auto* image = std::get_if<PaperImage>(&paper[at])) {
                ++at;
                return image;
            }
        }
        return nullptr;
    };
    for (const Graphic& want : GetParam().graphics) {
        SCOPED_TRACE(want.kind + " " + want.data);
        const PaperImage* image = nextImage();
        ASSERT_NE(image, nullptr) << "the paper ends before it";
        EXPECT_EQ(image->align, want.align);
        if (want.kind == "raster") {
            EXPECT_EQ(PatternRows(*image, 0, image->height), Scaled(kPattern, want.scale));
        } else if (want.kind == "column") {
            // Band after band, each followed by no more paper than the line spacing leaves
            // below it: no line, no extra feed.
            std::vector<std::string> stacked = PatternRows(*image, 0, image->height);
            while (stacked.size() < kPattern.size()) {
                int feed = 0;
                for (; at < paper.size() && std::holds_alternative<PaperFeed>(paper[at]); ++at)
                    feed += std::get<PaperFeed>(paper[at]).dots;
                ASSERT_LT(at, paper.size());
                const auto* band = std::get_if<PaperImage>(&paper[at]);
                ASSERT_NE(band, nullptr) << "something else between the bands";
                ++at;
                EXPECT_EQ(band->height, 24);
                EXPECT_EQ(feed, std::max(0, want.pitch - 24)) << "between the bands";
                const std::vector<std::string> rows = PatternRows(*band, 0, band->height);
                stacked.insert(stacked.end(), rows.begin(), rows.end());
            }
            EXPECT_EQ(stacked, kPattern);
        } else {
            EXPECT_EQ(ReadSymbol(*image), want.kind + ":" + want.data);
            if (want.width > 0) {
                EXPECT_EQ(image->width, want.width);
            }
        }
    }
    EXPECT_EQ(nextImage(), nullptr) << "a picture that was not asked for";
}

TEST_P(EncoderReceipt, CutsAsAsked) {
    int cuts = 0;
    for (const PaperItem& item : printer_.Paper())
        cuts += std::holds_alternative<PaperCut>(item);
    EXPECT_EQ(cuts, GetParam().cuts);
}

// A network or serial line hands the bytes over in pieces of any size: inside a command's
// parameters, a symbol's data, a picture's dots.
TEST_P(EncoderReceipt, PrintsTheSamePaperWhateverPiecesItArrivesIn) {
    for (const size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{61}, size_t{1000}}) {
        VirtualPrinter pieces;
        pieces.SetPaperWidth(GetParam().paper);
        for (size_t i = 0; i < bytes_.size(); i += piece)
            pieces.Feed(std::string_view(bytes_).substr(i, piece));
        EXPECT_EQ(pieces.Paper(), printer_.Paper()) << "in pieces of " << piece;
        EXPECT_EQ(pieces.HeldBytes(), 0u);
    }
}

// check's lint finds what is true of them: a receipt that is never cut (the README names those),
// and @node-escpos/core's ESC 4 (italic), which this family does not know; nothing else.
TEST_P(EncoderReceipt, ChecksWithNoFindingButANeverCutReceiptAndItalic) {
    bool toldNoCut = false;
    for (const Finding& f : CheckReceipt(bytes_, GetParam().paper)) {
        toldNoCut |= f.kind == Finding::Kind::NoCut;
        if (f.kind != Finding::Kind::NoCut) {
            EXPECT_EQ(bytes_.substr(f.offset, 2), "\x1B\x34")
                << FindingName(f.kind) << ": " << f.what;
        }
    }
    EXPECT_EQ(toldNoCut, GetParam().cuts == 0);
}

INSTANTIATE_TEST_SUITE_P(Receipts, EncoderReceipt, ::testing::ValuesIn(kReceipts),
                         kelvo::testing::NamedByName());

}  // namespace
