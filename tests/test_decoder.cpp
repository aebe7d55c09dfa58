#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/Commands.h"
#include "protocol/Decoder.h"
#include "protocol/GbkText.h"
#include "protocol/PrinterStatus.h"
#include "testing/RowName.h"

using namespace kelvo;
using namespace std::string_literals;

namespace {

const std::string CR = "CR  print and carriage return";
const std::string LF = "LF  print and line feed";

std::string Text(const std::string& utf8) {
    return "text  \"" + utf8 + "\"";
}

// Decodes in one go and checks the entries cover the input exactly, in order.
std::vector<std::string> Lines(const std::string& bytes, DecoderState state = {}) {
    std::vector<std::string> lines;
    size_t end = 0;
    for (const DecodedCommand& c : DecodeCommands(bytes, state)) {
        EXPECT_EQ(c.offset, end);
        EXPECT_GT(c.length, 0u);
        end = c.offset + c.length;
        lines.push_back(FormatCommand(c));
    }
    EXPECT_EQ(end, bytes.size());
    return lines;
}

// The same, fed to a CommandStream `piece` bytes at a time.
std::vector<std::string> StreamedLines(std::string_view bytes, size_t piece) {
    CommandStream stream;
    std::vector<std::string> lines;
    size_t end = 0;
    auto take = [&](const std::vector<DecodedCommand>& settled) {
        for (const DecodedCommand& c : settled) {
            EXPECT_EQ(c.offset, end);
            end = c.offset + c.length;
            lines.push_back(FormatCommand(c));
        }
    };
    for (size_t at = 0; at < bytes.size(); at += piece)
        take(stream.Feed(bytes.substr(at, piece)));
    take(stream.End());
    return lines;
}

// FS q with images of x by y bytes, every data byte 0xAA.
std::string FsQ(std::vector<std::pair<int, int>> sizes) {
    std::string s = "\x1C\x71"s + static_cast<char>(sizes.size());
    for (auto [x, y] : sizes) {
        s += {static_cast<char>(x), 0, static_cast<char>(y), 0};
        s += std::string(static_cast<size_t>(x * y * 8), '\xAA');
    }
    return s;
}

struct Case {
    const char* what;
    std::string bytes;
    std::vector<std::string> lines;
};

// A failing row names itself by its description.
inline void PrintTo(const Case& row, std::ostream* os) {
    *os << row.what;
}

}  // namespace

// Every byte image the tool sends reads back as its commands.
class ReadsBack : public ::testing::TestWithParam<Case> {};

TEST_P(ReadsBack, AsItsCommands) {
    EXPECT_EQ(Lines(GetParam().bytes), GetParam().lines);
    for (size_t piece = 1; piece <= GetParam().bytes.size(); ++piece)
        EXPECT_EQ(StreamedLines(GetParam().bytes, piece), GetParam().lines)
            << "pieces of " << piece;
}

namespace {
const std::string size11 = "GS ! 11  character size: width x2, height x2";
const std::string size00 = "GS ! 00  character size: width x1, height x1";
const std::string cut = "GS V 42 05  feed 5, partial cut";
const std::string pulse = "ESC p 00 28 28  drawer pulse: pin 2, on 80 ms, off 80 ms";
}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Decoder, ReadsBack,
    ::testing::ValuesIn(std::vector<Case>{
        {"network test page (lines sent with CR LF)",
         CharSizeDouble() + ToGbk(" QM417网口测试打印开始") + "\r\r\n" + CharSizeNormal() +
             "Print test\r\n\r\nPrint the test 2\r\n" + FeedAndPartialCut() + "\r\n",
         {size11, Text(" QM417网口测试打印开始"), CR, CR, LF, size00, Text("Print test"), CR, LF,
          CR, LF, Text("Print the test 2"), CR, LF, cut, CR, LF}},
        {"drawer pulse", DrawerPulse() + "\r\n", {pulse, CR, LF}},
        {"NV logo print",
         NvLogoPrintCommand(),
         {"ESC @  initialize", "ESC a 01  justification centre",
          "GS T  no argument on this printer", "FS p 01 30  print NV image 1, normal",
          "ESC @  initialize"}},
        {"stored settings",
         SetSerialBaud(*BaudCode(115200)) + SetSerialBaud(*BaudCode(9600)) +
             SetDefaultIntlCharset(1) + SetDefaultCodePage(16) + SetDefaultChineseMode(1) +
             SetDefaultChineseMode(0) + SetFunctionSwitches(true, false, true) +
             RestoreFactorySettings() + SelectIntlCharsetFrance(),
         {"1F 1B 1F 53 44  store serial baud rate 115200",
          "1F 1B 1F 53 47  store serial baud rate 9600",
          "1F 1B 1F FD 01  store power-on international character set France",
          "1F 1B 1F FF 10  store power-on code page 16 (WPC1252)",
          "1F 1B 1F FE 01  store Chinese mode at power-on: off",
          "1F 1B 1F FE 00  store Chinese mode at power-on: on",
          "1F 1B 1F 50 4A  store switches: CR on, external buzzer off, built-in buzzer on",
          "1F 02 40 4E  restore factory settings", "ESC R 01  international character set France"}},
        {"network address",
         SetNetworkIp(192, 168, 1, 123) + SetNetworkMac(0x00, 0x0A, 0x0B, 0x0C, 0xFF, 0x00),
         {"1F 02 57 49 C0 A8 01 7B  store IP address 192.168.1.123",
          "1F 02 57 43 00 0A 0B 0C FF 00  store MAC address 00:0A:0B:0C:FF:00"}},
        {"wireless page and drawer",
         WirelessDataHeader() + "002" + CharSizeDouble() + ToGbk("本次打印第0张数据") + "\r" + "x" +
             WirelessDataHeader() + DrawerPulse(),
         {"+++++DYSJ  wireless frame for printer 002", size11, Text("本次打印第0张数据"), CR,
          Text("x"), "+++++DYSJ  wireless frame without a printer number", pulse}},
        {"FS q with two images",
         FsQ({{2, 1}, {72, 36}}),
         {"FS q 02  store 2 NV images; image 1 of 2: 16 x 8 dots; image 2 of 2: 576 x 288 dots"}},
        {"other images and a QR code",
         "\x1D\x76\x30\x00\x02\x00\x03\x00"s + std::string(6, '\xFF') + "\x1B\x2A\x21\x02\x00"s +
             std::string(6, '\0') + "\x1D\x28\x6B\x03\x00\x31\x45\x31"s +
             "\x1D\x28\x6B\x08\x00\x31\x50\x30https"s + "\x1D\x28\x6B\x03\x00\x31\x51\x30"s,
         {"GS v 0 00 02 00 03 00  raster image 16 x 3 dots, normal",
          "ESC * 21 02 00  bit image 2 x 24 dots, double density",
          "GS ( k 03 00 31 45 31  QR code: error correction level M",
          "GS ( k 08 00 31 50 30 68 74 74 …  QR code: store data \"https\"",
          "GS ( k 03 00 31 51 30  QR code: print"}},
        {"bar codes and their settings, their bytes not read as text",
         "\x1D\x68\x50\x1D\x77\x02\x1D\x48\x02\x1D\x66\x01"s +
             "\x1D\x6B\x02"
             "400638133393\0"s +
             "\x1D\x6B\x43\x03"
             "123"s +
             "\x1D\x6B\x04"
             "AB\n"s,
         {"GS h 50  barcode height 80 dots", "GS w 02  barcode module width 2 dots",
          "GS H 02  barcode text below", "GS f 01  barcode text font B",
          "GS k 02  barcode 2 \"400638133393\"", "GS k 43 03  barcode 67 \"123\"",
          "GS k 04  barcode 4 \"AB\", not ended", LF}},
        {"text through the code page of ESC t, then GBK again",
         "\x1C\x2E\x1B\x74\x10"
         "caf\xE9\x1B\x74\x00\x9A\x1B\x74\x01\xE9\x09\x1C\x26"s +
             ToGbk("测"),
         {"FS .  Chinese mode off", "ESC t 10  code page 16 (WPC1252)", Text("café"),
          "ESC t 00  code page 0 (PC437)", Text("Ü"), "ESC t 01  code page 1", Text("\\xE9"),
          "HT  horizontal tab", "FS &  Chinese mode on", Text("测")}},
        {"the stored Chinese mode and code page take effect at once, as on the printer",
         SetDefaultChineseMode(1) + SetDefaultCodePage(16) + "caf\xE9"s,
         {"1F 1B 1F FE 01  store Chinese mode at power-on: off",
          "1F 1B 1F FF 10  store power-on code page 16 (WPC1252)", Text("café")}},
        {"reverse, upside-down and what the printer is asked of itself",
         "\x1D\x42\x01\x1B\x7B\x31\x1D\x49\x42\x1D\x49\x31\x1D\x49\x46\x1D\x72\x32"
         "\x10\x05\x02"s,
         {"GS B 01  white/black reverse on", "ESC { 31  upside-down on",
          "GS I 42  transmit maker name", "GS I 31  transmit model ID",
          "GS I 46  transmit printer information 70", "GS r 32  transmit drawer status",
          "DLE ENQ 02  real-time request: recover, clearing the buffers"}},
        {"layout: tabs, positions, margins, spacing, rotation, character sets",
         "\x1B\x44\x08\x10\x00\x1B\x44\x00\x1B\x44\x04\x02\x1B\x20\x05\x1B\x24\x40\x01\x1B\x5C\xF0"
         "\xFF"
         "\x1D\x4C\x20\x00\x1D\x57\x00\x02\x1B\x56\x31\x1B\x52\x02\x1C\x21\x8C\x1C\x2D\x01"s,
         {"ESC D 08 10 00  tab stops at 2 columns", "ESC D 00  clear tab stops",
          "ESC D 04  tab stops at 1 columns", "unknown  02",
          "ESC SP 05  right-side character spacing 5 dots",
          "ESC $ 40 01  absolute print position 320 dots",
          "ESC \\ F0 FF  relative print position -16 dots", "GS L 20 00  left margin 32 dots",
          "GS W 00 02  print area width 512 dots", "ESC V 31  90-degree clockwise rotation on",
          "ESC R 02  international character set Germany",
          "FS ! 8C  Chinese character mode: double width, double height, underline",
          "FS - 01  Chinese character underline 1 dot"}},
        {"graphics in the print buffer and in NV memory",
         "\x1D\x28\x4C\x0C\x00\x30\x70\x30\x01\x02\x31\x08\x00\x02\x00\xFF\x81"s +
             "\x1D\x28\x4C\x02\x00\x30\x32"s +
             "\x1D\x38\x4C\x0C\x00\x00\x00\x30\x43\x30\x41\x31\x01\x08\x00\x01\x00\x31\xAA"s +
             "\x1D\x28\x4C\x06\x00\x30\x45\x41\x31\x01\x01"s +
             "\x1D\x28\x4C\x04\x00\x30\x40\x4B\x43"s + "\x1D\x28\x4C\x05\x00\x30\x41"s + "CLR" +
             "\x1D\x28\x4C\x04\x00\x30\x42\x41\x31"s + "\x1D\x28\x4C\x02\x00\x30\x30"s,
         {"GS ( L 0C 00 30 70 30 01 02 31 …  graphics: store picture 8 x 2 dots in the print "
          "buffer",
          "GS ( L 02 00 30 32  graphics: print the buffered picture",
          "GS 8 L 0C 00 00 00 30 43 30 41 …  graphics: define NV picture \"A1\", 8 x 1 dots",
          "GS ( L 06 00 30 45 41 31 01 01  graphics: print NV picture \"A1\"",
          "GS ( L 04 00 30 40 4B 43  graphics: transmit NV key codes",
          "GS ( L 05 00 30 41 43 4C 52  graphics: erase all NV pictures",
          "GS ( L 04 00 30 42 41 31  graphics: erase NV picture \"A1\"",
          "GS ( L 02 00 30 30  graphics: transmit NV capacity"}},
        {"a key of control bytes is shown escaped",
         "\x1D\x28\x4C\x06\x00\x30\x45\x0A\x0D\x01\x01"s,
         {"GS ( L 06 00 30 45 0A 0D 01 01  graphics: print NV picture \"\\x0A\\x0D\""}},
        {"QR size, Aztec and DataMatrix",
         "\x1D\x28\x6B\x03\x00\x31\x52\x30"s + "\x1D\x28\x6B\x04\x00\x35\x32\x00\x05"s +
             "\x1D\x28\x6B\x03\x00\x35\x35\x17"s + "\x1D\x28\x6B\x06\x00\x35\x50\x30"s + "AZ!" +
             "\x1D\x28\x6B\x05\x00\x36\x42\x00\x00\x00"s + "\x1D\x28\x6B\x03\x00\x36\x43\x04"s +
             "\x1D\x28\x6B\x03\x00\x36\x51\x30"s + "\x1D\x28\x6B\x03\x00\x36\x52\x30"s,
         {"GS ( k 03 00 31 52 30  QR code: transmit size",
          "GS ( k 04 00 35 32 00 05  Aztec: mode and data layers",
          "GS ( k 03 00 35 35 17  Aztec: error correction 23%",
          "GS ( k 06 00 35 50 30 41 5A 21  Aztec: store data \"AZ!\"",
          "GS ( k 05 00 36 42 00 00 00  DataMatrix: symbol type and size",
          "GS ( k 03 00 36 43 04  DataMatrix: module size 4",
          "GS ( k 03 00 36 51 30  DataMatrix: print",
          "GS ( k 03 00 36 52 30  DataMatrix: transmit size"}},
        {"Kanji font and code system take their parameters; code page 1's graphics and katakana",
         "\x1C\x28\x41\x02\x00\x30\x01\x1C\x43\x31\x1C\x2E\x1B\x74\x01\x9C\x95\x91\x9D\x96\xB6\xC0"
         "\x96\x8F\x87"s,
         {"FS ( A 02 00 30 01  Kanji font B", "FS C 31  Kanji code system Shift JIS",
          "FS .  Chinese mode off", "ESC t 01  code page 1", Text("╭─┬╮│ｶﾀ│┼█")}},
        {"unknown bytes",
         "\x1B\x7E\x01\x00 A\x1B\x1B\x40\xFF\x81"s,
         {"unknown  1B 7E 01 00", Text(" A"), "unknown  1B", "ESC @  initialize",
          Text("\\xFF\\x81")}},
        {"unknown bytes that an unknown command joins", "\x01\x1B\x7E"s, {"unknown  01 1B 7E"}},
        {"long pictures, a line longer than one entry, a picture cut short",
         "\x1D\x76\x30\x00\x02\x00\x20\x00"s + std::string(64, '\x10') +
             "\x1D\x38\x4C\x33\x00\x00\x00\x30\x43\x30\x41\x31\x01\x08\x00\x28\x00\x31"s +
             std::string(40, '\x1B') + std::string(4095, 'x') + ToGbk("啊") + "y" +
             "\x1D\x76\x30\x00\x02\x00\x20\x00"s + std::string(40, '\0'),
         {"GS v 0 00 02 00 20 00  raster image 16 x 32 dots, normal",
          "GS 8 L 33 00 00 00 30 43 30 41 …  graphics: define NV picture \"A1\", 8 x 40 dots",
          Text(std::string(4095, 'x') + "啊"), Text("y"),
          "GS v 0 00 02 00 20 00  truncated: 48 of 72 bytes"}}}),
    kelvo::testing::NamedByWhat());

TEST(Decoder, ACommandCutAnywhereIsOneTruncatedEntryThatReadsNothingPastTheEnd) {
    const std::string fsq = FsQ({{1, 1}});
    for (const std::string& command :
         {fsq, "\x1D\x76\x30\x00\x01\x00\x02\x00\x01\x02"s, FeedAndPartialCut(), DrawerPulse(),
          SetNetworkMac(1, 2, 3, 4, 5, 6), SetSerialBaud('D'), "\x1D\x28\x6B\x03\x00\x31\x43\x05"s,
          "\x1B\x2A\x00\x02\x00\x01\x02"s, "\x1B\x44\x08\x10\x00"s, "\x1B\x24\x40\x01"s,
          "\x1D\x57\x00\x02"s, "\x1C\x21\x04"s,
          "\x1D\x38\x4C\x0C\x00\x00\x00\x30\x43\x30\x41\x31\x01\x08\x00\x01\x00\x31\xAA"s,
          "\x1D\x28\x4C\x06\x00\x30\x45\x41\x31\x01\x01"s, "\x1C\x28\x41\x02\x00\x30\x01"s,
          "\x1C\x43\x01"s}) {
        for (size_t cut = 1; cut < command.size(); ++cut) {
            // A copy of exactly the cut length, so that AddressSanitizer sees any read past it.
            const std::vector<char> heap(command.begin(), command.begin() + cut);
            DecoderState state;
            const auto out = DecodeCommands({heap.data(), heap.size()}, state);
            ASSERT_EQ(out.size(), 1u) << HexBytes(command) << " cut at " << cut;
            EXPECT_EQ(out[0].kind, DecodedCommand::Kind::Command);
            EXPECT_EQ(out[0].length, cut);
            EXPECT_EQ(out[0].detail.rfind("truncated: " + std::to_string(cut) + " of ", 0), 0u)
                << out[0].detail;
        }
    }
    EXPECT_EQ(Lines(fsq.substr(0, 9)),
              std::vector<std::string>{"FS q 01  truncated: 9 of 15 bytes"});
}

TEST(Decoder, HugeDeclaredLengthsAreReportedNotTrusted) {
    EXPECT_EQ(Lines("\x1C\x71\x01\xFF\x03\x20\x01\xAA\xAA"s),
              std::vector<std::string>{"FS q 01  truncated: 9 of " +
                                       std::to_string(7 + 1023 * 288 * 8) + " bytes"});
    EXPECT_EQ(
        Lines("\x1C\x71\xFF\x01\x00\x01\x00"s + std::string(8, '\0') + "\xFF\xFF\xFF\xFF\x1B\x40"),
        (std::vector<std::string>{
            "FS q FF  store 255 NV images; image 1 of 255: 8 x 8 dots; image 2 of 255: "
            "524280 x 524280 dots, refused: more than 8388608 bytes of NV images",
            "ESC @  initialize"}));
    EXPECT_EQ(Lines("\x1D\x76\x30\x00\xFF\xFF\xFF\xFF\x00"s),
              std::vector<std::string>{"GS v 0 00 FF FF FF FF  truncated: 9 of " +
                                       std::to_string(8 + 65535ull * 65535) + " bytes"});
    EXPECT_EQ(Lines("\x1D\x38\x4C\xFF\xFF\xFF\xFF\x30\x70"s),
              std::vector<std::string>{"GS 8 L FF FF FF FF 30 70  truncated: 9 of " +
                                       std::to_string(7 + 0xFFFFFFFFull) + " bytes"});
    EXPECT_EQ(Lines("\x1D\x28\x6B\xFF\xFF\x31"s),
              std::vector<std::string>{"GS ( k FF FF 31  truncated: 6 of 65540 bytes"});
}

TEST(Decoder, MaxCommandsStopsTheOutputAndStateCarriesAcrossCalls) {
    DecoderState state;
    const std::string nv = NvLogoPrintCommand();
    const auto two = DecodeCommands(nv, state, 2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[1].offset + two[1].length, 5u);
    EXPECT_TRUE(DecodeCommands(nv, state, 0).empty());

    DecodeCommands("\x1C\x2E\x1B\x74\x11"s, state);
    EXPECT_FALSE(state.chinese);
    EXPECT_EQ(state.codePage, 17);
    EXPECT_EQ(DecodeCommands("\xA0", state).at(0).detail, "а");  // PC866: Cyrillic a
    EXPECT_EQ(HexBytes("\x1D\x21\x11", 2), "1D 21 …");
}

// What each command does to the text state: the rule the printer model prints by too.
struct StateRow {
    const char* what;
    std::string command;
    DecoderState before;
    bool applies;
    DecoderState after;
};

class TextState : public ::testing::TestWithParam<StateRow> {};

TEST_P(TextState, FollowsTheCommand) {
    const StateRow& row = GetParam();
    const DecoderState powerOn{false, 17};
    DecoderState state = row.before;
    EXPECT_EQ(ApplyToState(row.command, state, powerOn), row.applies);
    EXPECT_EQ(state.chinese, row.after.chinese);
    EXPECT_EQ(state.codePage, row.after.codePage);
}

INSTANTIATE_TEST_SUITE_P(
    Decoder, TextState,
    ::testing::ValuesIn(std::vector<StateRow>{
        {"ESC t picks the code page", "\x1B\x74\x10"s, {true, 5}, true, {true, 16}},
        {"FS dot turns Chinese mode off", "\x1C\x2E"s, {true, 5}, true, {false, 5}},
        {"FS ampersand turns it on", "\x1C\x26"s, {false, 5}, true, {true, 5}},
        {"the stored code page at once", SetDefaultCodePage(16), {true, 5}, true, {true, 16}},
        {"the stored Chinese mode at once", SetDefaultChineseMode(1), {true, 5}, true, {false, 5}},
        {"a reserved Chinese mode changes nothing",
         "\x1F\x1B\x1F\xFE\x02"s,
         {true, 5},
         true,
         {true, 5}},
        {"ESC at returns to the power-on state", Initialize(), {true, 5}, true, {false, 17}},
        {"the factory settings return to the defaults",
         RestoreFactorySettings(),
         {false, 5},
         true,
         {true, 0}},
        {"other commands leave it", CharSizeDouble(), {false, 5}, false, {false, 5}},
        {"a cut off ESC t leaves it", "\x1B\x74"s, {false, 5}, false, {false, 5}}}),
    kelvo::testing::NamedByWhat());

TEST(PrinterStatus, AnswersToTheFourRequests) {
    EXPECT_TRUE(IsStatusByte(0x12));
    EXPECT_FALSE(IsStatusByte(0x13));
    const PrinterStatus idle{true,  false, false, false, false, false,
                             false, false, false, false, false};
    auto with = [&](auto field, bool value) {
        PrinterStatus s = idle;
        s.*field = value;
        return s;
    };
    struct {
        std::array<std::optional<uint8_t>, 4> answers;
        PrinterStatus expected;
    } const cases[] = {
        {{0x12, 0x12, 0x12, 0x12}, idle},
        {{0x1A, 0x12, 0x12, 0x12}, with(&PrinterStatus::online, false)},
        {{0x16, 0x12, 0x12, 0x12}, with(&PrinterStatus::drawerPinHigh, true)},
        {{0x12, 0x16, 0x12, 0x12}, with(&PrinterStatus::coverOpen, true)},
        {{0x12, 0x32, 0x12, 0x12}, with(&PrinterStatus::paperStop, true)},
        {{0x12, 0x12, 0x1A, 0x12}, with(&PrinterStatus::cutterError, true)},
        {{0x12, 0x12, 0x12, 0x72}, with(&PrinterStatus::paperOut, true)},
        {{0x12, 0x12, 0x12, 0x16}, with(&PrinterStatus::paperNearEnd, true)},
        // Not status bytes (fixed bits wrong) and no answer: nothing is claimed.
        {{0x00, 0x93, std::nullopt, 0xFF}, PrinterStatus{}},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_TRUE(InterpretStatus(cases[i].answers) == cases[i].expected) << "case " << i;
}
