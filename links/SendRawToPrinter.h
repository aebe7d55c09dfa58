#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// Every call talks to the print server (cupsServer(): CUPS_SERVER, client.conf, or the local
// socket) over a connection of its own that gives up after 5 s: 5 s to connect, and 5 s without
// a byte moving either way (a hung server: about 6 s a call, as libcups first waits a fixed
// second for an early reply). The calls are meant for an action's worker thread: they watch its
// TransferMonitor and give up once the action is cancelled, within that fixed second.

namespace kelvo {

// The job name every raw job of the tool shows in the queue (UTF-8, as IPP requires).
inline constexpr char kRawJobName[] = "正在处理打印...";

struct RawPrintResult {
    // Set only when the printer could not be opened (looked up): "错误： " followed directly by
    // the decimal CUPS status code, meant for a message box with one OK button. No job exists
    // then. 1030 (client-error-not-found): the printer is not installed; 1282
    // (server-error-service-unavailable): no print server to connect to; 1280
    // (server-error-internal-error): the server took the request but did not answer in time, or
    // the action was cancelled meanwhile.
    std::optional<std::string> error;
    // The queue's job number of the job that was handed over; 0 when no job was queued (open
    // failure, empty data, or a later failure, which is otherwise silent).
    int jobId = 0;
};

// Sends `data` unchanged (00 bytes included) to the installed printer `printerName` (UTF-8) as one
// raw job named kRawJobName, in one write. Returns when the spooler has the job, not when the
// printer has printed it. A job that was created is always either completed or cancelled, so no
// half-submitted job stays held in the queue.
//
// Empty data: the printer is still looked up (and an open failure reported), but no job is
// created, because CUPS refuses a document without bytes and would keep such a job held forever;
// the printer receives nothing either way.
RawPrintResult SendRawToPrinter(const std::string& printerName, const std::string& data);

// Submits one raw job of `size` bytes named `title` (UTF-8) to an installed printer. Returns the
// job number, or 0 when no job was queued; a job that failed half-way is cancelled. Empty data
// queues nothing (see above).
int SubmitRawJob(const std::string& printerName, const std::string& title, const char* data,
                 size_t size);

// True when CUPS knows a printer of that name; otherwise `code` gets the CUPS status (never 0).
bool LookUpPrinter(const std::string& printerName, int& code);

// The names of the installed printers in CUPS's order (sorted by name, ignoring case); the
// default printer is not moved to the front. Instances ("name/instance") are left out: they are
// option sets, not printers. Empty when the spooler cannot be reached or does not answer; then
// `why`, if given, gets one English line saying so ("print server at /run/cups/cups.sock not
// answering: ..."). `why` is emptied when the list is the server's answer, even an empty one.
std::vector<std::string> InstalledPrinters(std::string* why = nullptr);

}  // namespace kelvo
