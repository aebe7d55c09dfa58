#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "links/PortDiscovery.h"
#include "testing/DeviceTree.h"

using kelvo::FindPorts;
using kelvo::testing::DeviceTree;

namespace {

using Listing = std::vector<std::pair<std::string, std::string>>;

Listing Found(const DeviceTree& t) {
    Listing found;
    for (const auto& port : FindPorts(t.root()))
        found.emplace_back(port.path, port.description);
    return found;
}

}  // namespace

TEST(PortDiscovery, ListsPresentUartsUsbSerialWithItsAliasAndUsbPrinterInOrder) {
    DeviceTree t;
    const std::string r = t.root();
    t.Bench();           // the root hub has names too: the nearest USB device above a port wins
    t.SerialPort(1, 4);  // a 16550A
    const std::string ftdi = "USB serial: FTDI FT232R USB UART (0403:6001)";
    EXPECT_EQ(Found(t),
              (Listing{{r + "/dev/ttyS1", "serial port 16550A"},
                       {r + "/dev/ttyUSB0", ftdi},
                       {r + "/" + DeviceTree::kAdapterAlias, "= " + r + "/dev/ttyUSB0, " + ftdi},
                       {r + "/dev/usb/lp0", "USB printer: EPSON TM-T20II (04b8:0e15)"}}));

    ::setenv("KELVOTOOL_DEVICE_ROOT", r.c_str(), 1);  // how the window is pointed at a tree
    EXPECT_EQ(FindPorts(), FindPorts(r));
    ::unsetenv("KELVOTOOL_DEVICE_ROOT");
}

TEST(PortDiscovery, BrokenTreeLeavesOutWhatItCannotVouchForAndNeverLeavesTheTree) {
    DeviceTree t;
    const std::string r = t.root();
    t.Link("sys/class/tty/ttyACM0", "../../devices/unplugged/ttyACM0");  // dangling
    t.File("dev/ttyACM0");
    t.File("sys/class/tty/ttyS2/uevent");  // no type
    t.File("dev/ttyS2");
    t.File("sys/devices/virtual/tty/ttyUSB1/uevent");  // no device link, no USB names
    t.Link("sys/class/tty/ttyUSB1", "/sys/devices/virtual/tty/ttyUSB1");
    t.File("dev/ttyUSB1");
    t.Link("dev/serial/by-id/climbs-out", "../../../../../../../../../../../../dev/ttyUSB1");
    t.Link("dev/serial/by-id/loop", "loop");
    t.Link("sys/class/usbmisc/lp1", "../../devices/usb-gone/lp1");
    t.File("sys/class/lp/lp0/dev");  // a parallel port without its device node

    Listing found;
    ASSERT_NO_THROW(found = Found(t));
    EXPECT_EQ(
        found,
        (Listing{{r + "/dev/ttyUSB1", "USB serial"},
                 {r + "/dev/serial/by-id/climbs-out", "= " + r + "/dev/ttyUSB1, USB serial"}}));
    EXPECT_NO_THROW(FindPorts(r + "/no-such-tree"));
}

TEST(PortDiscovery, ThisMachine) {
    for (const auto& port : FindPorts("/"))
        std::cout << port.path << "  " << port.description << "\n";
}
