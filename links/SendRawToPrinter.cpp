#include "links/SendRawToPrinter.h"

#include <cups/cups.h>

#include <strings.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "links/Transfer.h"

namespace kelvo {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kConnectTimeoutMs = 5000;
constexpr auto kAnswerTimeout = 5s;
// CUPS asks the time-out callback after every slice without progress; a short slice lets a
// cancelled action give up at once instead of after the whole time-out.
constexpr auto kWaitSlice = 250ms;

struct HttpClose {
    void operator()(http_t* http) const { httpClose(http); }
};

// One connection to the print server for one call, bounded in every wait. libcups's own default
// connection has no bound at all, and cupsGetNamedDest / cupsGetDests2 open further connections
// of their own (DNS-SD look-ups, a second enumeration) that no time-out of ours reaches.
class ServerConnection {
  public:
    ServerConnection()
        : http_(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                             kConnectTimeoutMs, nullptr)) {
        if (http_) {
            httpSetTimeout(http_.get(), std::chrono::duration<double>(kWaitSlice).count(),
                           KeepWaiting, this);
        }
    }
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    http_t* get() const { return http_.get(); }
    explicit operator bool() const { return http_ != nullptr; }

    // One English line on why the last request got no answer.
    std::string Failure() const {
        const std::string server = std::string("print server at ") + cupsServer();
        if (!http_)
            return server + " not reachable: " + cupsLastErrorString();
        if (cancelled_)
            return server + ": cancelled while waiting for it";
        if (gaveUp_)
            return server + " not answering: nothing for " +
                   std::to_string(std::chrono::seconds(kAnswerTimeout).count()) + " s";
        return server + " failed: " + cupsLastErrorString();
    }

  private:
    static int KeepWaiting(http_t*, void* context) {
        auto& self = *static_cast<ServerConnection*>(context);
        if (TransferCancelled()) {
            self.cancelled_ = true;
            return 0;
        }
        const auto now = Clock::now();
        // The slices of one stalled wait follow each other closely; a longer gap means bytes
        // moved in between, so the silence starts again.
        if (now - self.lastSlice_ > kWaitSlice + 100ms)
            self.silentSince_ = now - kWaitSlice;
        self.lastSlice_ = now;
        // Once silent for the whole time-out the server is taken as hung for this connection's
        // life: libcups waits once more for the same answer, and that wait must not start afresh.
        if (now - self.silentSince_ >= kAnswerTimeout)
            self.gaveUp_ = true;
        return self.gaveUp_ ? 0 : 1;
    }

    std::unique_ptr<http_t, HttpClose> http_;
    Clock::time_point lastSlice_{};
    Clock::time_point silentSince_{};
    bool gaveUp_ = false;
    bool cancelled_ = false;
};

struct IppDelete {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using IppResponse = std::unique_ptr<ipp_t, IppDelete>;

int ErrorCode() {
    ipp_status_t status = cupsLastError();
    // A failed look-up always names an error code, even if libcups left none behind.
    return status >= IPP_STATUS_ERROR_BAD_REQUEST ? static_cast<int>(status)
                                                  : static_cast<int>(IPP_STATUS_ERROR_NOT_FOUND);
}

void CancelJob(const std::string& printerName, int id) {
    // The job must go even when the action was cancelled: the clean-up is outside its monitor.
    TransferScope detached(nullptr);
    ServerConnection server;
    if (server)
        cupsCancelJob2(server.get(), printerName.c_str(), id, 0);
}

}  // namespace

bool LookUpPrinter(const std::string& printerName, int& code) {
    ServerConnection server;
    if (!server) {
        code = static_cast<int>(IPP_STATUS_ERROR_SERVICE_UNAVAILABLE);
        return false;
    }
    // What cupsGetNamedDest asks first, without its fall-back to a network-wide search.
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                     "/printers/%s", printerName.c_str());
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "printer-name");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    IppResponse response(cupsDoRequest(server.get(), request, "/"));
    if (!response || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
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
    ServerConnection server;
    if (!server)
        return 0;
    http_t* http = server.get();
    const char* name = printerName.c_str();
    const int id = cupsCreateJob(http, name, title.c_str(), 0, nullptr);
    if (id <= 0)
        return 0;
    bool ok = cupsStartDocument(http, name, id, title.c_str(), CUPS_FORMAT_RAW, 1) ==
              HTTP_STATUS_CONTINUE;
    if (ok) {
        ok = cupsWriteRequestData(http, data, size) == HTTP_STATUS_CONTINUE;
        // Always ends the request, so the server is not left waiting for the rest of it.
        ok = cupsFinishDocument(http, name) <= IPP_STATUS_OK_CONFLICTING && ok;
    }
    if (!ok) {
        CancelJob(printerName, id);
        return 0;
    }
    NoteSent(data, size);
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

std::vector<std::string> InstalledPrinters(std::string* why) {
    if (why != nullptr)
        why->clear();
    std::vector<std::string> names;
    ServerConnection server;
    if (!server) {
        if (why != nullptr)
            *why = server.Failure();
        return names;
    }
    // The request cupsGetDests2 makes, without the DNS-SD browsing it adds for a local server.
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "printer-name");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    IppResponse response(cupsDoRequest(server.get(), request, "/"));
    // cupsd answers "not found" when no printer is installed: an answer, not a failure.
    if (!response || (cupsLastError() > IPP_STATUS_OK_CONFLICTING &&
                      cupsLastError() != IPP_STATUS_ERROR_NOT_FOUND)) {
        if (why != nullptr)
            *why = server.Failure();
        return names;
    }
    for (ipp_attribute_t* a = ippFindAttribute(response.get(), "printer-name", IPP_TAG_NAME);
         a != nullptr; a = ippFindNextAttribute(response.get(), "printer-name", IPP_TAG_NAME)) {
        if (const char* name = ippGetString(a, 0, nullptr); name != nullptr)
            names.emplace_back(name);
    }
    // The order cupsGetDests2 gives (and cupsd keeps): by name, ignoring ASCII case.
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return ::strcasecmp(a.c_str(), b.c_str()) < 0;
    });
    return names;
}

}  // namespace kelvo
