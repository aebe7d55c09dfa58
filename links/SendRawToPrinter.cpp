#include "links/SendRawToPrinter.h"

#include <cups/cups.h>
#include <dlfcn.h>

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

// libcups and the nineteen libraries it needs are loaded on the first call, not at start-up:
// most sessions never talk to the print server, and the window opens sooner without them.
// Only its types and constants come from the header; no symbol of it is linked.
struct CupsApi {
    decltype(&::cupsCancelJob2) cupsCancelJob2 = nullptr;
    decltype(&::cupsCreateJob) cupsCreateJob = nullptr;
    decltype(&::cupsDoRequest) cupsDoRequest = nullptr;
    decltype(&::cupsEncryption) cupsEncryption = nullptr;
    decltype(&::cupsFinishDocument) cupsFinishDocument = nullptr;
    decltype(&::cupsLastError) cupsLastError = nullptr;
    decltype(&::cupsLastErrorString) cupsLastErrorString = nullptr;
    decltype(&::cupsServer) cupsServer = nullptr;
    decltype(&::cupsStartDocument) cupsStartDocument = nullptr;
    decltype(&::cupsUser) cupsUser = nullptr;
    decltype(&::cupsWriteRequestData) cupsWriteRequestData = nullptr;
    decltype(&::httpAssembleURIf) httpAssembleURIf = nullptr;
    decltype(&::httpClose) httpClose = nullptr;
    decltype(&::httpConnect2) httpConnect2 = nullptr;
    decltype(&::httpSetTimeout) httpSetTimeout = nullptr;
    decltype(&::ippAddString) ippAddString = nullptr;
    decltype(&::ippDelete) ippDelete = nullptr;
    decltype(&::ippFindAttribute) ippFindAttribute = nullptr;
    decltype(&::ippFindNextAttribute) ippFindNextAttribute = nullptr;
    decltype(&::ippGetString) ippGetString = nullptr;
    decltype(&::ippNewRequest) ippNewRequest = nullptr;
    decltype(&::ippPort) ippPort = nullptr;
    std::string error;  // why the library is not there; empty once loaded
};

template <typename Fn>
void Bind(void* library, const char* name, Fn& out, std::string& error) {
    out = reinterpret_cast<Fn>(::dlsym(library, name));
    if (out == nullptr && error.empty())
        error = std::string("libcups has no ") + name;
}

CupsApi LoadCups() {
    CupsApi api;
    // Never closed: libcups keeps per-thread state for as long as the process runs.
    void* library = ::dlopen("libcups.so.2", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = ::dlerror();
        api.error = why != nullptr ? why : "cannot load libcups.so.2";
        return api;
    }
    Bind(library, "cupsCancelJob2", api.cupsCancelJob2, api.error);
    Bind(library, "cupsCreateJob", api.cupsCreateJob, api.error);
    Bind(library, "cupsDoRequest", api.cupsDoRequest, api.error);
    Bind(library, "cupsEncryption", api.cupsEncryption, api.error);
    Bind(library, "cupsFinishDocument", api.cupsFinishDocument, api.error);
    Bind(library, "cupsLastError", api.cupsLastError, api.error);
    Bind(library, "cupsLastErrorString", api.cupsLastErrorString, api.error);
    Bind(library, "cupsServer", api.cupsServer, api.error);
    Bind(library, "cupsStartDocument", api.cupsStartDocument, api.error);
    Bind(library, "cupsUser", api.cupsUser, api.error);
    Bind(library, "cupsWriteRequestData", api.cupsWriteRequestData, api.error);
    Bind(library, "httpAssembleURIf", api.httpAssembleURIf, api.error);
    Bind(library, "httpClose", api.httpClose, api.error);
    Bind(library, "httpConnect2", api.httpConnect2, api.error);
    Bind(library, "httpSetTimeout", api.httpSetTimeout, api.error);
    Bind(library, "ippAddString", api.ippAddString, api.error);
    Bind(library, "ippDelete", api.ippDelete, api.error);
    Bind(library, "ippFindAttribute", api.ippFindAttribute, api.error);
    Bind(library, "ippFindNextAttribute", api.ippFindNextAttribute, api.error);
    Bind(library, "ippGetString", api.ippGetString, api.error);
    Bind(library, "ippNewRequest", api.ippNewRequest, api.error);
    Bind(library, "ippPort", api.ippPort, api.error);
    return api;
}

// The library's calls; called only once CupsAvailable() said yes.
const CupsApi& Cups() {
    // Loaded once, whichever thread asks first (the printer list asks from its own).
    static const CupsApi api = LoadCups();
    return api;
}

// Whether libcups could be loaded; otherwise `why`, if given, says why not.
bool CupsAvailable(std::string* why = nullptr) {
    const std::string& error = Cups().error;
    if (!error.empty() && why != nullptr)
        *why = "print server not reachable: " + error;
    return error.empty();
}

constexpr int kConnectTimeoutMs = 5000;
constexpr auto kAnswerTimeout = 5s;
// CUPS asks the time-out callback after every slice without progress; a short slice lets a
// cancelled action give up at once instead of after the whole time-out.
constexpr auto kWaitSlice = 250ms;

struct HttpClose {
    void operator()(http_t* http) const { Cups().httpClose(http); }
};

// One connection to the print server for one call, bounded in every wait. libcups's own default
// connection has no bound at all, and cupsGetNamedDest / cupsGetDests2 open further connections
// of their own (DNS-SD look-ups, a second enumeration) that no time-out of ours reaches.
class ServerConnection {
  public:
    ServerConnection() {
        if (!CupsAvailable())
            return;
        http_.reset(Cups().httpConnect2(Cups().cupsServer(), Cups().ippPort(), nullptr, AF_UNSPEC,
                                        Cups().cupsEncryption(), 1, kConnectTimeoutMs, nullptr));
        if (http_) {
            Cups().httpSetTimeout(http_.get(), std::chrono::duration<double>(kWaitSlice).count(),
                                  KeepWaiting, this);
        }
    }
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    http_t* get() const { return http_.get(); }
    explicit operator bool() const { return http_ != nullptr; }

    // One English line on why the last request got no answer.
    std::string Failure() const {
        if (std::string why; !CupsAvailable(&why))
            return why;
        const std::string server = std::string("print server at ") + Cups().cupsServer();
        if (!http_)
            return server + " not reachable: " + Cups().cupsLastErrorString();
        if (cancelled_)
            return server + ": cancelled while waiting for it";
        if (gaveUp_)
            return server + " not answering: nothing for " +
                   std::to_string(std::chrono::seconds(kAnswerTimeout).count()) + " s";
        return server + " failed: " + Cups().cupsLastErrorString();
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
    void operator()(ipp_t* ipp) const { Cups().ippDelete(ipp); }
};
using IppResponse = std::unique_ptr<ipp_t, IppDelete>;

int ErrorCode() {
    ipp_status_t status = Cups().cupsLastError();
    // A failed look-up always names an error code, even if libcups left none behind.
    return status >= IPP_STATUS_ERROR_BAD_REQUEST ? static_cast<int>(status)
                                                  : static_cast<int>(IPP_STATUS_ERROR_NOT_FOUND);
}

void CancelJob(const std::string& printerName, int id) {
    // The job must go even when the action was cancelled: the clean-up is outside its monitor.
    TransferScope detached(nullptr);
    ServerConnection server;
    if (server)
        Cups().cupsCancelJob2(server.get(), printerName.c_str(), id, 0);
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
    Cups().httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost",
                            Cups().ippPort(), "/printers/%s", printerName.c_str());
    ipp_t* request = Cups().ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    Cups().ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    Cups().ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                        nullptr, "printer-name");
    Cups().ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                        Cups().cupsUser());
    IppResponse response(Cups().cupsDoRequest(server.get(), request, "/"));
    if (!response || Cups().cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
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
    const int id = Cups().cupsCreateJob(http, name, title.c_str(), 0, nullptr);
    if (id <= 0)
        return 0;
    bool ok = Cups().cupsStartDocument(http, name, id, title.c_str(), CUPS_FORMAT_RAW, 1) ==
              HTTP_STATUS_CONTINUE;
    if (ok) {
        ok = Cups().cupsWriteRequestData(http, data, size) == HTTP_STATUS_CONTINUE;
        // Always ends the request, so the server is not left waiting for the rest of it.
        ok = Cups().cupsFinishDocument(http, name) <= IPP_STATUS_OK_CONFLICTING && ok;
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
    ipp_t* request = Cups().ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    Cups().ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                        nullptr, "printer-name");
    Cups().ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                        Cups().cupsUser());
    IppResponse response(Cups().cupsDoRequest(server.get(), request, "/"));
    // cupsd answers "not found" when no printer is installed: an answer, not a failure.
    if (!response || (Cups().cupsLastError() > IPP_STATUS_OK_CONFLICTING &&
                      Cups().cupsLastError() != IPP_STATUS_ERROR_NOT_FOUND)) {
        if (why != nullptr)
            *why = server.Failure();
        return names;
    }
    for (ipp_attribute_t* a = Cups().ippFindAttribute(response.get(), "printer-name", IPP_TAG_NAME);
         a != nullptr;
         a = Cups().ippFindNextAttribute(response.get(), "printer-name", IPP_TAG_NAME)) {
        if (const char* name = Cups().ippGetString(a, 0, nullptr); name != nullptr)
            names.emplace_back(name);
    }
    // The order cupsGetDests2 gives (and cupsd keeps): by name, ignoring ASCII case.
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return ::strcasecmp(a.c_str(), b.c_str()) < 0;
    });
    return names;
}

}  // namespace kelvo
