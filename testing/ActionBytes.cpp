#include "testing/ActionBytes.h"

#include "protocol/Commands.h"

namespace kelvo::testing {

namespace {

using kelvo::jobs::Job;
using kelvo::jobs::Over;
using Peer = ActionBytes::Peer;

template <size_t N>
std::string B(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

// Written out byte for byte from the command reference, not built by the code under test.
const std::string kDouble = B("\x1D\x21\x11");
const std::string kNormal = B("\x1D\x21\x00");
const std::string kCut = B("\x1D\x56\x42\x05");
const std::string kDrawer = B("\x1B\x70\x00\x28\x28");
const std::string kNetworkMemo =
    "Print test\r\n\r\nPrint the test 2\r\n\r\nPrint the test 3\r\n\r\n";
const std::string kSerialMemo = "Print test\r\n\r\nPrint the test 2\r\n\r\nPrint the test 3\r\n";
const std::string kWirelessMemo =
    "Wireless printers using ZIGBEE Technology\r\n"
    "The wireless communication way good penetrability, strong interference resistance\r\n"
    "Distance\r\nThe end of the print test...\r\n\r\n\r\n";

}  // namespace

const std::vector<ActionBytes>& ActionTable() {
    static const std::vector<ActionBytes> table = {
        {"NetworkTestPage",
         [] { return kelvo::jobs::NetworkTestPage(kelvo::jobs::kNetworkTestMemo); },
         kDouble + " QM417" +
             B("\xcd\xf8\xbf\xda\xb2\xe2\xca\xd4\xb4\xf2\xd3\xa1\xbf\xaa\xca\xbc") + "\r\r\n" +
             kNormal + kNetworkMemo + "\r\n" + kCut + "\r\n",
         Peer::Network,
         {"test-page"},
         {{"Button1", ""}, {"Button3", ""}}},
        {"NetworkDrawer",
         kelvo::jobs::NetworkDrawer,
         kDrawer + "\r\n",
         Peer::Network,
         {"drawer"},
         {{"Button1", ""}, {"Button4", ""}}},
        {"NetworkSetIp",
         [] {
             return kelvo::jobs::NetworkSetIp({192, 168, 1, 123});
         },
         B("\x1F\x02\x57\x49\xC0\xA8\x01\x7B\r\n"),
         Peer::Network,
         {"set-ip", "192.168.1.123"},
         {{"Button1", ""}, {"IPEdit2", "192.168.1.123"}, {"Button2", ""}}},
        {"NetworkSetMac",
         [] {
             return kelvo::jobs::NetworkSetMac({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
         },
         B("\x1F\x02\x57\x43\x00\x1A\x2B\x3C\x4D\x5E"),
         Peer::Network,
         {"set-mac", "00:1A:2B:3C:4D:5E"},
         ActionBytes::Window("the window sends only a MAC it draws at random (btn7), and its MAC "
                             "field takes no typing")},
        {"SerialTestPage",
         [] { return kelvo::jobs::SerialTestPage(kelvo::jobs::kSerialTestMemo); },
         kDouble + "QM417" + B("\xb2\xe2\xca\xd4\xb4\xf2\xd3\xa1\xbf\xaa\xca\xbc") + "\r\r\n" +
             kNormal + kSerialMemo + "\r\n" + kCut + "\r\n",
         Peer::Device,
         {"test-page"},
         {{"ComboBox1", "COM1"}, {"Button8", ""}}},
        {"SerialDrawer",
         kelvo::jobs::SerialDrawer,
         kDrawer,
         Peer::Device,
         {"drawer"},
         {{"ComboBox1", "COM1"}, {"Button11", ""}}},
        {"SerialSlavic",
         kelvo::jobs::SerialSlavic,
         B("\x1F\x1B\x1F\xFF\x11\r\n"),
         Peer::Device,
         {"slavic"},
         {{"ComboBox1", "COM1"}, {"btn12", ""}}},
        {"SerialFactoryReset",
         kelvo::jobs::SerialFactoryReset,
         B("\x1F\x02\x40\x4E\r\n"),
         Peer::Device,
         {"factory-reset"},
         {{"ComboBox1", "COM1"}, {"btn3", ""}}},
        {"WirelessTestPage",
         [] {
             return kelvo::jobs::WirelessTestPage(kelvo::jobs::kWirelessNumber, 0,
                                                  kelvo::jobs::kWirelessMemo, true);
         },
         "+++++DYSJ002" + kDouble + B("\xb1\xbe\xb4\xce\xb4\xf2\xd3\xa1\xb5\xda") + "0" +
             B("\xd5\xc5\xca\xfd\xbe\xdd") + "\r\r\n" +
             B("\xb4\xcb\xb4\xf2\xd3\xa1\xbb\xfa\xb1\xe0\xba\xc5\xce\xaa\xa3\xba") + "002" +
             std::string(8, ' ') + kNormal + kWirelessMemo + "\r\n" + kCut + "\r\n",
         Peer::Device,
         {"wireless"},
         {{"cbb1", "COM1"}, {"edt1", "002"}, {"chk1", "on"}, {"btn2", ""}}},
        {"WirelessDrawer",
         [] { return kelvo::jobs::WirelessDrawer(kelvo::jobs::kWirelessNumber); },
         "+++++DYSJ002" + kDrawer,
         Peer::Device,
         {"wireless", "--drawer"},
         {{"cbb1", "COM1"}, {"edt1", "002"}, {"btn4", ""}}},
        {"ParamsBaudOverNetwork",
         [] { return kelvo::jobs::BaudSetting(kelvo::kBaudCode115200, Over::Network); },
         B("\x1F\x1B\x1F\x53\x44\r\n"),
         Peer::Network,
         {"params", "--set-baud", "115200"},
         {{"rb2", ""}, {"Button13", ""}, {"ComboBox3", "115200"}, {"Button18", ""}}},
        {"ParamsBaudToDevice",
         [] { return kelvo::jobs::BaudSetting(kelvo::kBaudCode9600, Over::Device); },
         B("\x1F\x1B\x1F\x53\x47"),
         Peer::Device,
         {"params", "--set-baud", "9600"},
         {{"rb1", ""}, {"cbb4", "COM1"}, {"ComboBox3", "9600"}, {"Button18", ""}}},
        {"ParamsFranceOverNetwork",
         [] { return kelvo::jobs::CharsetSetting(0x01, Over::Network); },
         B("\x1B\x52\x01\r\n"),
         Peer::Network,
         {"params", "--charset", "(France)"},
         {{"rb2", ""}, {"Button13", ""}, {"cbb2", "(France)"}, {"btn14", ""}}},
        {"ParamsFranceToDevice",
         [] { return kelvo::jobs::CharsetSetting(0x01, Over::Device); },
         B("\x1F\x1B\x1F\xFD\x01"),
         Peer::Device,
         {"params", "--charset", "(France)"},
         {{"rb1", ""}, {"cbb4", "COM1"}, {"cbb2", "(France)"}, {"btn14", ""}}},
        {"ParamsCodePage",
         [] { return kelvo::jobs::CodePageSetting(0x12, Over::Network); },
         B("\x1F\x1B\x1F\xFF\x12\r\n"),
         Peer::Network,
         {"params", "--code-page", "(PC852:Latin2)"},
         {{"rb2", ""}, {"Button13", ""}, {"cbb3", "(PC852:Latin2)"}, {"btn15", ""}}},
        {"ParamsSwitches",
         [] { return kelvo::jobs::SwitchesSetting(false, false, true, Over::Device); },
         B("\x1F\x1B\x1F\x50\x42"),
         Peer::Device,
         {"params", "--switches"},
         {{"rb1", ""},
          {"cbb4", "COM1"},
          {"CheckBox3", "off"},
          {"CheckBox2", "off"},
          {"CheckBox1", "on"},
          {"Button14", ""}}},
        {"ParamsReserved",
         [] {
             return kelvo::jobs::Setting(
                 kelvo::jobs::ReservedCommand({"31", "27", "31", "254", "01"}), Over::Network);
         },
         B("\x1F\x1B\x1F\xFE\x01\r\n"),
         Peer::Network,
         {"params", "--reserved"},
         {{"rb2", ""},
          {"Button13", ""},
          {"Edit1", "31"},
          {"Edit3", "27"},
          {"Edit4", "31"},
          {"Edit5", "254"},
          {"Edit6", "01"},
          {"Button16", ""}}},
        {"NvPrint",
         kelvo::jobs::NvPrint,
         B("\x1B\x40\x1B\x61\x01\x1D\x54\x1C\x70\x01\x30\x1B\x40"),
         Peer::Device,
         {"nv-print"},
         {{"cbPortName", "COM1"}, {"cbBaud", "115200"}, {"btn21", ""}}},
    };
    return table;
}

}  // namespace kelvo::testing
