#include "app/HeadlessPrinter.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

namespace {

// Jobs ended and not yet saved, at most: far more than a burst of receipts between two polls.
constexpr size_t kEndedKept = 256;
constexpr std::chrono::milliseconds kPoll{50};

kelvo::EventFd* stopSignal = nullptr;

void OnStopSignal(int) {
    stopSignal->Signal();  // one write to an eventfd: safe in a handler
}

QByteArray Bytes(const std::string& bytes) {
    return QByteArray(bytes.data(), qsizetype(bytes.size()));
}

// What went wrong saving `bytes` as `path`, or nothing.
QString Save(const QString& path, const QByteArray& bytes) {
    // Written aside and renamed into place: a reader, or a stop in the middle, never sees half a
    // file. Not synced to disk: the files are a record of a test run, and a sync per file would
    // cost more than the job itself.
    const QString aside = path + QStringLiteral(".part");
    QFile file(aside);
    QString why = file.open(QIODevice::WriteOnly) ? WriteWhole(file, bytes) : file.errorString();
    if (why.isEmpty() &&
        std::rename(QFile::encodeName(aside).constData(), QFile::encodeName(path).constData()) != 0)
        why = QString::fromLocal8Bit(std::strerror(errno));
    if (why.isEmpty())
        return why;
    QFile::remove(aside);
    return path + QStringLiteral(": ") + why;
}

// The highest number among the job-NNNN.* files in `dir`: a new run goes on from it, so that it
// neither overwrites an earlier run's jobs nor mixes its own in among them.
uint64_t LastJobNumber(const QString& dir) {
    uint64_t last = 0;
    for (const QString& name : QDir(dir).entryList({QStringLiteral("job-*.*")}, QDir::AllEntries)) {
        bool number = false;
        const uint64_t n = name.mid(4, name.indexOf(QLatin1Char('.')) - 4).toULongLong(&number);
        if (number)
            last = std::max(last, n);
    }
    return last;
}

// What every job is drawn and encoded with: one painter, whose pictures are drawn once, and the
// buffers a job's picture needs, kept for the next.
struct JobPictures {
    kelvo::paint::ReceiptPainter painter;
    std::vector<uchar> canvas;
    kelvo::paint::GreyPngWriter png;
};

// Saves the jobs a box's printers end, on the main thread, numbered in the order they ended; a
// status exchange is reported, not saved, and takes no number.
class JobSaver {
  public:
    // `name`: the lab's name of the printer, empty for the one printer of a run without a lab.
    // `drawn`: its jobs' pictures saved too.
    JobSaver(const QString& dir, std::string name, bool json, JobPictures& pictures, bool drawn)
        : dir_(dir),
          name_(std::move(name)),
          json_(json),
          drawn_(drawn),
          saved_(LastJobNumber(dir)),
          pictures_(pictures) {}

    // Whether it was a job (not a status exchange).
    bool SaveJob(const kelvo::printer::EndedJob& job) {
        const kelvo::printer::JobReport report = kelvo::printer::ReportOf(job);
        if (kelvo::printer::IsStatusExchange(report)) {
            Report(kelvo::json::Object().Add("event", "status exchange"), job,
                   "status exchange: " + Source(job) + ", answered " +
                       (report.statusAnswers.empty() ? std::string("nothing")
                                                     : kelvo::HexBytes(report.statusAnswers)),
                   [&](kelvo::json::Object& line) {
                       line.Add("answers", kelvo::HexBytes(report.statusAnswers));
                   });
            return false;
        }
        const uint64_t n = ++saved_;
        const QString base = QStringLiteral("job-%1").arg(n, 4, 10, QLatin1Char('0'));
        const std::string& raw = job.trace.bytes;
        QString files, why;
        const QDir dir(dir_);
        if (!dir_.isEmpty()) {
            QByteArray png;
            if (drawn_) {
                pictures_.painter.SetPaperWidth(job.paperDots);
                pictures_.painter.SetPaper(job.paper);
                png = pictures_.png.Write(pictures_.painter.Render(pictures_.canvas));
            }
            const std::string record = kelvo::printer::RecordJson(report, n);
            // The record last: once it is there, the job's other files are too.
            const std::pair<const char*, QByteArray> parts[] = {{".bin", Bytes(raw)},
                                                                {".png", png},
                                                                {".txt", Bytes(report.text)},
                                                                {".json", Bytes(record)}};
            QStringList saved;
            for (const auto& [suffix, bytes] : parts) {
                if (!drawn_ && std::strcmp(suffix, ".png") == 0)
                    continue;
                const QString path = dir.filePath(base + QLatin1String(suffix));
                why = Save(path, bytes);
                if (!why.isEmpty())
                    break;
                saved << path;
            }
            if (!why.isEmpty()) {
                // Half a job would pass for a whole one.
                for (const QString& path : saved)
                    QFile::remove(path);
                std::fprintf(stderr, "kelvotool virtual-printer: %s\n", qPrintable(why));
            }
            files = why.isEmpty() ? QStringLiteral(", saved as %1.*").arg(dir.filePath(base))
                                  : QStringLiteral(", NOT saved in %1").arg(dir_);
        }
        Report(kelvo::json::Object().Add("event", "job").Add("job", n), job,
               "job " + std::to_string(n) + ": " + Source(job) + files.toStdString(),
               [&](kelvo::json::Object& line) {
                   line.Add("first_line", job.record.firstLine)
                       .Add("lines", job.record.lines)
                       .Add("cuts", job.record.cuts);
                   if (dir_.isEmpty())
                       line.Null("saved");
                   else if (why.isEmpty())
                       line.Add("saved", dir.filePath(base).toStdString());
                   else
                       line.Add("saved", false).Add("error", why.toStdString());
               });
        return true;
    }

  private:
    static std::string Source(const kelvo::printer::EndedJob& job) {
        return std::to_string(job.record.bytes) + " bytes from " + job.record.endpoint + ", " +
               job.record.end;
    }
    // One line on stdout: `text`, or with --json `line` and the job's own members.
    template <class More>
    void Report(kelvo::json::Object line, const kelvo::printer::EndedJob& job,
                const std::string& text, More more) {
        if (json_) {
            if (name_.empty())
                line.Null("printer");
            else
                line.Add("printer", name_);
            line.Add("endpoint", job.record.endpoint)
                .Add("bytes", job.record.bytes)
                .Add("end", job.record.end);
            more(line);
            std::printf("%s\n", line.str().c_str());
        } else {
            std::printf("%s%s\n", name_.empty() ? "" : (name_ + ": ").c_str(), text.c_str());
        }
        std::fflush(stdout);
    }

    QString dir_;
    std::string name_;
    bool json_ = false;
    bool drawn_ = true;
    uint64_t saved_ = 0;
    JobPictures& pictures_;
};

// One printer of the run, with its folder.
struct RunPrinter {
    std::string name;  // empty without a lab
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
    for (const LabPrinter& p : lab) {
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
    // lab set NAME ...: a lab printer by its name, the one printer without a lab as "network".
    std::unique_ptr<kelvo::ControlServer> control;
    try {
        control = std::make_unique<kelvo::ControlServer>(
            request.control, [&printers](const std::string& line) {
                return kelvo::printer::ControlRequest(
                    line,
                    [&printers](const std::string& name, const kelvo::printer::FaultAction& a) {
                        for (RunPrinter& p : printers) {
                            if (name == (p.name.empty() ? kelvo::printer::PrinterBox::PrinterName(0)
                                                        : p.name)) {
                                p.box->Apply(a);
                                return true;
                            }
                        }
                        return false;
                    });
            });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvotool virtual-printer: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "kelvotool virtual-printer: control socket %s\n", control->Path().c_str());
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
    std::fflush(stdout);
    const int status = QGuiApplication::exec();
    control.reset();  // no change comes in while the printers stop
    for (RunPrinter& p : printers)
        p.box->Stop("cut short: the printer was stopped");
    saveEnded();
    return status;
}
