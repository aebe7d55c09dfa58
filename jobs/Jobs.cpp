#include "jobs/Jobs.h"

#include <charconv>
#include <random>

#include "protocol/Commands.h"
#include "protocol/GbkText.h"
#include "protocol/IntegerText.h"

namespace kelvo::jobs {

std::string WireBytes(const Job& job) {
    std::string out;
    out.reserve(WireSize(job));
    for (const Piece& piece : job) {
        out += piece.bytes;
        if (piece.line)
            out += "\r\n";
    }
    return out;
}

uint64_t WireSize(const Job& job) {
    uint64_t total = 0;
    for (const Piece& piece : job)
        total += piece.bytes.size() + (piece.line ? 2 : 0);
    return total;
}

std::string MemoBytes(std::string_view utf8) {
    // The whole text as shown: a last line break only when the text has one.
    std::string lines;
    lines.reserve(utf8.size() + utf8.size() / 16);
    for (char c : utf8) {
        if (c == '\n')
            lines += '\r';
        lines += c;
    }
    return ToGbk(lines);
}

// ---- Network ----

Job NetworkTestPage(std::string_view memo) {
    return {{CharSizeDouble() + ToGbk(" QM417网口测试打印开始") + "\r"},
            {CharSizeNormal() + MemoBytes(memo)},
            {FeedAndPartialCut()}};
}

Job NetworkDrawer() {
    return {{DrawerPulse()}};
}

std::optional<std::array<uint8_t, 4>> NewIpOctets(const std::array<int, 4>& octets) {
    for (int octet : octets) {
        if (octet < 0 || octet > 255)
            return std::nullopt;
    }
    if (octets[0] < 1 || octets[0] > 223 || octets[0] == 127)
        return std::nullopt;
    return std::array<uint8_t, 4>{uint8_t(octets[0]), uint8_t(octets[1]), uint8_t(octets[2]),
                                  uint8_t(octets[3])};
}

std::optional<std::array<int, 4>> DottedNumbers(std::string_view dotted) {
    std::array<int, 4> out{};
    const char* p = dotted.data();
    const char* end = p + dotted.size();
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (p == end || *p != '.')
                return std::nullopt;
            ++p;
        }
        if (p == end || *p < '0' || *p > '9')
            return std::nullopt;
        auto [next, error] = std::from_chars(p, end, out[i]);
        if (error != std::errc())
            return std::nullopt;
        p = next;
    }
    if (p != end)
        return std::nullopt;
    return out;
}

Job NetworkSetIp(const std::array<uint8_t, 4>& o) {
    return {{SetNetworkIp(o[0], o[1], o[2], o[3])}};
}

std::optional<std::array<uint8_t, 6>> MacOctets(std::string_view text) {
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((c == ':' || c == '-') && i % 3 == 2 && text.size() == 17)
            continue;
        digits += c;
    }
    if (digits.size() != 12)
        return std::nullopt;
    std::array<uint8_t, 6> mac{};
    for (int i = 0; i < 6; ++i) {
        const char* p = digits.data() + 2 * i;
        auto [next, error] = std::from_chars(p, p + 2, mac[i], 16);
        if (error != std::errc() || next != p + 2)
            return std::nullopt;
    }
    return mac;
}

std::string RandomMac() {
    std::random_device source;
    std::uniform_int_distribution<int> digit(0, 15);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string mac = "00";
    for (int i = 0; i < 10; ++i)
        mac += kHex[digit(source)];
    return mac;
}

Job NetworkSetMac(const std::array<uint8_t, 6>& m) {
    return {{SetNetworkMac(m[0], m[1], m[2], m[3], m[4], m[5]), false}};
}

// ---- Serial / parallel ----

Job SerialTestPage(std::string_view memo) {
    return {{CharSizeDouble() + ToGbk("QM417测试打印开始") + "\r"},
            {CharSizeNormal() + MemoBytes(memo)},
            {FeedAndPartialCut()}};
}

Job SerialDrawer() {
    return {{DrawerPulse(), false}};
}

Job SerialSlavic() {
    return {{SetDefaultCodePage(0x11)}};
}

Job SerialFactoryReset() {
    return {{RestoreFactorySettings()}};
}

// ---- Wireless ----

Job WirelessTestPage(std::string_view number, int32_t count, std::string_view memo, bool cut) {
    const std::string printer = ToGbk(std::string(number));
    // Only the first line carries the header; the rest of the job follows it.
    Job job = {{WirelessDataHeader() + printer + CharSizeDouble() + ToGbk("本次打印第") +
                std::to_string(count) + ToGbk("张数据") + "\r"},
               {ToGbk("此打印机编号为：") + printer + std::string(8, ' ') + CharSizeNormal() +
                MemoBytes(memo)}};
    if (cut)
        job.push_back({FeedAndPartialCut()});
    return job;
}

Job WirelessDrawer(std::string_view number) {
    return {{WirelessDataHeader() + ToGbk(std::string(number)) + DrawerPulse(), false}};
}

int32_t NextPrintCount(int32_t count) {
    return static_cast<int32_t>(static_cast<uint32_t>(count) + 1u);
}

// ---- Model parameters ----

namespace {

constexpr NamedCode kBaudRates[] = {{"115200", kBaudCode115200},
                                    {"38400", kBaudCode38400},
                                    {"19200", kBaudCode19200},
                                    {"9600", kBaudCode9600}};

// In ESC R numbering.
constexpr NamedCode kCharsets[] = {
    {"(U.S.A.)", 0x00},        {"(France)", 0x01},     {"(Germany)", 0x02},
    {"(U.K.)", 0x03},          {"(Denmark I)", 0x04},  {"(Sweden)", 0x05},
    {"(Italy)", 0x06},         {"(Spain I)", 0x07},    {"(Japan)", 0x08},
    {"(Norway)", 0x09},        {"(Denmark II)", 0x0A}, {"(Spain II)", 0x0B},
    {"(Latin America)", 0x0C}, {"(Korea)", 0x0D},      {"(Slovenia / Croatia)", 0x0E}};

constexpr NamedCode kCodePages[] = {{"(PC437:Standard-Europe)", 0x00},
                                    {"(Katakana)", 0x01},
                                    {"(PC850:Multilingual)", 0x02},
                                    {"(PC860:Portuguese)", 0x03},
                                    {"(PC863:Canadian-French)", 0x04},
                                    {"(PC865:Nordic)", 0x05},
                                    {"(West-Europe)", 0x06},
                                    {"(Greek)", 0x07},
                                    {"(Hebrew)", 0x08},
                                    {"(PC755:East-Eruope)", 0x09},
                                    {"(Iran)", 0x0A},
                                    {"(WPC1252)", 0x10},
                                    {"(PC866:Cyrillic#2)", 0x11},
                                    {"(PC852:Latin2)", 0x12},
                                    {"(PC858)", 0x13}};

}  // namespace

std::span<const NamedCode> BaudRates() {
    return kBaudRates;
}
std::span<const NamedCode> Charsets() {
    return kCharsets;
}
std::span<const NamedCode> CodePages() {
    return kCodePages;
}

std::optional<uint8_t> CodeOf(std::span<const NamedCode> list, std::string_view name) {
    for (const NamedCode& entry : list) {
        if (entry.name == name)
            return entry.code;
    }
    return std::nullopt;
}

Job Setting(std::string command, Over over) {
    return {{std::move(command), over == Over::Network}};
}

Job BaudSetting(char code, Over over) {
    return Setting(SetSerialBaud(code), over);
}

Job CharsetSetting(uint8_t code, Over over) {
    if (code == 0x01 && over == Over::Network)
        return Setting(SelectIntlCharsetFrance(), over);
    return Setting(SetDefaultIntlCharset(code), over);
}

Job CodePageSetting(uint8_t code, Over over) {
    return Setting(SetDefaultCodePage(code), over);
}

Job SwitchesSetting(bool crHonoured, bool externalBuzzer, bool builtinBuzzer, Over over) {
    return Setting(SetFunctionSwitches(crHonoured, externalBuzzer, builtinBuzzer), over);
}

std::string ReservedCommand(const std::array<std::string, 5>& texts) {
    std::string command;
    for (const std::string& text : texts)
        command += static_cast<char>(StrToInt(text) & 0xFF);
    return command;
}

// ---- NV logo ----

Job NvPrint() {
    return {{NvLogoPrintCommand(), false}};
}

Job NvUpload(std::string fsq) {
    return {{SetMotionUnits(180, 180), false}, {std::move(fsq), false}};
}

}  // namespace kelvo::jobs
