#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "links/PortDiscovery.h"
#include "testing/DeviceTree.h"
#include "testing/RowName.h"
#include "testing/TempDir.h"

using kelvo::FindPorts;
using kelvo::testing::DeviceTree;
namespace fs = std::filesystem;

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
    t.Link("sys/class/tty/ttyUSB1", "../../devices/virtual/tty/ttyUSB1");
    t.File("dev/ttyUSB1");
    // Opened, it would be the machine's own port, not the tree's.
    t.Link("dev/serial/by-id/climbs-out", "../../../../../../../../../../../../dev/ttyUSB1");
    t.Link("dev/serial/by-id/loop", "loop");
    t.Link("sys/class/usbmisc/lp1", "../../devices/usb-gone/lp1");
    t.File("sys/class/lp/lp0/dev");  // a parallel port without its device node

    Listing found;
    ASSERT_NO_THROW(found = Found(t));
    EXPECT_EQ(found, (Listing{{r + "/dev/ttyUSB1", "USB serial"}}));
    EXPECT_NO_THROW(FindPorts(r + "/no-such-tree"));
}

// --- Links leading out of the tree ------------------------------------------------------------

namespace {

// A port whose node or class entry is reached through links. In paths and targets, "@root"
// stands for the tree's real path and "@top" for its name; "@outside" for a directory beside it
// holding the same port, and "@out" for that directory's name (so "../../@out" climbs from dev/
// into it).
struct LinkCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // path in the tree -> target
    Listing listed;
};

void PrintTo(const LinkCase& c, std::ostream* os) {
    *os << c.name;
}

struct Places {
    std::string root, outside;

    std::string Fill(std::string text) const {
        const std::pair<std::string, std::string> marks[] = {
            {"@root", root},
            {"@top", fs::path(root).filename().string()},
            {"@outside", outside},
            {"@out", fs::path(outside).filename().string()}};
        for (const auto& [mark, value] : marks) {
            for (size_t at; (at = text.find(mark)) != std::string::npos;)
                text.replace(at, mark.size(), value);
        }
        return text;
    }
};

// The port as the kernel and udev lay it out, its node and class entry each one link away.
const std::map<std::string, std::string> kPortLinks = {
    {"dev/ttyUSB1", "../nodes/ttyUSB1"},
    {"sys/class/tty/ttyUSB1", "../../devices/virtual/tty/ttyUSB1"},
};

void MakePort(const std::string& base, const std::map<std::string, std::string>& links,
              const Places& places) {
    fs::create_directories(base + "/sys/devices/virtual/tty/ttyUSB1");
    std::ofstream(base + "/sys/devices/virtual/tty/ttyUSB1/uevent") << "\n";
    fs::create_directories(base + "/nodes");
    std::ofstream(base + "/nodes/ttyUSB1") << "";
    for (const auto& [path, target] : links) {
        const fs::path at = fs::path(base) / places.Fill(path);  // an absolute path stays so
        fs::create_directories(at.parent_path());
        fs::create_symlink(places.Fill(target), at);
    }
}

// Inside the tree, and no link in it: it opens what was looked at. An alias is allowed its last
// name, a link whose target must be inside too.
void ExpectInsideAndResolved(const std::string& path, const std::string& root) {
    const fs::path given(path);
    const std::string real = fs::canonical(given).string();
    EXPECT_EQ(real.rfind(root + "/", 0), 0u) << path << " opens " << real;
    if (given.parent_path().filename() == "by-id") {
        EXPECT_EQ(fs::canonical(given.parent_path()), given.parent_path()) << path;
    } else {
        EXPECT_EQ(real, path);
    }
}

class PortDiscoveryLinks : public ::testing::TestWithParam<LinkCase> {};

TEST_P(PortDiscoveryLinks, ListsOnlyWhatResolvesInsideTheTreeByItsRealPath) {
    DeviceTree t;
    kelvo::testing::TempDir outsideDir("kelvo-outside");
    const Places places{fs::canonical(t.root()).string(),
                        fs::canonical(outsideDir.path()).string()};
    // The same port outside the tree, so that a link leaving it finds something there.
    MakePort(places.outside, kPortLinks, places);
    // The case's links take the place of the usual ones, and of all below a linked directory.
    std::map<std::string, std::string> links = kPortLinks;
    for (const auto& [linkPath, target] : GetParam().links) {
        // clang 14 lets no lambda name a structured binding.
        const std::string& path = linkPath;
        std::erase_if(links,
                      [&](const auto& link) { return link.first.rfind(path + "/", 0) == 0; });
        links[path] = target;
    }
    MakePort(places.root, links, places);

    Listing expected;
    for (const auto& [path, description] : GetParam().listed)
        expected.emplace_back(places.Fill(path), places.Fill(description));
    Listing listing;
    for (const auto& port : FindPorts(t.root())) {
        listing.emplace_back(port.path, port.description);
        ExpectInsideAndResolved(port.path, places.root);
    }
    EXPECT_EQ(listing, expected);
}

const Listing kListedAtItsNode = {{"@root/nodes/ttyUSB1", "USB serial"}};
const Listing kListedWithItsAlias = {
    {"@root/nodes/ttyUSB1", "USB serial"},
    {"@root/dev/serial/by-id/usb-Kelvo-if00", "= @root/nodes/ttyUSB1, USB serial"}};

const LinkCase kLinkCases[] = {
    {"NodeLinkStayingInside", {}, kListedAtItsNode},
    {"NodeLinkClimbingOut", {{"dev/ttyUSB1", "../../@out/nodes/ttyUSB1"}}, {}},
    {"NodeLinkClimbingAsFarAsItGoes",
     {{"dev/ttyUSB1", "../../../../../../../../../../@outside/nodes/ttyUSB1"}},
     {}},
    {"NodeLinkAbsoluteToOutside", {{"dev/ttyUSB1", "@outside/nodes/ttyUSB1"}}, {}},
    {"NodeLinkAbsoluteInside", {{"dev/ttyUSB1", "@root/nodes/ttyUSB1"}}, kListedAtItsNode},
    // An absolute link means the machine's root, not the tree's.
    {"NodeLinkAbsoluteFromTheTreesTop", {{"dev/ttyUSB1", "/nodes/ttyUSB1"}}, {}},
    {"NodeLinkLeavingAndComingBack",
     {{"dev/ttyUSB1", "../../@out/../@top/nodes/ttyUSB1"}},
     kListedAtItsNode},
    {"NodeLinkToALinkInside",
     {{"dev/ttyUSB1", "hop"}, {"dev/hop", "../nodes/../nodes/ttyUSB1"}},
     kListedAtItsNode},
    {"NodeLinkToALinkOutside",
     {{"dev/ttyUSB1", "hop"}, {"dev/hop", "../../@out/nodes/ttyUSB1"}},
     {}},
    {"NodeLinkToItself", {{"dev/ttyUSB1", "ttyUSB1"}}, {}},
    {"DevDirectoryOutside", {{"dev", "@outside/dev"}}, {}},
    {"ClassLinkClimbingOut",
     {{"sys/class/tty/ttyUSB1", "../../../../@out/sys/devices/virtual/tty/ttyUSB1"}},
     {}},
    {"ClassLinkAbsoluteToOutside",
     {{"sys/class/tty/ttyUSB1", "@outside/sys/devices/virtual/tty/ttyUSB1"}},
     {}},
    {"ClassDirectoryOutside", {{"sys/class/tty", "@outside/sys/class/tty"}}, {}},
    {"AliasStayingInside",
     {{"dev/serial/by-id/usb-Kelvo-if00", "../../ttyUSB1"}},
     kListedWithItsAlias},
    {"AliasAbsoluteInside",
     {{"dev/serial/by-id/usb-Kelvo-if00", "@root/dev/ttyUSB1"}},
     kListedWithItsAlias},
    {"AliasClimbingOut",
     {{"dev/serial/by-id/usb-Kelvo-if00", "../../../../@out/dev/ttyUSB1"}},
     kListedAtItsNode},
    // Its target is the tree's port, but the alias itself would be opened outside.
    {"AliasDirectoryOutside",
     {{"dev/serial", "@outside/serial"},
      {"@outside/serial/by-id/usb-Kelvo-if00", "@root/dev/ttyUSB1"}},
     kListedAtItsNode},
};

INSTANTIATE_TEST_SUITE_P(Trees, PortDiscoveryLinks, ::testing::ValuesIn(kLinkCases),
                         kelvo::testing::NamedByName());

}  // namespace

TEST(PortDiscovery, RootReachedThroughALinkListsWhereItsPortsAre) {
    DeviceTree t;
    t.Bench();
    kelvo::testing::TempDir other("kelvo-rootlink");
    const std::string link = other / "root";
    fs::create_symlink(t.root(), link);
    const std::string real = fs::canonical(t.root()).string();
    const auto found = FindPorts(link);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].path, real + "/dev/ttyUSB0");
    EXPECT_EQ(found[1].path, real + "/" + DeviceTree::kAdapterAlias);
    EXPECT_EQ(found[2].path, real + "/dev/usb/lp0");
}

TEST(PortDiscovery, ThisMachine) {
    for (const auto& port : FindPorts("/")) {
        std::cout << port.path << "  " << port.description << "\n";
        // The kernel's own names, never where a link leads: /dev/serial/by-id names stay.
        EXPECT_EQ(port.path.rfind("/dev/", 0), 0u) << port.path;
        if (port.path.find("/by-id/") == std::string::npos) {
            EXPECT_EQ(fs::canonical(port.path).string(), port.path);
        }
    }
}
