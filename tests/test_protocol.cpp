#include <gtest/gtest.h>

#include <string>

#include "protocol/Commands.h"
#include "protocol/GbkText.h"
#include "protocol/IPAddressText.h"
#include "protocol/IntegerText.h"
#include "protocol/Persona.h"

using namespace kelvo;

namespace {
// Bytes written as they are in a command table: Hex("1B 70 00").
std::string Hex(const std::string& spaced) {
    std::string out;
    for (size_t i = 0; i < spaced.size(); i += 3) {
        out += static_cast<char>(std::stoi(spaced.substr(i, 2), nullptr, 16));
    }
    return out;
}
}  // namespace

TEST(Commands, StandardCommandsKeepTheirZeroBytes) {
    EXPECT_EQ(DrawerPulse(), Hex("1B 70 00 28 28"));
    EXPECT_EQ(CharSizeDouble(), Hex("1D 21 11"));
    EXPECT_EQ(CharSizeNormal(), Hex("1D 21 00"));
    EXPECT_EQ(FeedAndPartialCut(), Hex("1D 56 42 05"));
    EXPECT_EQ(SelectIntlCharsetFrance(), Hex("1B 52 01"));
    EXPECT_EQ(NvLogoPrintCommand(), Hex("1B 40 1B 61 01 1D 54 1C 70 01 30 1B 40"));
    EXPECT_EQ(NvLogoPrintCommand(),
              Initialize() + AlignCentre() + Hex("1D 54") + PrintNvImage1() + Initialize());
}

TEST(Commands, ConfigurationFrames) {
    EXPECT_EQ(SetSerialBaud(*BaudCode(115200)), Hex("1F 1B 1F 53 44"));
    EXPECT_EQ(*BaudCode(38400), 'E');
    EXPECT_EQ(*BaudCode(19200), 'F');
    EXPECT_EQ(*BaudCode(9600), 'G');
    EXPECT_FALSE(BaudCode(57600).has_value());
    EXPECT_EQ(SetDefaultIntlCharset(0x0E), Hex("1F 1B 1F FD 0E"));
    EXPECT_EQ(SetDefaultCodePage(0x11), Hex("1F 1B 1F FF 11"));
    EXPECT_EQ(SetDefaultCodePage(0), Hex("1F 1B 1F FF 00"));
    EXPECT_EQ(SetDefaultChineseMode(1), Hex("1F 1B 1F FE 01"));
    EXPECT_EQ(RestoreFactorySettings(), Hex("1F 02 40 4E"));
    EXPECT_EQ(SetNetworkIp(192, 168, 1, 123), Hex("1F 02 57 49 C0 A8 01 7B"));
    EXPECT_EQ(SetNetworkMac(0x00, 0x0A, 0x0B, 0x0C, 0xFF, 0x00),
              Hex("1F 02 57 43 00 0A 0B 0C FF 00"));
    EXPECT_EQ(WirelessDataHeader(), Hex("2B 2B 2B 2B 2B 44 59 53 4A"));
}

TEST(Commands, FunctionSwitchByte) {
    EXPECT_EQ(SetFunctionSwitches(false, false, false), Hex("1F 1B 1F 50 40"));
    EXPECT_EQ(SetFunctionSwitches(false, false, true), Hex("1F 1B 1F 50 42"));
    EXPECT_EQ(SetFunctionSwitches(true, true, true), Hex("1F 1B 1F 50 4E"));
    EXPECT_EQ(FunctionSwitchByte(true, false, false), 0x48);
    EXPECT_EQ(FunctionSwitchByte(false, true, false), 0x44);
}

TEST(GbkText, ChineseAsciiAndZeroBytes) {
    EXPECT_EQ(ToGbk("测试"), Hex("B2 E2 CA D4"));
    EXPECT_EQ(ToGbk("QM419"), "QM419");
    EXPECT_EQ(ToGbk(std::string("a\0测", 5)), std::string("a\0\xB2\xE2", 4));
    EXPECT_EQ(ToGbk(""), "");
}

TEST(GbkText, WhatGbkCannotHoldBecomesOneQuestionMarkEach) {
    // An emoji and a Thai letter lie outside GBK; the text around them survives.
    EXPECT_EQ(ToGbk("测😀试"), Hex("B2 E2") + "?" + Hex("CA D4"));
    EXPECT_EQ(ToGbk("\xE0\xB8\x81\xE0\xB8\x81z"), "??z");
    // Bytes that are not UTF-8 (a stray continuation byte, a cut-off sequence at the end).
    EXPECT_EQ(ToGbk("a\x80"
                    "b"),
              "a?b");
    EXPECT_EQ(ToGbk("x\xE6\xB5"), "x??");
    // A long text crosses the converter's buffer without losing anything.
    std::string many;
    for (int i = 0; i < 3000; ++i)
        many += "测";
    many += "😀";
    const std::string gbk = ToGbk(many);
    ASSERT_EQ(gbk.size(), 6001u);
    EXPECT_EQ(gbk.substr(5998), Hex("B2 E2") + "?");
}

TEST(IntegerText, AcceptedForms) {
    EXPECT_EQ(StrToInt("256"), 256);
    EXPECT_EQ(StrToInt("-1"), -1);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("$FE"), 254);
    EXPECT_EQ(StrToInt("0xfe"), 254);
    EXPECT_EQ(StrToInt("0XFE"), 254);
    EXPECT_EQ(StrToInt("xFe"), 254);
    EXPECT_EQ(StrToInt("X10"), 16);
    EXPECT_EQ(StrToInt("-$10"), -16);
    EXPECT_EQ(StrToInt(" 31"), 31);
    EXPECT_EQ(StrToInt("   -0031"), -31);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
    // Hexadecimal is a 32-bit pattern.
    EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
    EXPECT_EQ(StrToInt("$80000000"), INT32_MIN);
}

TEST(IntegerText, RejectedWithTheTextAsGiven) {
    for (const std::string text :
         {"31 ", "", " ", "1F", "+", "-", "$", "0x", "+-1", "- 1", "1.5", "2147483648",
          "-2147483649", "$100000000", "99999999999999999999", "\t5", "0x-1", "３"}) {
        try {
            StrToInt(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_STREQ(e.what(), ("'" + text + "' is not a valid integer value").c_str());
        }
    }
}

TEST(IPAddressText, ParsesTokensAsTheControlWritesThem) {
    using kelvo::IPOctets;
    using kelvo::ParseIPString;
    EXPECT_EQ(ParseIPString("192.168.1.109"), (IPOctets{192, 168, 1, 109}));
    EXPECT_EQ(ParseIPString("..."), (IPOctets{255, 255, 255, 255}));
    EXPECT_EQ(ParseIPString("1.2.3."), (IPOctets{1, 2, 3, 255}));
    EXPECT_EQ(ParseIPString("001.256.-1. 4"), (IPOctets{1, 255, 255, 255}));
    EXPECT_EQ(ParseIPString("1.2.3.99999999999999999999"), (IPOctets{1, 2, 3, 255}));
    EXPECT_EQ(ParseIPString("1.2.3.4 trailing"), (IPOctets{1, 2, 3, 255}));
    EXPECT_EQ(ParseIPString("1.2.3.4.junk.more"), (IPOctets{1, 2, 3, 4}));
    EXPECT_EQ(ParseIPString(""), std::nullopt);
    EXPECT_EQ(ParseIPString("1.2"), std::nullopt);
    EXPECT_EQ(ParseIPString(std::string_view("1\0.2.3.4", 8)), (IPOctets{255, 2, 3, 4}));
    EXPECT_EQ(kelvo::FormatIPString({0, 10, 100, 255}), "0.10.100.255");
}

// A capture's requests and answers, in pieces: each request gets what came back for it in order,
// a text to its NUL and automatic status its four bytes; the first answer stays, and what nobody
// asked for is left out.
TEST(Persona, PairsEachRequestWithWhatThePrinterSentBackForIt) {
    const std::vector<CapturedBytes> captured = {
        {1, {}, true, Hex("1B 40 10 04 01 1D 49 01 1D 49")},
        {1, {}, true, Hex("43 1D 72 01 1D 61 FF")},
        {1, {}, false, Hex("1E 33 5F 54 39")},
        {1, {}, false, Hex("00 0F 10 00 00 0F 12")},
        {2, {}, true, Hex("10 04 01")},
        {2, {}, false, Hex("12")},
    };
    const decltype(Persona::answers) expected = {
        {Hex("10 04 01"), Hex("1E")},          {Hex("1D 49 01"), Hex("33")},
        {Hex("1D 49 43"), Hex("5F 54 39 00")}, {Hex("1D 72 01"), Hex("0F")},
        {Hex("1D 61 FF"), Hex("10 00 00 0F")},
    };
    EXPECT_EQ(PersonaOf(captured).answers, expected);
}
