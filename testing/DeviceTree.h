#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "testing/TempDir.h"

namespace kelvo::testing {

// A machine's /dev and /sys in miniature, with links as relative as the kernel and udev make them.
class DeviceTree {
  public:
    static inline const std::string kHub = "sys/devices/pci0000:00/0000:00:14.0/usb1";
    static inline const std::string kAdapterAlias =
        "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0";

    std::string root() const { return dir_.path(); }

    void File(const std::string& path, const std::string& text = "") {
        std::filesystem::create_directories(std::filesystem::path(dir_ / path).parent_path());
        std::ofstream(dir_ / path) << text;
    }
    void Link(const std::string& path, const std::string& target) {
        std::filesystem::create_directories(std::filesystem::path(dir_ / path).parent_path());
        std::filesystem::create_symlink(target, dir_ / path);
    }
    void UsbDevice(const std::string& dir, const std::string& vid, const std::string& pid,
                   const std::string& maker, const std::string& product) {
        File(dir + "/idVendor", vid + "\n");
        File(dir + "/idProduct", pid + "\n");
        File(dir + "/manufacturer", maker + "\n");
        File(dir + "/product", product + "\n");
    }
    // ttyS<n> with the UART type the kernel found (0: none answered).
    void SerialPort(int n, int uartType) {
        const std::string name = "ttyS" + std::to_string(n);
        File("sys/devices/platform/serial8250/tty/" + name + "/type",
             std::to_string(uartType) + "\n");
        Link("sys/class/tty/" + name, "../../devices/platform/serial8250/tty/" + name);
        File("dev/" + name);
    }
    // A bench: a serial port without a UART, an FTDI USB serial adapter (with its by-id alias)
    // and an EPSON USB printer, under a root hub that has names of its own.
    void Bench() {
        UsbDevice(kHub, "1d6b", "0002", "Linux 6.1.0 xhci-hcd", "xHCI Host Controller");
        SerialPort(0, 0);
        UsbDevice(kHub + "/1-2", "0403", "6001", "FTDI", "FT232R USB UART");
        const std::string tty = kHub + "/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0";
        Link(tty + "/device", "../../../ttyUSB0");
        Link("sys/class/tty/ttyUSB0", "../../" + tty.substr(4));
        File("dev/ttyUSB0");
        Link(kAdapterAlias, "../../ttyUSB0");
        UsbDevice(kHub + "/1-3", "04b8", "0e15", "EPSON", "TM-T20II");
        const std::string lp = kHub + "/1-3/1-3:1.0/usbmisc/lp0";
        Link(lp + "/device", "../../../1-3:1.0");
        Link("sys/class/usbmisc/lp0", "../../" + lp.substr(4));
        File("dev/usb/lp0");
    }

  private:
    TempDir dir_{"kelvo-devtree"};
};

}  // namespace kelvo::testing
