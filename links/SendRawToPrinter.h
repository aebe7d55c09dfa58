#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kelvo {

// The job name every raw job of the tool shows in the queue (UTF-8, as IPP requires).
inline constexpr char kRawJobName[] = "正在处理打印...";

struct RawPrintResult {
    // Set only when the printer could not be opened (looked up): "错误： " followed directly by
    // the decimal CUPS status code (1030 for a printer that is not installed), meant for a message
    // box with one OK button. No job exists then.
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

// The names of the installed printers in CUPS's order (sorted by name); the default printer is
// not moved to the front. Instances ("name/instance") are left out: they are option sets, not
// printers. Empty when the spooler cannot be reached.
std::vector<std::string> InstalledPrinters();

}  // namespace kelvo
