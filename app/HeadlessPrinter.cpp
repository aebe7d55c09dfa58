#include "app/HeadlessPrinter.h"

#include <QBuffer>
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

#include "cli/Drawing.h"
#include "links/ControlSocket.h"
#include "links/EventFd.h"
#include "paint/ReceiptPainter.h"
#include "printer/Endpoints.h"
#include "printer/Faults.h"
#include "printer/JobReport.h"
#include "printer/PrinterBox.h"
#include "printer/VirtualPrinter.h"

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

// Saves the jobs the box's printers end, on the main thread, numbered in the order they ended.
class JobSaver {
  public:
    explicit JobSaver(const QString& dir) : dir_(dir), saved_(LastJobNumber(dir)) {}

    void SaveJob(const kelvo::printer::EndedJob& job) {
        const uint64_t n = ++saved_;
        const QString base = QStringLiteral("job-%1").arg(n, 4, 10, QLatin1Char('0'));
        const std::string& raw = job.trace.bytes;
        QString files;
        if (!dir_.isEmpty()) {
            // One painter for every job: the pictures it has drawn are drawn once.
            painter_.SetPaperWidth(job.paperDots);
            painter_.SetPaper(job.paper);
            const QImage image = painter_.Render();
            const kelvo::printer::JobReport report = kelvo::printer::ReportOf(job);
            const std::string record = kelvo::printer::RecordJson(report, n);
            const QDir dir(dir_);
            // The record last: once it is there, the job's other files are too.
            const std::pair<const char*, QByteArray> parts[] = {{".bin", Bytes(raw)},
                                                                {".png", PngBytes(image)},
                                                                {".txt", Bytes(report.text)},
                                                                {".json", Bytes(record)}};
            QStringList saved;
            QString why;
            for (const auto& [suffix, bytes] : parts) {
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
        std::printf("job %llu: %llu bytes from %s, %s%s\n", static_cast<unsigned long long>(n),
                    static_cast<unsigned long long>(job.record.bytes), job.record.endpoint.c_str(),
                    job.record.end.c_str(), qPrintable(files));
        std::fflush(stdout);
    }

  private:
    QString dir_;
    uint64_t saved_ = 0;
    kelvo::paint::ReceiptPainter painter_;
};

}  // namespace

QString WriteWhole(QFile& file, const QByteArray& bytes) {
    // Qt buffers: a full disk may show only at the flush, or at the close.
    if (file.write(bytes) != bytes.size() || !file.flush())
        return file.errorString();
    file.close();
    return file.error() == QFileDevice::NoError ? QString() : file.errorString();
}

QByteArray PngBytes(const QImage& image) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

int RunHeadlessPrinter(const kelvo::cli::HeadlessPrinterRequest& request) {
    kelvo::printer::TcpOptions tcp;
    const QString jobs = QString::fromLocal8Bit(request.saveDir.c_str());
    if (request.host) {
        tcp.host = *request.host;
        // Named on the command line: the user asked for this address, whatever it is, and no other.
        tcp.anyHost = true;
        tcp.exact = true;
        if (!kelvo::printer::IsLoopbackHost(tcp.host))
            std::fprintf(stderr,
                         "kelvotool virtual-printer: warning: listening on %s: anyone "
                         "who can reach it can print\n",
                         tcp.host.c_str());
    }
    if (request.port)
        tcp.port = *request.port;
    if (request.idle)
        tcp.idleLimit = *request.idle;
    const int dots = request.paperDots;
    kelvo::printer::StatusFlags flags;
    flags.paperOut = request.paperOut;
    flags.paperNearEnd = request.paperNearEnd;
    flags.coverOpen = request.coverOpen;
    flags.drawerOpen = request.drawerOpen;
    kelvo::printer::PrinterBox::Options options;
    // Read before anything starts: a wrong step is a wrong command line.
    try {
        options.script = kelvo::printer::ParseFaultScript(request.faults);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "kelvotool virtual-printer: --faults: %s\n", e.what());
        return 2;
    }
    if (!jobs.isEmpty() && !QDir().mkpath(jobs)) {
        std::fprintf(stderr, "kelvotool virtual-printer: cannot make %s\n", qPrintable(jobs));
        return 1;
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

    options.tcp = tcp;
    options.paperDots = dots;
    options.keepEnded = kEndedKept;
    options.printSpeedMmPerSecond = static_cast<double>(request.speedMmPerSecond);
    if (request.lpdPort) {
        kelvo::printer::TcpOptions lpd = tcp;
        lpd.host = request.lpdHost.value_or(tcp.host);
        lpd.port = *request.lpdPort;
        lpd.anyHost = true;  // numeric, named by the user; warned of below when not loopback
        if (request.lpdHost && !kelvo::printer::IsLoopbackHost(lpd.host))
            std::fprintf(stderr,
                         "kelvotool virtual-printer: warning: taking LPD jobs on %s: anyone "
                         "who can reach it can print\n",
                         lpd.host.c_str());
        options.lpd = lpd;
    }
    std::unique_ptr<kelvo::printer::PrinterBox> box;
    std::unique_ptr<kelvo::ControlServer> control;
    try {
        box = std::make_unique<kelvo::printer::PrinterBox>(options);
        control = std::make_unique<kelvo::ControlServer>(
            request.control, [&box](const std::string& line) {
                return kelvo::printer::ControlNetworkPrinter(*box, line);
            });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvotool virtual-printer: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "kelvotool virtual-printer: control socket %s\n", control->Path().c_str());
    box->SetFlags(flags);
    JobSaver saver(jobs);
    uint64_t lost = 0;
    auto saveEnded = [&] {
        for (const auto& job : box->TakeEnded())
            saver.SaveJob(job);
        if (const uint64_t now = box->EndedLost(); now != lost) {
            std::fprintf(stderr,
                         "kelvotool virtual-printer: %llu jobs ended faster than they "
                         "could be saved and were not saved\n",
                         static_cast<unsigned long long>(now - lost));
            lost = now;
        }
    };
    // Polled as the window polls: a serial frame ends only when the line has paused.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        box->EndPausedFrame();
        saveEnded();
    });
    poll.start(kPoll);
    const std::string lpd = box->LpdAddress().empty() ? "" : ", LPD " + box->LpdAddress();
    std::printf("virtual printer: TCP %s, serial %s%s\n", box->TcpAddress().c_str(),
                box->PtyPath().c_str(), lpd.c_str());
    std::fflush(stdout);
    const int status = QGuiApplication::exec();
    control.reset();  // no change comes in while the printer stops
    box->Stop("cut short: the printer was stopped");
    saveEnded();
    return status;
}
