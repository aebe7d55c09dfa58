#include "web/WebServer.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <ctime>
#include <stdexcept>
#include <utility>

#include "links/UniqueFd.h"
#include "printer/Endpoints.h"
#include "protocol/Json.h"
#include "web/PageFiles.h"

namespace kelvo::web {

namespace {

using namespace std::chrono_literals;

// How often a page following the news is told of state changes at the latest, and how long it
// may hear nothing before a comment line shows it is still there (and finds a page that left).
constexpr auto kStatePoll = 250ms;
constexpr auto kHeartbeat = 15s;
constexpr size_t kPageLimit = 200;
constexpr size_t kFirstLineBytes = 200;

struct Kind {
    const char* suffix;
    const char* type;
};
constexpr std::pair<const char*, Kind> kKinds[] = {
    {"png", {".png", "image/png"}},
    {"txt", {".txt", "text/plain; charset=utf-8"}},
    {"json", {".json", "application/json"}},
    {"bin", {".bin", "application/octet-stream"}},
};

const Kind* KindOf(const std::string& name) {
    for (const auto& [key, kind] : kKinds) {
        if (name == key)
            return &kind;
    }
    return nullptr;
}

std::optional<uint64_t> Number(const std::string& text) {
    uint64_t n = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return n;
}

// `name` in the folder whose real path is `dir`, opened for reading when it is a regular file
// whose own real path lies in that folder: a link out of it, or to something else, is not.
UniqueFd OpenInFolder(const std::string& dir, const std::string& name, struct stat& st) {
    if (dir.empty())
        return {};
    const std::string path = dir + "/" + name;
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) == nullptr)
        return {};
    const std::string inside = dir == "/" ? dir : dir + "/";
    if (!std::string_view(real).starts_with(inside))
        return {};
    // O_NOFOLLOW: a link put in its place since it was resolved is not followed either.
    UniqueFd fd(::open(real, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return fd;
}

std::string IsoTime(const timespec& t) {
    std::tm tm{};
    ::gmtime_r(&t.tv_sec, &tm);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    return text + std::string(".") + std::to_string(t.tv_nsec / 1000000 + 1000).substr(1) + "Z";
}

std::string Token() {
    unsigned char bytes[16];
    for (size_t got = 0; got < sizeof bytes;) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno != EINTR)
            throw std::runtime_error("no random bytes for the web page's token");
        got += n > 0 ? size_t(n) : 0;
    }
    static const char hex[] = "0123456789abcdef";
    std::string token;
    for (const unsigned char b : bytes)
        token += {hex[b >> 4], hex[b & 15]};
    return token;
}

// Compares in a time that does not tell how much of a guess was right.
bool SameToken(const std::string& given, const std::string& token) {
    unsigned char diff = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < token.size(); ++i)
        diff |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
    return diff == 0;
}

// The host part of a Host header ("127.0.0.1:8080", "[::1]:8080", "localhost").
std::string HostName(const std::string& header) {
    if (header.starts_with("[")) {
        const size_t end = header.find(']');
        return end == std::string::npos ? header : header.substr(1, end - 1);
    }
    return header.substr(0, header.rfind(':'));
}

void Json(httplib::Response& res, const std::string& json, int status = 200) {
    res.status = status;
    res.set_content(json, "application/json");
}

void Refuse(httplib::Response& res, int status, const std::string& why) {
    Json(res, json::Object().Add("error", why).str(), status);
}

bool Changes(const std::string& method) {
    return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

}  // namespace

struct WebServer::Seen {
    bool started = false;
    uint64_t news = 0;
    uint64_t lastJob = 0;
    uint64_t clears = 0;
    std::string printers;
    std::chrono::steady_clock::time_point wrote = std::chrono::steady_clock::now();
};

WebServer::WebServer(Options options, std::vector<WebPrinter> printers, Control control)
    : printers_(std::move(printers)),
      control_(std::move(control)),
      index_(printers_.size(), options.indexCap),
      host_(options.host),
      loopback_(printer::IsLoopbackHost(options.host)),
      token_(web::Token()),
      http_(std::make_unique<httplib::Server>()) {
    std::vector<std::pair<SavedJob, uint32_t>> saved;
    for (uint32_t i = 0; i < printers_.size(); ++i) {
        char real[PATH_MAX];
        const bool has = !printers_[i].jobsDir.empty() &&
                         ::realpath(printers_[i].jobsDir.c_str(), real) != nullptr;
        realDirs_.push_back(has ? std::string(real) : std::string());
        if (has) {
            for (const SavedJob& job : SavedJobs(realDirs_.back(), options.indexCap))
                saved.emplace_back(job, i);
        }
    }
    std::stable_sort(saved.begin(), saved.end(),
                     [](const auto& a, const auto& b) { return a.first.time < b.first.time; });
    for (const auto& [job, printer] : saved)
        index_.Add(printer, job.number);

    http_->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    Route();
    port_ = options.port == 0 ? http_->bind_to_any_port(host_)
                              : (http_->bind_to_port(host_, options.port) ? options.port : -1);
    if (port_ < 0)
        throw std::runtime_error("web page: cannot listen on " + host_ + ":" +
                                 std::to_string(options.port));
    thread_ = std::thread([this] {
        http_->listen_after_bind();
        listened_ = true;
    });
}

WebServer::~WebServer() {
    {
        std::lock_guard lock(newsMu_);
        stopping_ = true;
    }
    news_.notify_all();
    // stop() does nothing before the server's loop has begun: a server stopped at once waits
    // for it to begin.
    while (!http_->is_running() && !listened_)
        std::this_thread::yield();
    http_->stop();
    thread_.join();
}

std::string WebServer::Url() const {
    const std::string host = host_.find(':') == std::string::npos ? host_ : "[" + host_ + "]";
    return "http://" + host + ":" + std::to_string(port_) + "/";
}

void WebServer::JobSaved(size_t printer, uint64_t number) {
    if (printer < printers_.size()) {
        index_.Add(static_cast<uint32_t>(printer), number);
        Notify();
    }
}

void WebServer::Notify() {
    {
        std::lock_guard lock(newsMu_);
        ++newsCount_;
    }
    news_.notify_all();
}

int WebServer::PrinterNamed(const std::string& name) const {
    for (size_t i = 0; i < printers_.size(); ++i) {
        if (printers_[i].name == name)
            return static_cast<int>(i);
    }
    return -1;
}

std::string WebServer::PrintersJson() const {
    json::Array list;
    for (uint32_t i = 0; i < printers_.size(); ++i) {
        printer::PrinterBox& box = *printers_[i].box;
        const printer::StatusFlags flags =
            box.With(0, [](printer::VirtualPrinter& p) { return p.Flags(); });
        json::Object p;
        p.Add("name", printers_[i].name)
            .Add("state", printer::StateText(box))
            .Add("online", flags.online)
            .Add("cover_open", flags.coverOpen)
            .Add("paper_out", flags.paperOut)
            .Add("paper_near_end", flags.paperNearEnd)
            .Add("error", flags.error)
            .Add("drawer_open", flags.drawerOpen)
            .Add("tcp", box.TcpAddress());
        for (const auto& [key, value] :
             {std::pair{"serial", box.PtyPath()}, std::pair{"lpd", box.LpdAddress()}}) {
            if (value.empty())
                p.Null(key);
            else
                p.Add(key, value);
        }
        list.Raw(p.Add("jobs", uint64_t{index_.Count(i)}).str());
    }
    return json::Object().Raw("printers", list.str()).Add("token_needed", !loopback_).str();
}

std::string WebServer::JobJson(const JobIndex::Job& job) const {
    const std::string& dir = realDirs_[job.printer];
    const std::string base = JobBase(job.number);
    const std::string api = "/api/jobs/" + std::to_string(job.id);
    json::Object o;
    o.Add("id", job.id)
        .Add("printer", printers_[job.printer].name)
        .Add("job", job.number)
        .Add("name", base);
    struct stat st {};
    if (OpenInFolder(dir, base + ".json", st))
        o.Add("time", IsoTime(st.st_mtim));
    else
        o.Null("time");
    if (OpenInFolder(dir, base + ".bin", st))
        o.Add("bytes", uint64_t(st.st_size));
    else
        o.Null("bytes");
    std::string first;
    if (const UniqueFd text = OpenInFolder(dir, base + ".txt", st)) {
        char head[kFirstLineBytes];
        const ssize_t n = ::read(text.get(), head, sizeof head);
        first.assign(head, n > 0 ? size_t(n) : 0);
        first = first.substr(0, first.find('\n'));
    }
    json::Object files;
    for (const auto& [key, kind] : kKinds)
        files.Add(key, api + "/files/" + key);
    return o.Add("first_line", first).Raw("files", files.str()).str();
}

bool WebServer::News(Seen& seen, std::string& out) {
    if (!seen.started) {
        // Told at once what the page would otherwise wait a poll for.
        seen.started = true;
        out = "retry: 1000\n\n";
    } else {
        std::unique_lock lock(newsMu_);
        news_.wait_for(lock, kStatePoll, [&] { return stopping_ || newsCount_ != seen.news; });
        if (stopping_)
            return false;
        seen.news = newsCount_;
    }
    if (const uint64_t clears = index_.Clears(); clears != seen.clears) {
        seen.clears = clears;
        out += "event: cleared\ndata: {}\n\n";
    }
    for (const JobIndex::Job& job : index_.Since(seen.lastJob, kPageLimit)) {
        out += "event: job\ndata: " + JobJson(job) + "\n\n";
        seen.lastJob = job.id;
    }
    if (std::string printers = PrintersJson(); printers != seen.printers) {
        out += "event: printers\ndata: " + printers + "\n\n";
        seen.printers = std::move(printers);
    }
    const auto now = std::chrono::steady_clock::now();
    if (out.empty() && now - seen.wrote >= kHeartbeat)
        out = ": still here\n\n";
    if (!out.empty())
        seen.wrote = now;
    return true;
}

void WebServer::Route() {
    httplib::Server& http = *http_;
    // A change is a line of words; nothing bigger is read into memory.
    http.set_payload_max_length(4096);
    http.set_default_headers({
        {"X-Content-Type-Options", "nosniff"},
        {"Cache-Control", "no-store"},
        {"Content-Security-Policy",
         "default-src 'self'; img-src 'self'; frame-ancestors 'none'; form-action 'none'"},
        {"Referrer-Policy", "no-referrer"},
    });
    // What every request must pass before its route is looked at.
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        using R = httplib::Server::HandlerResponse;
        // On loopback, only for a loopback name: a page of another site that has its own name
        // point at 127.0.0.1 reads nothing.
        const std::string host = HostName(req.get_header_value("Host"));
        if (loopback_ && host != "localhost" && !printer::IsLoopbackHost(host)) {
            Refuse(res, 421, "this page answers to loopback names only");
            return R::Handled;
        }
        if (!Changes(req.method))
            return R::Unhandled;
        // A browser names the page that sends a request; a change from another site's page is
        // not the user's.
        const std::string origin = req.get_header_value("Origin");
        if (!origin.empty() && origin != "http://" + req.get_header_value("Host")) {
            Refuse(res, 403, "a change from another site's page");
            return R::Handled;
        }
        if (!loopback_ && !SameToken(req.get_header_value("Authorization"), "Bearer " + token_)) {
            Refuse(res, 403, "a change needs the token the printer printed at start");
            return R::Handled;
        }
        return R::Unhandled;
    });
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty())
            Refuse(res, res.status, res.status == 404 ? "no such page" : "refused");
    });

    for (size_t i = 0; i < kPageFileCount; ++i) {
        const PageFile& file = kPageFiles[i];
        const std::string type = file.path.ends_with(".js")    ? "text/javascript"
                                 : file.path.ends_with(".css") ? "text/css"
                                                               : "text/html; charset=utf-8";
        const auto serve = [file, type](const httplib::Request&, httplib::Response& res) {
            res.set_content(file.bytes.data(), file.bytes.size(), type.c_str());
        };
        http.Get(std::string(file.path), serve);
        if (file.path == "/index.html")
            http.Get("/", serve);
    }

    http.Get("/api/printers", [this](const httplib::Request&, httplib::Response& res) {
        Json(res, PrintersJson());
    });

    http.Get("/api/jobs", [this](const httplib::Request& req, httplib::Response& res) {
        std::optional<uint32_t> printer;
        if (req.has_param("printer")) {
            const int i = PrinterNamed(req.get_param_value("printer"));
            if (i < 0)
                return Refuse(res, 404, "no printer of that name");
            printer = static_cast<uint32_t>(i);
        }
        const std::optional<uint64_t> before =
            req.has_param("before") ? Number(req.get_param_value("before")) : uint64_t{0};
        const std::optional<uint64_t> limit =
            req.has_param("limit") ? Number(req.get_param_value("limit")) : uint64_t{50};
        if (!before || !limit || *limit == 0 || *limit > kPageLimit)
            return Refuse(res, 400, "before: a job's id; limit: 1 to 200");
        bool more = false;
        json::Array jobs;
        for (const JobIndex::Job& job : index_.Page(printer, *before, *limit, more))
            jobs.Raw(JobJson(job));
        Json(res, json::Object()
                      .Raw("jobs", jobs.str())
                      .Add("more", more)
                      .Add("last", index_.LastId())
                      .str());
    });

    http.Get(
        R"(/api/jobs/(\d{1,19}))", [this](const httplib::Request& req, httplib::Response& res) {
            const std::optional<JobIndex::Job> job = index_.Find(*Number(req.matches[1].str()));
            if (!job)
                return Refuse(res, 404, "no such job");
            Json(res, JobJson(*job));
        });

    http.Get(R"(/api/jobs/(\d{1,19})/files/(\w+))", [this](const httplib::Request& req,
                                                           httplib::Response& res) {
        const std::optional<JobIndex::Job> job = index_.Find(*Number(req.matches[1].str()));
        const Kind* kind = KindOf(req.matches[2].str());
        if (!job || !kind)
            return Refuse(res, 404, "no such job file");
        const std::string name = JobBase(job->number) + kind->suffix;
        struct stat st {};
        auto fd = std::make_shared<UniqueFd>(OpenInFolder(realDirs_[job->printer], name, st));
        if (!*fd)
            return Refuse(res, 404, "no such job file");
        if (req.get_param_value("download") == "1")
            res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
        // Read as it is sent: a job's bytes may be many megabytes.
        res.set_content_provider(size_t(st.st_size), kind->type,
                                 [fd](size_t offset, size_t length, httplib::DataSink& sink) {
                                     char chunk[1 << 16];
                                     const ssize_t n =
                                         ::pread(fd->get(), chunk, std::min(length, sizeof chunk),
                                                 static_cast<off_t>(offset));
                                     return n > 0 && sink.write(chunk, size_t(n));
                                 });
    });

    // ?after=ID: the news from that job on, so that a page misses none saved since it asked for
    // the list.
    http.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
        if (streams_.fetch_add(1) >= kStreams) {
            --streams_;
            res.set_header("Retry-After", "5");
            return Refuse(res, 503, "too many pages follow the news");
        }
        auto seen = std::make_shared<Seen>();
        seen.get()->lastJob =
            std::min(index_.LastId(), Number(req.get_param_value("after")).value_or(UINT64_MAX));
        seen.get()->clears = index_.Clears();
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, seen](size_t, httplib::DataSink& sink) {
                std::string out;
                return News(*seen, out) && (out.empty() || sink.write(out.data(), out.size()));
            },
            [this](bool) { --streams_; });
    });

    http.Post(R"(/api/printers/([^/]+)/set)",
              [this](const httplib::Request& req, httplib::Response& res) {
                  const std::string name = req.matches[1].str();
                  if (PrinterNamed(name) < 0)
                      return Refuse(res, 404, "no printer of that name");
                  if (std::any_of(req.body.begin(), req.body.end(),
                                  [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
                      return Refuse(res, 400, "one line: WHAT [on|off|MS]");
                  const std::string answer = control_("set " + name + " " + req.body);
                  if (answer != "ok")
                      return Refuse(res, 400, answer.substr(answer.starts_with("error: ") ? 7 : 0));
                  Notify();
                  Json(res, json::Object().Add("answer", answer).str());
              });

    http.Post(R"(/api/printers/([^/]+)/clear)", [this](const httplib::Request& req,
                                                       httplib::Response& res) {
        const int i = PrinterNamed(req.matches[1].str());
        if (i < 0)
            return Refuse(res, 404, "no printer of that name");
        const std::vector<JobIndex::Job> gone = index_.Clear(static_cast<uint32_t>(i));
        const std::string& dir = realDirs_[static_cast<size_t>(i)];
        for (const JobIndex::Job& job : dir.empty() ? std::vector<JobIndex::Job>() : gone) {
            // The record first: a job without it is no job to a later run either.
            for (const char* suffix : {".json", ".bin", ".png", ".txt"})
                ::unlink((dir + "/" + JobBase(job.number) + suffix).c_str());
        }
        Notify();
        Json(res, json::Object().Add("cleared", uint64_t{gone.size()}).str());
    });
}

}  // namespace kelvo::web
