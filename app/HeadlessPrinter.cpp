#include "app/HeadlessPrinter.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/JobSaver.h"
#include "app/LabFile.h"
#include "cli/Drawing.h"
#include "links/ControlSocket.h"
#include "links/EventFd.h"
#include "paint/GreyPng.h"
#include "paint/ReceiptPainter.h"
#include "printer/Endpoints.h"
#include "printer/Faults.h"
#include "printer/JobReport.h"
#include "printer/PrinterBox.h"
#include "printer/VirtualPrinter.h"
#include "protocol/Decoder.h"
#include "protocol/Json.h"
#include "web/WebServer.h"

namespace {

// Jobs ended and not yet saved, at most: far more than a burst of receipts between two polls.
constexpr size_t kEndedKept = 256;
constexpr std::chrono::milliseconds kPoll{50};

kelvo::EventFd* stopSignal = nullptr;

void OnStopSignal(int) {
    stopSignal->Signal();  // one write to an eventfd: safe in a handler
}

// One printer of the run, with its folder.
struct RunPrinter {
    std::string name;  // empty without a lab
    std::string jobs;  // its folder; empty: its jobs are reported, not kept
    std::unique_ptr<kelvo::printer::PrinterBox> box;
    std::unique_ptr<JobSaver> saver;
    uint64_t lost = 0;
    uint64_t changes = 0;
};

// The one printer of a run without a lab, from the command line's options.
LabPrinter CommandLinePrinter(const kelvo::cli::HeadlessPrinterRequest& request) {
    LabPrinter p;
    p.host = request.host.value_or("127.0.0.1");
    p.port = request.port.value_or(9100);
    p.lpdPort = request.lpdPort;
    p.lpdHost = request.lpdHost;
    p.serial = true;
    p.paperDots = request.paperDots;
    p.save = request.saveDir;
    p.script = request.faults;
    p.persona = request.persona;
    return p;
}

}  // namespace

QString WriteWhole(QFile& file, const QByteArray& bytes) {
    // Qt buffers: a full disk may show only at the flush, or at the close.
    if (file.write(bytes) != bytes.size() || !file.flush())
        return file.errorString();
    file.close();
    return file.error() == QFileDevice::NoError ? QString() : file.errorString();
}

int RunHeadlessPrinter(const kelvo::cli::HeadlessPrinterRequest& request) {
    std::vector<LabPrinter> lab;
    try {
        lab = request.lab.empty() ? std::vector{CommandLinePrinter(request)}
                                  : ReadLabFile(request.lab);
    } catch (const LabError& e) {
        std::fprintf(stderr, "kelvotool virtual-printer: %s\n", e.what());
        return 2;
    }
    // Read before anything starts: a wrong step is a wrong command line, or a wrong lab file.
    std::vector<std::vector<kelvo::printer::FaultStep>> scripts;
    for (const LabPrinter& p : lab) {
        try {
            scripts.push_back(kelvo::printer::ParseFaultScript(p.script));
        } catch (const std::invalid_argument& e) {
            std::fprintf(stderr, "kelvotool virtual-printer: %s: %s\n",
                         p.name.empty() ? "--faults" : (p.name + ": script").c_str(), e.what());
            return 2;
        }
    }
    // Without a lab the default address is a wish: taken, the next free one will do.
    const bool named = !request.lab.empty() || request.host.has_value();
    kelvo::printer::StatusFlags flags;
    flags.paperOut = request.paperOut;
    flags.paperNearEnd = request.paperNearEnd;
    flags.coverOpen = request.coverOpen;
    flags.drawerOpen = request.drawerOpen;
    // A page shows saved jobs: a printer that keeps none keeps them for the page's sake, for as
    // long as it runs.
    std::vector<std::unique_ptr<QTemporaryDir>> pageOnly;
    for (LabPrinter& p : lab) {
        if (request.httpPort && p.save.empty()) {
            pageOnly.push_back(std::make_unique<QTemporaryDir>());
            if (!pageOnly.back()->isValid()) {
                std::fprintf(stderr,
                             "kelvotool virtual-printer: no folder for the page's jobs: %s\n",
                             qPrintable(pageOnly.back()->errorString()));
                return 1;
            }
            p.save = QFile::encodeName(pageOnly.back()->path()).toStdString();
        }
        const QString jobs = QString::fromLocal8Bit(p.save.c_str());
        if (!jobs.isEmpty() && !QDir().mkpath(jobs)) {
            std::fprintf(stderr, "kelvotool virtual-printer: cannot make %s\n", qPrintable(jobs));
            return 1;
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    char name[] = "kelvotool";
    char* argv[] = {name, nullptr};
    int qtArgc = 1;
    QGuiApplication app(qtArgc, argv);

    // Kept to the end of the process: the handler stays installed after this returns.
    static kelvo::EventFd stop;
    stopSignal = &stop;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader of our output that has gone (`| head -1`) must not take the printer with it.
    signal(SIGPIPE, SIG_IGN);
    QSocketNotifier stopped(stop.fd(), QSocketNotifier::Read);
    QObject::connect(&stopped, &QSocketNotifier::activated, &app, [] { QGuiApplication::quit(); });

    JobPictures pictures;
    std::vector<RunPrinter> printers;
    for (const LabPrinter& p : lab) {
        RunPrinter& run = printers.emplace_back();
        run.name = p.name;
        run.jobs = p.save;
        std::vector<std::string> warnings;
        kelvo::printer::PrinterBox::Options options = BoxOptionsOf(p, named, warnings);
        for (const std::string& warning : warnings)
            std::fprintf(stderr, "kelvotool virtual-printer: %s\n", warning.c_str());
        options.keepEnded = kEndedKept;
        options.script = scripts[printers.size() - 1];
        options.printSpeedMmPerSecond = static_cast<double>(request.speedMmPerSecond);
        if (request.idle)
            options.tcp.idleLimit = *request.idle;
        try {
            run.box = std::make_unique<kelvo::printer::PrinterBox>(options);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kelvotool virtual-printer: %s%s\n",
                         p.name.empty() ? "" : (p.name + ": ").c_str(), e.what());
            return 1;
        }
        run.box->SetFlags(flags);
        run.saver = std::make_unique<JobSaver>(QString::fromLocal8Bit(p.save.c_str()), p.name,
                                               request.json, pictures, p.pictures);
    }
    // lab set NAME ...: a lab printer by its name, the one printer without a lab as "network";
    // the page's changes are the same requests.
    const auto nameOf = [](const RunPrinter& p) {
        return p.name.empty() ? std::string(kelvo::printer::PrinterBox::PrinterName(0)) : p.name;
    };
    const auto controlRequest = [&printers, nameOf](const std::string& line) {
        return kelvo::printer::ControlRequest(
            line,
            [&printers, nameOf](const std::string& name, const kelvo::printer::FaultAction& a) {
                for (RunPrinter& p : printers) {
                    if (name == nameOf(p)) {
                        p.box->Apply(a);
                        return true;
                    }
                }
                return false;
            });
    };
    std::unique_ptr<kelvo::ControlServer> control;
    try {
        control = std::make_unique<kelvo::ControlServer>(request.control, controlRequest);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvotool virtual-printer: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "kelvotool virtual-printer: control socket %s\n", control->Path().c_str());
    std::unique_ptr<kelvo::web::WebServer> web;
    if (request.httpPort) {
        std::vector<kelvo::web::WebPrinter> shown;
        for (const RunPrinter& p : printers)
            shown.push_back({nameOf(p), p.jobs, p.box.get()});
        try {
            web = std::make_unique<kelvo::web::WebServer>(
                kelvo::web::WebServer::Options{request.httpHost.value_or("127.0.0.1"),
                                               *request.httpPort},
                std::move(shown), controlRequest);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kelvotool virtual-printer: %s\n", e.what());
            return 1;
        }
        for (size_t i = 0; i < printers.size(); ++i)
            printers[i].saver->OnSaved([&web, i](uint64_t n) {
                if (web)  // gone while the last jobs are saved
                    web->JobSaved(i, n);
            });
        if (!web->Loopback()) {
            std::fprintf(stderr,
                         "kelvotool virtual-printer: warning: web page on %s: anyone who can reach "
                         "it can see the jobs; a change needs the token %s (%s#token=%s)\n",
                         request.httpHost->c_str(), web->Token().c_str(), web->Url().c_str(),
                         web->Token().c_str());
        }
    }
    uint64_t jobs = 0;
    auto saveEnded = [&] {
        bool ended = false;
        for (RunPrinter& p : printers) {
            const std::vector<kelvo::printer::EndedJob> taken = p.box->TakeEnded();
            // Each ended job holds its own paper: the printers' rolls, which only a window
            // shows, need not keep it too (a lab of a hundred would hold a roll each).
            for (int i = 0; !taken.empty() && i < kelvo::printer::PrinterBox::kPrinters; ++i) {
                p.box->With(i, [](kelvo::printer::VirtualPrinter& printer) {
                    if (!printer.JobRunning())
                        printer.ClearPaper();
                });
            }
            for (const auto& job : taken) {
                jobs += p.saver->SaveJob(job) ? 1 : 0;
                ended = true;
            }
            if (const uint64_t now = p.box->EndedLost(); now != p.lost) {
                std::fprintf(stderr,
                             "kelvotool virtual-printer: %s%llu jobs ended faster than they "
                             "could be saved and were not saved\n",
                             p.name.empty() ? "" : (p.name + ": ").c_str(),
                             static_cast<unsigned long long>(now - p.lost));
                p.lost = now;
            }
        }
        return ended;
    };
    auto lastHeard = std::chrono::steady_clock::now();
    // Polled as the window polls: a serial frame ends only when the line has paused.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        bool heard = false;
        for (RunPrinter& p : printers) {
            p.box->EndPausedFrame();
            const uint64_t changes = p.box->Changes();
            heard = heard || changes != p.changes || p.box->TcpServing();
            p.changes = changes;
        }
        heard = saveEnded() || heard;
        const auto now = std::chrono::steady_clock::now();
        if (heard)
            lastHeard = now;
        if ((request.exitAfter && jobs >= *request.exitAfter) ||
            (request.exitIdle && now - lastHeard >= *request.exitIdle))
            QGuiApplication::quit();
    });
    poll.start(kPoll);
    for (const RunPrinter& p : printers) {
        const kelvo::printer::PrinterBox& box = *p.box;
        if (request.json) {
            kelvo::json::Object line;
            line.Add("event", "listening");
            if (p.name.empty())
                line.Null("printer");
            else
                line.Add("printer", p.name);
            line.Add("tcp", box.TcpAddress());
            for (const auto& [key, value] :
                 {std::pair{"serial", box.PtyPath()}, std::pair{"lpd", box.LpdAddress()}}) {
                if (value.empty())
                    line.Null(key);
                else
                    line.Add(key, value);
            }
            std::printf("%s\n", line.str().c_str());
        } else {
            const std::string serial = box.PtyPath().empty() ? "" : ", serial " + box.PtyPath();
            const std::string lpd = box.LpdAddress().empty() ? "" : ", LPD " + box.LpdAddress();
            std::printf("virtual printer%s: TCP %s%s%s\n",
                        p.name.empty() ? "" : (" " + p.name).c_str(), box.TcpAddress().c_str(),
                        serial.c_str(), lpd.c_str());
        }
    }
    if (web && request.json)
        std::printf("%s\n",
                    kelvo::json::Object().Add("event", "web").Add("url", web->Url()).str().c_str());
    else if (web)
        std::printf("web page: %s\n", web->Url().c_str());
    std::fflush(stdout);
    const int status = QGuiApplication::exec();
    web.reset();
    control.reset();  // no change comes in while the printers stop
    for (RunPrinter& p : printers)
        p.box->Stop("cut short: the printer was stopped");
    saveEnded();
    return status;
}
