#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// What each of the tool's actions sends, from plain values: the window's handlers read their
// controls and call these, the command line reads its options and calls the same.
namespace kelvo::jobs {

// One write of an action: the bytes, then CR LF when it is a line. Network links and device
// files send a line as one call, so pieces keep the calls the printer sees.
struct Piece {
    std::string bytes;
    bool line = true;
    std::chrono::microseconds pause{0};  // waited before it: a captured job's own pace
    bool operator==(const Piece&) const = default;
};
using Job = std::vector<Piece>;

// The bytes as they reach the wire, line ends included, and their count.
std::string WireBytes(const Job& job);
uint64_t WireSize(const Job& job);

// A memo's text (UTF-8, lines ending in LF) as the printer takes it: lines end in CR LF, GBK.
std::string MemoBytes(std::string_view utf8);

// ---- The network printer page ----
inline constexpr std::string_view kNetworkTestMemo =
    "Print test\n\nPrint the test 2\n\nPrint the test 3\n\n";
Job NetworkTestPage(std::string_view memo);
Job NetworkDrawer();
// The new address's octets, or nothing when the page refuses them: four of 0 to 255, the first 1 to
// 223 and not 127 (loopback: a printer given it could never be reached again).
std::optional<std::array<uint8_t, 4>> NewIpOctets(const std::array<int, 4>& octets);
// Dotted text as four decimal numbers (any value), or nothing when it is not that shape.
std::optional<std::array<int, 4>> DottedNumbers(std::string_view dotted);
Job NetworkSetIp(const std::array<uint8_t, 4>& octets);
// The six bytes of a MAC written as 12 hex digits, optionally in pairs joined by ':' or '-'.
std::optional<std::array<uint8_t, 6>> MacOctets(std::string_view text);
// "00" and ten hex digits, a fresh draw from the system's entropy each time: two printers given
// addresses by one tick of a clock would collide.
std::string RandomMac();
Job NetworkSetMac(const std::array<uint8_t, 6>& mac);

// ---- The serial / parallel printer page ----
inline constexpr std::string_view kSerialTestMemo =
    "Print test\n\nPrint the test 2\n\nPrint the test 3\n";
Job SerialTestPage(std::string_view memo);
Job SerialDrawer();
Job SerialSlavic();  // PC866 Cyrillic #2 as the power-on code page
Job SerialFactoryReset();

// ---- The wireless page ----
inline constexpr std::string_view kWirelessMemo =
    "Wireless printers using ZIGBEE Technology\n"
    "The wireless communication way good penetrability, strong interference resistance\n"
    "Distance\n"
    "The end of the print test...\n\n\n";
inline constexpr std::string_view kWirelessNumber = "002";
// `number` is the printer number exactly as typed (UTF-8); `count` the page's counter of prints.
Job WirelessTestPage(std::string_view number, int32_t count, std::string_view memo, bool cut);
Job WirelessDrawer(std::string_view number);
// The counter after a successful print: it wraps like the original's 32-bit integer.
int32_t NextPrintCount(int32_t count);

// ---- The model parameter page ----
// Over the network a setting goes as a line; to a device, its bytes alone.
enum class Over { Network, Device };

struct NamedCode {
    std::string_view name;
    uint8_t code;
};
// The page's lists, in their order. The charset list knows "(Germany)" although the page does not
// offer it.
std::span<const NamedCode> BaudRates();
std::span<const NamedCode> Charsets();
std::span<const NamedCode> CodePages();
// The code of a list's entry by its name, or nothing.
std::optional<uint8_t> CodeOf(std::span<const NamedCode> list, std::string_view name);

inline constexpr std::string_view kDefaultBaud = "115200";
inline constexpr std::string_view kDefaultCharset = "(U.S.A.)";
inline constexpr std::string_view kDefaultCodePage = "(PC437:Standard-Europe)";
inline constexpr std::array<std::string_view, 5> kDefaultReserved = {"31", "27", "31", "254", "01"};

Job Setting(std::string command, Over over);
Job BaudSetting(char code, Over over);
// Over the network France is told through the plain ESC R command.
Job CharsetSetting(uint8_t code, Over over);
Job CodePageSetting(uint8_t code, Over over);
Job SwitchesSetting(bool crHonoured, bool externalBuzzer, bool builtinBuzzer, Over over);
// The five reserved values, each read as the page reads integers (throws EConvertError), low
// byte each.
std::string ReservedCommand(const std::array<std::string, 5>& texts);

// ---- The NV logo page ----
Job NvPrint();
// The download of NV images (`fsq`, an FS q command): the motion unit the page sets first
// (GS P 180 180), then the images. The window hands both to the printer library, which sends
// these same two commands.
Job NvUpload(std::string fsq);

}  // namespace kelvo::jobs
