#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "jobs/Jobs.h"
#include "protocol/IntegerText.h"
#include "testing/ActionBytes.h"
#include "testing/RowName.h"

namespace {

using kelvo::jobs::Job;
using kelvo::jobs::Over;
using kelvo::testing::ActionBytes;

class ActionWire : public ::testing::TestWithParam<ActionBytes> {};

TEST_P(ActionWire, ComposesExactlyTheBytesThePrinterMustReceive) {
    const ActionBytes& action = GetParam();
    const Job job = action.compose();
    EXPECT_EQ(kelvo::jobs::WireBytes(job), action.wire);
    EXPECT_EQ(kelvo::jobs::WireSize(job), action.wire.size());
}

INSTANTIATE_TEST_SUITE_P(Table, ActionWire, ::testing::ValuesIn(kelvo::testing::ActionTable()),
                         kelvo::testing::NamedByName());

TEST(NvUpload, SetsTheMotionUnitsAsTheLibraryDoesThenSendsTheDownloadUntouched) {
    const std::string fsq("\x1C\x71\x01\x01\x00\x01\x00\xFF\x00", 9);
    const Job job = kelvo::jobs::NvUpload(fsq);
    // The bytes POS_SetMotionUnit(180, 180) writes, checked at a port in the library's suite.
    EXPECT_EQ(kelvo::jobs::WireBytes(job), std::string("\x1D\x50\xB4\xB4", 4) + fsq);
}

struct IpCase {
    std::array<int, 4> numbers;
    bool accepted;
};

class NewIp : public ::testing::TestWithParam<IpCase> {};

TEST_P(NewIp, AcceptsOnlyAnAddressAPrinterCanStillBeReachedAt) {
    EXPECT_EQ(kelvo::jobs::NewIpOctets(GetParam().numbers).has_value(), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Octets, NewIp,
    ::testing::Values(IpCase{{1, 0, 0, 0}, true}, IpCase{{223, 255, 255, 255}, true},
                      IpCase{{0, 1, 2, 3}, false}, IpCase{{224, 1, 2, 3}, false},
                      IpCase{{127, 0, 0, 1}, false}, IpCase{{10, 256, 0, 1}, false},
                      IpCase{{10, 0, -1, 1}, false}));

TEST(DottedNumbers, ReadsFourDecimalNumbersAndNothingElse) {
    EXPECT_EQ(kelvo::jobs::DottedNumbers("10.0.300.5"), (std::array<int, 4>{10, 0, 300, 5}));
    for (const char* bad :
         {"10.0.0", "10.0.0.5.6", "10..0.5", "10.0.0.5 ", "a.b.c.d", "", "-1.2.3.4"})
        EXPECT_FALSE(kelvo::jobs::DottedNumbers(bad).has_value()) << bad;
}

TEST(MacOctets, TakesTwelveHexDigitsBareOrInSeparatedPairs) {
    const std::array<uint8_t, 6> mac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    EXPECT_EQ(kelvo::jobs::MacOctets("001A2B3C4D5E"), mac);
    EXPECT_EQ(kelvo::jobs::MacOctets("00:1a:2b:3c:4d:5e"), mac);
    EXPECT_EQ(kelvo::jobs::MacOctets("00-1A-2B-3C-4D-5E"), mac);
    for (const char* bad :
         {"001A2B3C4D5", "001A2B3C4D5E6", "00:1A:2B:3C:4D:5G", "0:01A:2B:3C:4D:5E"})
        EXPECT_FALSE(kelvo::jobs::MacOctets(bad).has_value()) << bad;
}

TEST(RandomMac, IsAFreshUnicastAddressEachTime) {
    std::set<std::string> drawn;
    for (int i = 0; i < 20; ++i) {
        const std::string mac = kelvo::jobs::RandomMac();
        ASSERT_EQ(mac.size(), 12u);
        EXPECT_EQ(mac.substr(0, 2), "00");
        EXPECT_TRUE(kelvo::jobs::MacOctets(mac).has_value()) << mac;
        drawn.insert(mac);
    }
    EXPECT_GT(drawn.size(), 18u);  // 40 random bits: a repeat among 20 is all but impossible
}

TEST(Wireless, NumbersEachPageAndCutsOnlyWhenAsked) {
    const std::string page =
        kelvo::jobs::WirelessTestPage("17", 2147483647, "x", false).front().bytes;
    EXPECT_EQ(page.substr(0, 11), "+++++DYSJ17");
    EXPECT_NE(page.find("2147483647"), std::string::npos);
    EXPECT_EQ(kelvo::jobs::WirelessTestPage("17", 0, "x", false).size(), 2u);
    EXPECT_EQ(kelvo::jobs::WirelessTestPage("17", 0, "x", true).back().bytes,
              std::string("\x1D\x56\x42\x05", 4));
    EXPECT_EQ(kelvo::jobs::NextPrintCount(2147483647), -2147483647 - 1);
    EXPECT_EQ(kelvo::jobs::NextPrintCount(-1), 0);
}

TEST(Memo, EndsLinesInCrLfAndKeepsZeroBytesAndGbk) {
    EXPECT_EQ(kelvo::jobs::MemoBytes(std::string("a\n\0b\n", 5)), std::string("a\r\n\0b\r\n", 7));
    EXPECT_EQ(kelvo::jobs::MemoBytes("第一行"), "\xb5\xda\xd2\xbb\xd0\xd0");
}

TEST(Params, ListsAndReservedValuesReadAsThePageReadsThem) {
    EXPECT_EQ(kelvo::jobs::CodeOf(kelvo::jobs::Charsets(), "(Germany)"), 0x02);
    EXPECT_EQ(kelvo::jobs::CodeOf(kelvo::jobs::CodePages(), "(PC858)"), 0x13);
    // Around the gaps in the codes.
    EXPECT_EQ(kelvo::jobs::CodeOf(kelvo::jobs::Charsets(), "(U.K.)"), 0x03);
    EXPECT_EQ(kelvo::jobs::CodeOf(kelvo::jobs::CodePages(), "(Iran)"), 0x0A);
    EXPECT_EQ(kelvo::jobs::CodeOf(kelvo::jobs::CodePages(), "(WPC1252)"), 0x10);
    EXPECT_EQ(kelvo::jobs::Charsets().size(), 15u);
    EXPECT_EQ(kelvo::jobs::CodePages().size(), 15u);
    EXPECT_FALSE(kelvo::jobs::CodeOf(kelvo::jobs::BaudRates(), "57600").has_value());
    EXPECT_EQ(kelvo::jobs::ReservedCommand({"$1F", "-1", "256", "0x10", " 7"}),
              std::string("\x1F\xFF\x00\x10\x07", 5));
    EXPECT_THROW(kelvo::jobs::ReservedCommand({"31", "27", "x", "254", "01"}),
                 kelvo::EConvertError);
}

}  // namespace
