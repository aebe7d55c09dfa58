#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The printer's command vocabulary. Every command is a counted byte string: several contain 00
// bytes, so they are built from sized literals and never from C strings.
namespace kelvo {

namespace detail {
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
    return std::string(literal, N - 1);  // drop only the literal's terminator
}
}  // namespace detail

// ---- Standard ESC/POS commands, with the parameters this tool uses ----

// ESC @: initialize the printer.
inline std::string Initialize() {
    return detail::Bytes("\x1B\x40");
}
// ESC a n: justification, 0 left, 1 centred, 2 right.
inline std::string Justify(uint8_t n) {
    return {'\x1B', 'a', static_cast<char>(n)};
}
inline std::string AlignCentre() {
    return Justify(1);
}
// ESC E n: bold on (1) or off (0).
inline std::string Emphasize(bool on) {
    return {'\x1B', 'E', static_cast<char>(on ? 1 : 0)};
}
// ESC t n: the code page single-byte text above 7F is read in.
inline std::string SelectCodePage(uint8_t n) {
    return {'\x1B', 't', static_cast<char>(n)};
}
// FS & and FS .: two-byte GBK text (Chinese mode) on and off.
inline std::string ChineseModeOn() {
    return detail::Bytes("\x1C\x26");
}
inline std::string ChineseModeOff() {
    return detail::Bytes("\x1C\x2E");
}
// ESC p 0 40 40: drawer pulse on pin 2, 80 ms on, 80 ms off.
inline std::string DrawerPulse() {
    return detail::Bytes("\x1B\x70\x00\x28\x28");
}
// ESC R n: international character set n (0 USA, 1 France), until the printer is initialized.
inline std::string SelectIntlCharset(uint8_t n) {
    return {'\x1B', 'R', static_cast<char>(n)};
}
inline std::string SelectIntlCharsetFrance() {
    return SelectIntlCharset(1);
}
// GS ! n: character size, `width` and `height` times (1 to 8 each).
inline std::string CharSize(uint8_t width, uint8_t height) {
    return {'\x1D', '!', static_cast<char>(((width - 1) << 4) | (height - 1))};
}
inline std::string CharSizeDouble() {
    return CharSize(2, 2);
}
inline std::string CharSizeNormal() {
    return CharSize(1, 1);
}
// GS V 66 5: feed to the cutting position plus 5 units, then partial cut.
inline std::string FeedAndPartialCut() {
    return detail::Bytes("\x1D\x56\x42\x05");
}
// FS p 1 48: print NV bit image 1 in normal mode.
inline std::string PrintNvImage1() {
    return detail::Bytes("\x1C\x70\x01\x30");
}
// GS P x y: horizontal and vertical motion units of 1/x and 1/y inch; the NV logo pages use
// 180 180, the head's resolution.
inline std::string SetMotionUnits(uint8_t horizontal, uint8_t vertical) {
    return {'\x1D', 'P', static_cast<char>(horizontal), static_cast<char>(vertical)};
}
// DLE EOT n: send real-time status n (1 printer, 2 off-line cause, 3 error cause, 4 paper sensor)
// as one byte, answered even while the printer waits or is off-line.
inline std::string TransmitStatus(uint8_t n) {
    return {'\x10', '\x04', static_cast<char>(n)};
}
// GS I n: transmit printer ID. n 1..3 answer one byte (model, type, version); 65..69 answer
// "_" text NUL (firmware version, maker, model name, serial number, fonts).
inline std::string TransmitPrinterId(uint8_t n) {
    return {'\x1D', '\x49', static_cast<char>(n)};
}
// The 13 bytes that print the stored logo: ESC @, ESC a 1, GS T, FS p 1 48, ESC @.
inline std::string NvLogoPrintCommand() {
    return detail::Bytes("\x1B\x40\x1B\x61\x01\x1D\x54\x1C\x70\x01\x30\x1B\x40");
}

// GS v 0 0 xL xH yL yH: a raster picture `widthBytes` bytes (8 dots each, the first the
// leftmost) by `height` rows, `rows` holding them top row first; 1 bits print.
std::string RasterImage(uint16_t widthBytes, uint16_t height, std::string_view rows);
// GS h n, GS w n, GS H n: bar code height in dots, module width in dots (2 to 6), and where its
// text prints (0 nowhere, 2 below).
inline std::string BarcodeHeight(uint8_t dots) {
    return {'\x1D', 'h', static_cast<char>(dots)};
}
inline std::string BarcodeModule(uint8_t dots) {
    return {'\x1D', 'w', static_cast<char>(dots)};
}
inline std::string BarcodeText(uint8_t position) {
    return {'\x1D', 'H', static_cast<char>(position)};
}
// GS k m n d1..dn: bar code m (65 UPC-A ... 73 CODE128) of 1 to 255 data bytes.
std::string Barcode(uint8_t m, std::string_view data);
// GS ( k, functions 65, 67, 69, 80 and 81: a model 2 QR code of `moduleDots` dots a module at
// error correction level M, its 1 to 7089 data bytes stored and printed.
std::string QrCode(std::string_view data, uint8_t moduleDots);

// ---- Vendor configuration commands (stored in the printer) ----

// Baud code letters of SetSerialBaud, fastest first.
inline constexpr char kBaudCode115200 = 'D';
inline constexpr char kBaudCode38400 = 'E';
inline constexpr char kBaudCode19200 = 'F';
inline constexpr char kBaudCode9600 = 'G';

// The letter for one of the four rates the printer can store; no code for any other rate.
std::optional<char> BaudCode(long baud);
// The rate a baud code letter stands for; 0 for any other letter.
long BaudRate(char code);

// 1F 1B 1F 53 c: store the serial baud rate, c one of the baud code letters.
std::string SetSerialBaud(char code);
// 1F 1B 1F FD n: store the power-on international character set (n = 00..0E).
std::string SetDefaultIntlCharset(uint8_t n);
// 1F 1B 1F FF n: store the power-on code page.
std::string SetDefaultCodePage(uint8_t n);
// 1F 1B 1F FE x: x = 01 disables two-byte Chinese text at power-on, 00 enables it.
std::string SetDefaultChineseMode(uint8_t x);

// The switch byte: high nibble 4, CR in bit 3, external buzzer in bit 2, built-in buzzer in bit 1.
uint8_t FunctionSwitchByte(bool crHonoured, bool externalBuzzer, bool builtinBuzzer);
// 1F 1B 1F 50 b: store the CR and buzzer switches.
std::string SetFunctionSwitches(bool crHonoured, bool externalBuzzer, bool builtinBuzzer);

// 1F 02 40 4E: return every stored setting to its factory value.
inline std::string RestoreFactorySettings() {
    return detail::Bytes("\x1F\x02\x40\x4E");
}

// 1F 02 57 49 a b c d: store a new IP address, most significant octet first.
std::string SetNetworkIp(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
// 1F 02 57 43 m1..m6: store a new MAC address, first byte first.
std::string SetNetworkMac(uint8_t m1, uint8_t m2, uint8_t m3, uint8_t m4, uint8_t m5, uint8_t m6);

// ---- Wireless bridge ----

// "+++++DYSJ": opens a frame for one numbered printer; the number (ASCII digits) follows it.
inline std::string WirelessDataHeader() {
    return "+++++DYSJ";
}

}  // namespace kelvo
