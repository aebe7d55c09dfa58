#include "links/PortDiscovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "links/UniqueFd.h"

namespace kelvo {

namespace {

// Paths below are as seen from inside the tree ("/sys/class/tty"). Links are followed as the
// kernel follows them when a listed path is opened, so what is checked is what will be opened:
// whatever resolves outside the tree is missing.
class Tree {
  public:
    // The root by its real path (a root reached through a link lists where its ports really are);
    // top_ is "" for the machine itself.
    explicit Tree(const std::string& root) {
        if (auto real = RealPath(root)) {
            top_ = *real == "/" ? "" : *real;
            found_ = true;
        }
    }

    bool Confined() const { return !top_.empty(); }
    std::string Outside(const std::string& path) const { return top_ + path; }

    // The link-free path that `path` names, if it exists inside the tree.
    std::optional<std::string> Resolve(const std::string& path) const {
        if (!found_)
            return std::nullopt;
        const auto real = RealPath(Outside(path));
        if (!real || top_.empty())
            return real;
        if (*real == top_)
            return "/";
        if (real->size() > top_.size() && real->compare(0, top_.size(), top_) == 0 &&
            (*real)[top_.size()] == '/')
            return real->substr(top_.size());
        return std::nullopt;
    }

    bool Exists(const std::string& path) const { return Resolve(path).has_value(); }

    // A sysfs attribute without its trailing newline; "" when missing. Only regular files are
    // read, so a device node or FIFO in a broken tree cannot block or be disturbed.
    std::string Read(const std::string& path) const {
        const auto resolved = Resolve(path);
        if (!resolved)
            return {};
        const std::string real = Outside(*resolved);
        struct stat st {};
        if (::stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return {};
        UniqueFd fd(::open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!fd)
            return {};
        char buf[256];
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        std::string text(buf, n > 0 ? static_cast<size_t>(n) : 0);
        const auto first = text.find_first_not_of(" \t\r\n");
        if (first == std::string::npos)
            return {};
        return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
    }

    std::vector<std::string> List(const std::string& dir) const {
        std::vector<std::string> names;
        const auto resolved = Resolve(dir);
        if (!resolved)
            return names;
        std::error_code ec;
        for (std::filesystem::directory_iterator it(Outside(*resolved), ec), end; !ec && it != end;
             it.increment(ec)) {
            names.push_back(it->path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // What a port at `path` is listed as. In a tree, the path it resolves to: the tree's links
    // were looked at once, here, and opening the listed path follows none of them. On the machine
    // itself, the name the kernel gave it.
    std::optional<std::string> Listed(const std::string& path) const {
        const auto resolved = Resolve(path);
        if (!resolved)
            return std::nullopt;
        return Confined() ? Outside(*resolved) : path;
    }

  private:
    static std::optional<std::string> RealPath(const std::string& path) {
        std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                         &std::free);
        if (!real)
            return std::nullopt;
        return std::string(real.get());
    }

    std::string top_;
    bool found_ = false;
};

std::optional<unsigned long> Number(const std::string& digits) {
    if (digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoul(digits);
}

// The names "<prefix><n>" in dir, by n rather than by spelling, so ttyUSB10 follows ttyUSB9.
std::vector<std::string> Numbered(const Tree& tree, const std::string& dir,
                                  const std::string& prefix) {
    std::vector<std::pair<unsigned long, std::string>> found;
    for (auto& name : tree.List(dir)) {
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        if (auto n = Number(name.substr(prefix.size())))
            found.emplace_back(*n, std::move(name));
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (auto& entry : found)
        names.push_back(std::move(entry.second));
    return names;
}

std::string UartDescription(unsigned long type) {
    // The kernel's PORT_* numbers for the 8250 family, the only UARTs a PC's ttyS has.
    static const char* const kNames[] = {
        "",      "8250",     "16450",  "16550", "16550A", "Cirrus", "16650",    "16650V2",
        "16750", "Startech", "16C950", "16654", "16850",  "RSA",    "NS16550A", "XScale"};
    return "serial port " +
           (type < std::size(kNames) ? kNames[type] : "type " + std::to_string(type));
}

// Interfaces and tty nodes hang below the USB device that carries the maker's names.
std::string UsbDescription(const Tree& tree, const std::string& kind,
                           const std::string& deviceLink) {
    std::optional<std::string> dir = tree.Resolve(deviceLink);
    while (dir && *dir != "/" && tree.Read(*dir + "/idVendor").empty())
        dir = dir->substr(0, std::max<size_t>(dir->rfind('/'), 1));
    if (!dir || *dir == "/")
        return kind;
    const std::string maker = tree.Read(*dir + "/manufacturer");
    std::string names = tree.Read(*dir + "/product");
    if (names.compare(0, maker.size(), maker) != 0)  // "EPSON" + "EPSON TM-T20II" says it twice
        names = names.empty() ? maker : maker + " " + names;
    std::string text = kind;
    if (!names.empty())
        text += ": " + names;
    return text + " (" + tree.Read(*dir + "/idVendor") + ":" + tree.Read(*dir + "/idProduct") + ")";
}

}  // namespace

std::string DeviceRoot() {
    const char* root = std::getenv("KELVOTOOL_DEVICE_ROOT");
    return root != nullptr && *root != '\0' ? root : "/";
}

std::vector<FoundPort> FindPorts(const std::string& root) {
    const Tree tree(root);
    std::vector<FoundPort> ports;

    // An alias keeps its own name, which is its point; its directory is listed by its real path
    // and its target must resolve inside the tree, so it opens nothing outside either.
    std::multimap<std::string, std::string> aliases;  // device as resolved -> its by-id paths
    if (const auto byId = tree.Listed("/dev/serial/by-id")) {
        for (const auto& name : tree.List("/dev/serial/by-id")) {
            if (auto target = tree.Resolve("/dev/serial/by-id/" + name))
                aliases.emplace(*target, *byId + "/" + name);
        }
    }
    auto addTty = [&](const std::string& name, const std::string& description) {
        const std::string dev = "/dev/" + name;
        const auto listed = tree.Listed(dev);
        if (!listed)
            return;
        ports.push_back({*listed, description});
        const auto [from, to] = aliases.equal_range(tree.Resolve(dev).value_or(dev));
        for (auto it = from; it != to; ++it)
            ports.push_back({it->second, "= " + *listed + ", " + description});
    };
    auto addPrinter = [&](const std::string& dev, const std::string& description) {
        if (const auto listed = tree.Listed(dev))
            ports.push_back({*listed, description});
    };

    // Most machines have far more ttyS than UARTs; the empty ones read type 0.
    for (const auto& name : Numbered(tree, "/sys/class/tty", "ttyS")) {
        const auto type = Number(tree.Read("/sys/class/tty/" + name + "/type"));
        if (type && *type != 0)
            addTty(name, UartDescription(*type));
    }
    for (const char* prefix : {"ttyUSB", "ttyACM"}) {
        for (const auto& name : Numbered(tree, "/sys/class/tty", prefix)) {
            const std::string sys = "/sys/class/tty/" + name;
            if (tree.Exists(sys))
                addTty(name, UsbDescription(tree, "USB serial", sys + "/device"));
        }
    }
    for (const auto& name : Numbered(tree, "/sys/class/lp", "lp")) {
        if (tree.Exists("/sys/class/lp/" + name))
            addPrinter("/dev/" + name, "parallel port");
    }
    for (const auto& name : Numbered(tree, "/sys/class/usbmisc", "lp")) {
        const std::string sys = "/sys/class/usbmisc/" + name;
        if (tree.Exists(sys))
            addPrinter("/dev/usb/" + name, UsbDescription(tree, "USB printer", sys + "/device"));
    }
    return ports;
}

}  // namespace kelvo
