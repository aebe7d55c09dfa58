#include "app/HeadlessPrinter.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/Drawing.h"
#include "links/EventFd.h"
#include "paint/ReceiptPainter.h"
#include "printer/Endpoints.h"
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

bool Save(const QString& path, const QByteArray& bytes) {
    // Written aside and renamed into place: a reader, or a stop in the middle, never sees half a
    // file. Not synced to disk: the files are a record of a test run, and a sync per file would
    // cost more than the job itself.
    const QString aside = path + QStringLiteral(".part");
    QFile file(aside);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        file.remove();
        return false;
    }
    file.close();
    return std::rename(QFile::encodeName(aside).constData(), QFile::encodeName(path).constData()) ==
           0;
}

// Saves the jobs the box's printers end, on the main thread, numbered in the order they ended.
class JobSaver {
  public:
    explicit JobSaver(const QString& dir) : dir_(dir) {}

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
            QByteArray png;
            {
                QBuffer buffer(&png);
                buffer.open(QIODevice::WriteOnly);
                image.save(&buffer, "PNG");
            }
            const kelvo::printer::JobReport report = kelvo::printer::ReportOf(job);
            const std::string record = kelvo::printer::RecordJson(report, n);
            const QDir dir(dir_);
            const bool ok = Save(dir.filePath(base + QStringLiteral(".bin")), Bytes(raw)) &&
                            Save(dir.filePath(base + QStringLiteral(".png")), png) &&
                            Save(dir.filePath(base + QStringLiteral(".txt")), Bytes(report.text)) &&
                            // The record last: once it is there, the job's other files are too.
                            Save(dir.filePath(base + QStringLiteral(".json")), Bytes(record));
            files = ok ? QStringLiteral(", saved as %1.*").arg(dir.filePath(base))
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

int RunHeadlessPrinter(const kelvo::cli::HeadlessPrinterRequest& request) {
    kelvo::printer::TcpOptions tcp;
    const QString jobs = QString::fromLocal8Bit(request.saveDir.c_str());
    if (request.host) {
        tcp.host = *request.host;
        // Named on the command line: the user asked for this address, whatever it is.
        tcp.anyHost = true;
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
    QSocketNotifier stopped(stop.fd(), QSocketNotifier::Read);
    QObject::connect(&stopped, &QSocketNotifier::activated, &app, [] { QGuiApplication::quit(); });

    kelvo::printer::PrinterBox::Options options;
    options.tcp = tcp;
    options.paperDots = dots;
    options.keepEnded = kEndedKept;
    std::unique_ptr<kelvo::printer::PrinterBox> box;
    try {
        box = std::make_unique<kelvo::printer::PrinterBox>(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvotool virtual-printer: %s\n", e.what());
        return 1;
    }
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
    std::printf("virtual printer: TCP %s, serial %s\n", box->TcpAddress().c_str(),
                box->PtyPath().c_str());
    std::fflush(stdout);
    const int status = QGuiApplication::exec();
    box->Stop("cut short: the printer was stopped");
    saveEnded();
    return status;
}
