#include "links/PortDiscovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <utility>

#include "links/UniqueFd.h"

namespace kelvo {

namespace {

// Paths below are as seen from inside the tree ("/sys/class/tty"); top is the tree's own path
// without a trailing slash, so "" stands for the real root.
class Tree {
  public:
    explicit Tree(const std::string& root) : top_(root) {
        while (!top_.empty() && top_.back() == '/')
            top_.pop_back();
    }

    std::string Outside(const std::string& path) const { return top_ + path; }

    // Follows links as the kernel would if the tree were "/": ".." stops at the top and an
    // absolute target starts there again, so no link in a test tree leads to the real devices.
    std::optional<std::string> Resolve(const std::string& path) const {
        std::vector<std::string> done;
        std::deque<std::string> todo = Split(path);
        int links = 0;
        while (!todo.empty()) {
            std::string piece = std::move(todo.front());
            todo.pop_front();
            if (piece.empty() || piece == ".")
                continue;
            if (piece == "..") {
                if (!done.empty())
                    done.pop_back();
                continue;
            }
            done.push_back(std::move(piece));
            const std::string real = top_ + Join(done);
            struct stat st {};
            if (::lstat(real.c_str(), &st) != 0)
                return std::nullopt;
            if (!S_ISLNK(st.st_mode))
                continue;
            char target[4096];
            const ssize_t n = ::readlink(real.c_str(), target, sizeof target);
            if (n <= 0 || n == static_cast<ssize_t>(sizeof target) || ++links > 40)
                return std::nullopt;
            done.pop_back();
            if (target[0] == '/')
                done.clear();
            std::deque<std::string> more = Split(std::string(target, static_cast<size_t>(n)));
            todo.insert(todo.begin(), more.begin(), more.end());
        }
        return Join(done);
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

  private:
    static std::deque<std::string> Split(const std::string& path) {
        std::deque<std::string> pieces;
        size_t start = 0;
        while (start <= path.size()) {
            const size_t slash = std::min(path.find('/', start), path.size());
            pieces.push_back(path.substr(start, slash - start));
            start = slash + 1;
        }
        return pieces;
    }

    static std::string Join(const std::vector<std::string>& pieces) {
        std::string path;
        for (const auto& piece : pieces)
            path += "/" + piece;
        return path.empty() ? "/" : path;
    }

    std::string top_;
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

    std::multimap<std::string, std::string> aliases;  // device as resolved -> its by-id names
    for (const auto& name : tree.List("/dev/serial/by-id")) {
        if (auto target = tree.Resolve("/dev/serial/by-id/" + name))
            aliases.emplace(*target, name);
    }
    auto addTty = [&](const std::string& name, const std::string& description) {
        const std::string dev = "/dev/" + name;
        ports.push_back({tree.Outside(dev), description});
        const auto [from, to] = aliases.equal_range(tree.Resolve(dev).value_or(dev));
        for (auto it = from; it != to; ++it) {
            ports.push_back({tree.Outside("/dev/serial/by-id/" + it->second),
                             "= " + tree.Outside(dev) + ", " + description});
        }
    };

    // Most machines have far more ttyS than UARTs; the empty ones read type 0.
    for (const auto& name : Numbered(tree, "/sys/class/tty", "ttyS")) {
        const auto type = Number(tree.Read("/sys/class/tty/" + name + "/type"));
        if (type && *type != 0 && tree.Exists("/dev/" + name))
            addTty(name, UartDescription(*type));
    }
    for (const char* prefix : {"ttyUSB", "ttyACM"}) {
        for (const auto& name : Numbered(tree, "/sys/class/tty", prefix)) {
            const std::string sys = "/sys/class/tty/" + name;
            if (tree.Exists(sys) && tree.Exists("/dev/" + name))
                addTty(name, UsbDescription(tree, "USB serial", sys + "/device"));
        }
    }
    for (const auto& name : Numbered(tree, "/sys/class/lp", "lp")) {
        if (tree.Exists("/sys/class/lp/" + name) && tree.Exists("/dev/" + name))
            ports.push_back({tree.Outside("/dev/" + name), "parallel port"});
    }
    for (const auto& name : Numbered(tree, "/sys/class/usbmisc", "lp")) {
        const std::string sys = "/sys/class/usbmisc/" + name;
        if (tree.Exists(sys) && tree.Exists("/dev/usb/" + name))
            ports.push_back({tree.Outside("/dev/usb/" + name),
                             UsbDescription(tree, "USB printer", sys + "/device")});
    }
    return ports;
}

}  // namespace kelvo
