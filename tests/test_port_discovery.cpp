#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "links/PortDiscovery.h"
#include "testing/TempDir.h"

using kelvo::FindPorts;
using kelvo::testing::TempDir;
namespace fs = std::filesystem;

namespace {

using Listing = std::vector<std::pair<std::string, std::string>>;

// A machine's /dev and /sys in miniature, with links as relative as the kernel and udev make them.
class DeviceTree {
  public:
    std::string root() const { return dir_.path(); }

    void File(const std::string& path, const std::string& text = "") {
        fs::create_directories(fs::path(dir_ / path).parent_path());
        std::ofstream(dir_ / path) << text;
    }
    void Link(const std::string& path, const std::string& target) {
        fs::create_directories(fs::path(dir_ / path).parent_path());
        fs::create_symlink(target, dir_ / path);
    }
    void UsbDevice(const std::string& dir, const std::string& vid, const std::string& pid,
                   const std::string& maker, const std::string& product) {
        File(dir + "/idVendor", vid + "\n");
        File(dir + "/idProduct", pid + "\n");
        File(dir + "/manufacturer", maker + "\n");
        File(dir + "/product", product + "\n");
    }
    Listing Found() const {
        Listing found;
        for (const auto& port : FindPorts(root()))
            found.emplace_back(port.path, port.description);
        return found;
    }

  private:
    TempDir dir_{"kelvo-devtree"};
};

const std::string kHub = "sys/devices/pci0000:00/0000:00:14.0/usb1";

}  // namespace

TEST(PortDiscovery, ListsPresentUartsUsbSerialWithItsAliasAndUsbPrinterInOrder) {
    DeviceTree t;
    const std::string r = t.root();
    // The root hub has names too: the nearest USB device above a port must win.
    t.UsbDevice(kHub, "1d6b", "0002", "Linux 6.1.0 xhci-hcd", "xHCI Host Controller");

    for (const std::string n : {"0", "1"}) {
        t.File("sys/devices/platform/serial8250/tty/ttyS" + n + "/type", n == "0" ? "0\n" : "4\n");
        t.Link("sys/class/tty/ttyS" + n, "../../devices/platform/serial8250/tty/ttyS" + n);
        t.File("dev/ttyS" + n);
    }

    t.UsbDevice(kHub + "/1-2", "0403", "6001", "FTDI", "FT232R USB UART");
    const std::string tty = kHub + "/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0";
    t.Link(tty + "/device", "../../../ttyUSB0");
    t.Link("sys/class/tty/ttyUSB0", "../../" + tty.substr(4));
    t.File("dev/ttyUSB0");
    t.Link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0", "../../ttyUSB0");

    t.UsbDevice(kHub + "/1-3", "04b8", "0e15", "EPSON", "TM-T20II");
    const std::string lp = kHub + "/1-3/1-3:1.0/usbmisc/lp0";
    t.Link(lp + "/device", "../../../1-3:1.0");
    t.Link("sys/class/usbmisc/lp0", "../../" + lp.substr(4));
    t.File("dev/usb/lp0");

    const std::string ftdi = "USB serial: FTDI FT232R USB UART (0403:6001)";
    EXPECT_EQ(t.Found(),
              (Listing{{r + "/dev/ttyS1", "serial port 16550A"},
                       {r + "/dev/ttyUSB0", ftdi},
                       {r + "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0",
                        "= " + r + "/dev/ttyUSB0, " + ftdi},
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
    ASSERT_NO_THROW(found = t.Found());
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
