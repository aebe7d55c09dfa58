#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "jobs/Jobs.h"
#include "links/StatusQuery.h"

namespace kelvo::cli {

// One printer as the command line names it:
//   10.0.0.5  10.0.0.5:9100  printer.lan     a network printer's raw port (9100 unless given)
//   ::1  [::1]:9100                           the same by IPv6 address
//   /dev/ttyUSB0  COM1  LPT1                 a serial or parallel port, by the window's names
//   file:PATH                                 a file, created or truncated
//   cups:QUEUE                                a print queue, one raw job
struct Printer {
    enum class Kind { Network, Device, File, Cups };
    Kind kind = Kind::Network;
    std::string name;  // as written
    std::string host;
    int port = 9100;
    std::string path;   // device or file
    std::string queue;  // CUPS
    uint32_t baud = 0;  // set on a serial port before sending; 0 leaves its line as it is
    // Values of this printer's own from a targets file, by column name.
    std::map<std::string, std::string> values;

    // Network printers take settings as lines; every other way takes the bytes alone.
    jobs::Over Over() const {
        return kind == Kind::Network ? jobs::Over::Network : jobs::Over::Device;
    }
    const char* KindName() const;
    // A value of its own, or `fallback`.
    std::string Value(const std::string& key, const std::string& fallback) const;
};

// HOST, HOST:PORT, IPv6 or [IPv6][:PORT]: the host, and the port's text when one is given. Nothing
// when brackets are not closed or something else follows them.
struct HostPort {
    std::string host;
    std::optional<std::string> port;
};
std::optional<HostPort> SplitHostPort(std::string_view text);

// Nothing and the reason when the text names no printer.
std::optional<Printer> ParsePrinter(std::string_view text, std::string* why);

// What one printer's action came to.
struct Outcome {
    enum class Result { Ok, Failed, Cancelled };
    Result result = Result::Ok;
    uint64_t bytes = 0;  // taken by the printer
    double seconds = 0;
    std::string error;  // one line
    // Command-specific answers ("mac", "status"), each a JSON value ready to print.
    std::map<std::string, std::string> json;
    // And the same for people.
    std::string text;
};
const char* ResultName(Outcome::Result result);

// Sends the job's pieces to the printer under this thread's transfer monitor, as the window's
// page for that kind of link sends them. Throws the link's failure.
void SendJob(const Printer& printer, const jobs::Job& job);

// Connects to a network printer and returns the four status answers; a port answers as a port.
// A print queue cannot answer: throws.
StatusAnswers AskStatus(const Printer& printer);

// Connects to a network printer and looks up its hardware address as the window's connect does.
std::string LookUpMac(const Printer& printer);

// Runs `action` with `cancelFd` as its cancel signal and `stallLimitMs` (0: the
// default) as its stall limit; the outcome says how it went, with the failure's text. `taken`
// (may be empty) hears of every run of bytes the printer takes, on the writing thread.
Outcome RunAction(int cancelFd, int stallLimitMs, const std::function<void(Outcome&)>& action,
                  const std::function<void(uint64_t bytes)>& taken = {});

}  // namespace kelvo::cli
