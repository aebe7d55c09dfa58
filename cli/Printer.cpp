#include "cli/Printer.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "jobs/Send.h"
#include "links/DeviceFileOutput.h"
#include "links/NetworkLink.h"
#include "links/PortName.h"
#include "links/SendRawToPrinter.h"
#include "links/SerialLine.h"
#include "links/Transfer.h"
#include "links/UniqueFd.h"

namespace kelvo::cli {

namespace {

// The window's own words for the two failures every page reports.
constexpr char kConnectFailure[] =
    "连接打印机失败！请检查IP地址是否正确！(Connect the printer failure)";
constexpr char kSendFailure[] = "数据发送失败！ send failure";

std::string OneLine(std::string text) {
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;)
        text.replace(at, 2, " ");
    for (char& c : text) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return text;
}

// The link's failure, with the window's words for it in front.
[[noreturn]] void Fail(const char* windowText, const std::exception& e) {
    throw std::runtime_error(std::string(windowText) + ": " + OneLine(e.what()));
}

void ConnectLink(const Printer& printer, NetworkLink& link) {
    link.SetHost(printer.host);
    link.SetPort(printer.port);
    // A printer whose accept queue is full never answers the SYN: the kernel's retries alone
    // would take 15 s and more, whatever stall limit the user gave.
    link.SetConnectLimit(CurrentStallLimit());
    try {
        link.Connect();
    } catch (const std::exception& e) {
        Fail(kConnectFailure, e);
    }
}

// The line settings stay on a tty after close: set them once, then write as the page does.
void SetBaud(const Printer& printer) {
    const std::string path = ResolvePortName(printer.path).path;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        throw EInOutError(InOutErrorCodeFromErrno(errno), errno);
    SerialLineSettings line;
    line.baudRate = printer.baud;
    if (const int error = ApplySerialLine(fd.get(), line); error != 0)
        throw std::runtime_error("cannot set " + std::to_string(printer.baud) + " baud on " + path +
                                 ": " + std::strerror(error));
}

}  // namespace

const char* Printer::KindName() const {
    switch (kind) {
        case Kind::Network:
            return "network";
        case Kind::Device:
            return "device";
        case Kind::File:
            return "file";
        case Kind::Cups:
            return "cups";
    }
    return "";
}

std::string Printer::Value(const std::string& key, const std::string& fallback) const {
    auto found = values.find(key);
    return found == values.end() ? fallback : found->second;
}

std::optional<HostPort> SplitHostPort(std::string_view text) {
    HostPort out;
    if (text.starts_with('[')) {
        const size_t bracket = text.find(']');
        if (bracket == std::string_view::npos ||
            (bracket + 1 < text.size() && text[bracket + 1] != ':'))
            return std::nullopt;
        if (bracket + 1 < text.size())
            out.port = std::string(text.substr(bracket + 2));
        out.host = std::string(text.substr(1, bracket - 1));
        return out;
    }
    // Two colons or more: an IPv6 address without a port.
    const size_t colon = text.find(':');
    if (colon != std::string_view::npos && text.rfind(':') == colon) {
        out.port = std::string(text.substr(colon + 1));
        text = text.substr(0, colon);
    }
    out.host = std::string(text);
    return out;
}

std::optional<Printer> ParsePrinter(std::string_view text, std::string* why) {
    Printer printer;
    printer.name = std::string(text);
    auto refuse = [&](const std::string& reason) -> std::optional<Printer> {
        if (why != nullptr)
            *why = reason;
        return std::nullopt;
    };
    if (text.empty())
        return refuse("an empty printer name");
    if (text.starts_with("cups:")) {
        printer.kind = Printer::Kind::Cups;
        printer.queue = std::string(text.substr(5));
        if (printer.queue.empty())
            return refuse("cups: needs a queue name");
        return printer;
    }
    if (text.starts_with("file:")) {
        printer.kind = Printer::Kind::File;
        printer.path = std::string(text.substr(5));
        if (printer.path.empty())
            return refuse("file: needs a path");
        return printer;
    }
    if (const std::optional<unsigned long> port = PortNumber(printer.name); port && *port == 0)
        return refuse("'" + printer.name + "' names no port: they count from COM1 and LPT1");
    if (text.front() == '/' || text.starts_with("./") || PortNumber(printer.name)) {
        printer.kind = Printer::Kind::Device;
        printer.path = std::string(text);
        return printer;
    }
    printer.kind = Printer::Kind::Network;
    const std::optional<HostPort> where = SplitHostPort(text);
    if (!where)
        return refuse("'" + std::string(text) + "' names no printer");
    printer.host = where->host;
    if (where->port) {
        const std::string_view port = *where->port;
        auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), printer.port);
        if (error != std::errc() || end != port.data() + port.size() || printer.port < 1 ||
            printer.port > 65535)
            return refuse("'" + std::string(port) + "' is no TCP port");
    }
    if (printer.host.empty() || printer.host.find_first_of(" /") != std::string::npos)
        return refuse("'" + std::string(text) + "' names no printer");
    return printer;
}

const char* ResultName(Outcome::Result result) {
    switch (result) {
        case Outcome::Result::Ok:
            return "ok";
        case Outcome::Result::Failed:
            return "failed";
        case Outcome::Result::Cancelled:
            return "cancelled";
    }
    return "";
}

void SendJob(const Printer& printer, const jobs::Job& job) {
    switch (printer.kind) {
        case Printer::Kind::Network: {
            NetworkLink link;
            ConnectLink(printer, link);
            try {
                jobs::Send(link, job);
                link.Disconnect();
            } catch (const std::exception& e) {
                Fail(kSendFailure, e);
            }
            return;
        }
        case Printer::Kind::Device:
        case Printer::Kind::File:
            try {
                if (printer.baud != 0)
                    SetBaud(printer);
                jobs::SendToDevice(printer.path, job);
            } catch (const std::exception& e) {
                Fail(kSendFailure, e);
            }
            return;
        case Printer::Kind::Cups: {
            const RawPrintResult sent = SendRawToPrinter(printer.queue, jobs::WireBytes(job));
            if (sent.error)
                throw std::runtime_error(OneLine(*sent.error));
            if (sent.jobId <= 0)
                throw std::runtime_error("no job queued");
            return;
        }
    }
}

StatusAnswers AskStatus(const Printer& printer) {
    switch (printer.kind) {
        case Printer::Kind::Network: {
            NetworkLink link;
            ConnectLink(printer, link);
            StatusAnswers answers = QueryStatus(link);
            answers.unsolicited += link.TakeUnsolicited();
            return answers;
        }
        case Printer::Kind::Device:
            return QueryDeviceStatus(printer.path);
        case Printer::Kind::File:
            throw std::runtime_error("a file cannot answer");
        case Printer::Kind::Cups:
            break;
    }
    throw std::runtime_error("The print spooler cannot read the printer's status");
}

std::string LookUpMac(const Printer& printer) {
    if (printer.kind != Printer::Kind::Network)
        throw std::runtime_error("only a network printer has a MAC address");
    NetworkLink link;
    ConnectLink(printer, link);
    const std::string address = link.PeerAddress();
    const std::string mac = NetworkLink::LookupPrinterMac(address);
    if (mac == NetworkLink::kNoMac)
        throw std::runtime_error("no MAC address found for " + address +
                                 " in the neighbour table (loopback, IPv6 and printers behind a "
                                 "router have none there)");
    return mac;
}

namespace {

struct Watch {
    Outcome* outcome;
    const std::function<void(uint64_t)>* taken;
};

}  // namespace

Outcome RunAction(int cancelFd, int stallLimitMs, const std::function<void(Outcome&)>& action,
                  const std::function<void(uint64_t)>& taken) {
    Outcome outcome;
    Watch watch{&outcome, &taken};
    TransferMonitor monitor;
    monitor.cancelFd = cancelFd;
    monitor.stallLimitMs = stallLimitMs;
    monitor.context = &watch;
    monitor.sent = [](void* context, const char*, uint64_t size) {
        auto* w = static_cast<Watch*>(context);
        w->outcome->bytes += size;
        if (*w->taken)
            (*w->taken)(size);
    };
    const auto start = std::chrono::steady_clock::now();
    try {
        TransferScope scope(&monitor);
        action(outcome);
    } catch (const std::exception& e) {
        pollfd cancel{cancelFd, POLLIN, 0};
        const bool cancelled = cancelFd >= 0 && ::poll(&cancel, 1, 0) > 0;
        outcome.result = cancelled ? Outcome::Result::Cancelled : Outcome::Result::Failed;
        outcome.error = OneLine(e.what());
    }
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return outcome;
}

}  // namespace kelvo::cli
