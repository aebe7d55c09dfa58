#include "testing/CupsServer.h"

#include <cups/cups.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "links/UniqueFd.h"
#include "testing/Files.h"

extern char** environ;

namespace kelvo::testing {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr char kCupsd[] = "/usr/sbin/cupsd";
constexpr char kLpadmin[] = "/usr/sbin/lpadmin";
constexpr char kServerBin[] = "/usr/lib/cups";

// Runs a program with this process's environment minus NOTIFY_SOCKET (cupsd would report to a
// service manager that did not start it). The child gets SIGTERM should this process die first,
// so a crashed test leaves no cupsd behind.
pid_t Spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) != 0)
            env.push_back(*e);
    }
    env.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
    return pid;
}

// Waits for a child with a deadline; kills it when the deadline passes. Returns the wait status,
// or -1 when it had to be killed.
int WaitChild(pid_t pid, milliseconds timeout) {
    const auto deadline = steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0 && errno != EINTR)
            return -1;
        if (steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
}

bool SocketAnswers(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (!fd || path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

std::string CupsServer::MissingPieces() {
    std::string missing;
    for (const std::string& path : {std::string(kCupsd), std::string(kLpadmin),
                                    std::string(kServerBin) + "/backend/socket"}) {
        if (::access(path.c_str(), X_OK) != 0)
            missing += (missing.empty() ? "" : ", ") + path;
    }
    return missing.empty() ? "" : "not installed: " + missing;
}

CupsServer::CupsServer() {
    char tmpl[] = "/tmp/kelvo-cups-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    base_ = tmpl;
    // cupsd runs its backends as an unprivileged user that must reach the spool.
    ::chmod(base_.c_str(), 0755);
    const fs::path base(base_);
    for (const char* dir : {"etc/ppd", "spool/tmp", "state/certs", "cache", "log", "home", "bin"}) {
        fs::create_directories(base / dir);
    }

    std::string user = "lp";
    std::string groupName = "lp";
    if (::geteuid() != 0) {
        const passwd* pw = ::getpwuid(::geteuid());
        const struct group* gr = ::getgrgid(::getegid());
        if (pw == nullptr || gr == nullptr)
            throw std::runtime_error("no user or group name");
        user = pw->pw_name;
        groupName = gr->gr_name;
    }
    WriteFile(base / "etc/cups-files.conf",
              "ServerRoot " + base_ + "/etc\nStateDir " + base_ + "/state\nCacheDir " + base_ +
                  "/cache\nRequestRoot " + base_ + "/spool\nTempDir " + base_ +
                  "/spool/tmp\nServerBin " + kServerBin + "\nDataDir /usr/share/cups\n" +
                  "AccessLog " + base_ + "/log/access_log\nErrorLog " + base_ +
                  "/log/error_log\nPageLog " + base_ + "/log/page_log\nUser " + user + "\nGroup " +
                  groupName + "\nSystemGroup root\nPrintcap " + base_ +
                  "/printcap\nFileDevice No\n");
    WriteFile(base / "etc/cupsd.conf",
              "Listen " + base_ +
                  "/cups.sock\n"
                  "Browsing No\nBrowseLocalProtocols none\nDefaultShared No\nWebInterface No\n"
                  "LogLevel info\nMaxLogSize 0\nPreserveJobHistory Yes\nPreserveJobFiles No\n"
                  "MaxJobs 0\n"
                  "<Location />\n  Order allow,deny\n  Allow from 127.0.0.1\n  Allow from ::1\n"
                  "  Allow from @LOCAL\n</Location>\n"
                  "<Policy default>\n  JobPrivateAccess all\n  JobPrivateValues none\n"
                  "  SubscriptionPrivateAccess all\n  SubscriptionPrivateValues none\n"
                  "  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");
    // A copy of its own keeps cupsd clear of an AppArmor profile bound to the system's path.
    fs::copy_file(kCupsd, base / "bin/cupsd", fs::copy_options::overwrite_existing);
    fs::permissions(base / "bin/cupsd", fs::perms(0755));

    // The client side of this process (and of the programs it starts) talks to this server only.
    ::setenv("CUPS_SERVER", (base_ + "/cups.sock").c_str(), 1);
    ::setenv("CUPS_SERVERROOT", (base_ + "/etc").c_str(), 1);
    ::setenv("CUPS_STATEDIR", (base_ + "/state").c_str(), 1);
    ::setenv("HOME", (base_ + "/home").c_str(), 1);
    ::unsetenv("LPDEST");
    ::unsetenv("PRINTER");

    pid_ = Spawn({base_ + "/bin/cupsd", "-f", "-c", base_ + "/etc/cupsd.conf", "-s",
                  base_ + "/etc/cups-files.conf"});
    const auto deadline = steady_clock::now() + milliseconds(10000);
    while (!SocketAnswers(base_ + "/cups.sock")) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("cupsd ended at start: " + ErrorLog());
        }
        if (steady_clock::now() >= deadline) {
            Stop();
            throw std::runtime_error("cupsd did not answer: " + ErrorLog());
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

CupsServer::~CupsServer() {
    Stop();
    std::error_code ignored;
    fs::remove_all(base_, ignored);
}

void CupsServer::Stop() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    WaitChild(pid_, milliseconds(10000));
    pid_ = -1;
}

std::string CupsServer::ErrorLog() const {
    return FileBytes(base_ + "/log/error_log");
}

void CupsServer::AddRawQueue(const std::string& name, const std::string& host, uint16_t port) {
    AddQueue(name, "socket://" + host + ":" + std::to_string(port) + "/?contimeout=2&snmp=false");
}

void CupsServer::AddQueue(const std::string& name, const std::string& uri) {
    pid_t pid =
        Spawn({kLpadmin, "-p", name, "-v", uri, "-E", "-o", "printer-error-policy=abort-job"});
    int status = WaitChild(pid, milliseconds(20000));
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("lpadmin -p " + name + " failed: " + ErrorLog());
    }
}

std::vector<CupsServer::Job> CupsServer::Jobs() const {
    cups_job_t* jobs = nullptr;
    const int n = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, nullptr, 0, CUPS_WHICHJOBS_ALL);
    std::vector<Job> out;
    for (int i = 0; i < n; ++i) {
        out.push_back({jobs[i].id, jobs[i].dest ? jobs[i].dest : "",
                       jobs[i].title ? jobs[i].title : "", static_cast<int>(jobs[i].state)});
    }
    cupsFreeJobs(n, jobs);
    std::sort(out.begin(), out.end(), [](const Job& a, const Job& b) { return a.id < b.id; });
    return out;
}

bool CupsServer::WaitForJobsEnded(std::chrono::milliseconds timeout) const {
    const auto deadline = steady_clock::now() + timeout;
    for (;;) {
        auto jobs = Jobs();
        if (std::all_of(jobs.begin(), jobs.end(),
                        [](const Job& j) { return j.state >= IPP_JSTATE_CANCELED; })) {
            return true;
        }
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

}  // namespace kelvo::testing
