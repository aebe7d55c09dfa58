#include "links/SendRawToPrinter.h"

#include <cups/cups.h>

#include <memory>

namespace kelvo {

namespace {

struct DestsFree {
    int count;
    void operator()(cups_dest_t* d) const { cupsFreeDests(count, d); }
};

int ErrorCode() {
    ipp_status_t status = cupsLastError();
    // A failed look-up always names an error code, even if libcups left none behind.
    return status >= IPP_STATUS_ERROR_BAD_REQUEST ? static_cast<int>(status)
                                                  : static_cast<int>(IPP_STATUS_ERROR_NOT_FOUND);
}

}  // namespace

bool LookUpPrinter(const std::string& printerName, int& code) {
    // A null name would mean "the default printer"; an empty name must stay an empty name.
    std::unique_ptr<cups_dest_t, DestsFree> dest(
        cupsGetNamedDest(CUPS_HTTP_DEFAULT, printerName.c_str(), nullptr), DestsFree{1});
    if (!dest) {
        code = ErrorCode();
        return false;
    }
    code = 0;
    return true;
}

int SubmitRawJob(const std::string& printerName, const std::string& title, const char* data,
                 size_t size) {
    if (size == 0)
        return 0;
    const char* name = printerName.c_str();
    const int id = cupsCreateJob(CUPS_HTTP_DEFAULT, name, title.c_str(), 0, nullptr);
    if (id <= 0)
        return 0;
    bool ok = cupsStartDocument(CUPS_HTTP_DEFAULT, name, id, title.c_str(), CUPS_FORMAT_RAW, 1) ==
              HTTP_STATUS_CONTINUE;
    if (ok) {
        ok = cupsWriteRequestData(CUPS_HTTP_DEFAULT, data, size) == HTTP_STATUS_CONTINUE;
        // Always ends the request, so the connection is usable again for the cancel below.
        ok = cupsFinishDocument(CUPS_HTTP_DEFAULT, name) <= IPP_STATUS_OK_CONFLICTING && ok;
    }
    if (!ok) {
        cupsCancelJob2(CUPS_HTTP_DEFAULT, name, id, 0);
        return 0;
    }
    return id;
}

RawPrintResult SendRawToPrinter(const std::string& printerName, const std::string& data) {
    RawPrintResult result;
    if (int code = 0; !LookUpPrinter(printerName, code)) {
        result.error = "错误： " + std::to_string(code);
        return result;
    }
    result.jobId = SubmitRawJob(printerName, kRawJobName, data.data(), data.size());
    return result;
}

std::vector<std::string> InstalledPrinters() {
    cups_dest_t* raw = nullptr;
    const int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &raw);
    std::unique_ptr<cups_dest_t, DestsFree> dests(raw, DestsFree{count});
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        if (raw[i].instance == nullptr && raw[i].name != nullptr)
            names.emplace_back(raw[i].name);
    }
    return names;
}

}  // namespace kelvo
