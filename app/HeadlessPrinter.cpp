#include "app/HeadlessPrinter.h"

#include <QApplication>
#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "app/ReceiptView.h"
#include "cli/Drawing.h"
#include "links/EventFd.h"
#include "printer/Endpoints.h"
#include "printer/PrinterBox.h"
#include "printer/VirtualPrinter.h"
#include "protocol/Decoder.h"

namespace {

// Jobs ended and not yet saved, at most: far more than a burst of receipts between two polls.
constexpr size_t kEndedKept = 256;
constexpr std::chrono::milliseconds kPoll{50};

kelvo::EventFd* stopSignal = nullptr;

void OnStopSignal(int) {
    stopSignal->Signal();  // one write to an eventfd: safe in a handler
}

QJsonObject SettingsChanged(const kelvo::printer::StoredSettings& a,
                            const kelvo::printer::StoredSettings& b) {
    QJsonObject changed;
    auto hex = [](auto bytes) {
        QStringList parts;
        for (uint8_t byte : bytes)
            parts << QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
        return parts;
    };
    if (a.baudCode != b.baudCode)
        changed[QStringLiteral("baud")] = qint64(b.Baud());
    if (a.intlCharset != b.intlCharset)
        changed[QStringLiteral("charset")] = b.intlCharset;
    if (a.codePage != b.codePage)
        changed[QStringLiteral("code_page")] = b.codePage;
    if (a.chineseMode != b.chineseMode)
        changed[QStringLiteral("chinese")] = b.chineseMode;
    if (a.switches != b.switches)
        changed[QStringLiteral("switches")] = b.switches;
    if (a.ip != b.ip)
        changed[QStringLiteral("ip")] =
            QStringList{QString::number(b.ip[0]), QString::number(b.ip[1]),
                        QString::number(b.ip[2]), QString::number(b.ip[3])}
                .join(QLatin1Char('.'));
    if (a.mac != b.mac)
        changed[QStringLiteral("mac")] = hex(b.mac).join(QLatin1Char(':'));
    return changed;
}

QString PaperText(const std::vector<kelvo::printer::PaperItem>& paper) {
    QString text;
    for (const auto& item : paper) {
        if (const auto* line = std::get_if<kelvo::printer::PaperLine>(&item)) {
            for (const auto& run : line->runs)
                text += QString::fromStdString(run.utf8);
            text += QLatin1Char('\n');
        } else if (std::holds_alternative<kelvo::printer::PaperImage>(item)) {
            text += QStringLiteral("[image]\n");
        } else if (std::holds_alternative<kelvo::printer::PaperCut>(item)) {
            text += QStringLiteral("--- cut ---\n");
        }
    }
    return text;
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

QString IsoTime(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    return QDateTime::fromMSecsSinceEpoch(ms.count(), Qt::UTC).toString(Qt::ISODateWithMs);
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
            // One view for every job: a fresh widget would look its fonts up again each time.
            if (!view_)
                view_ = std::make_unique<TReceiptView>();
            view_->SetPaperWidth(job.paperDots);
            view_->SetPaper(job.paper);
            const QImage image = view_->Render();
            QByteArray png;
            {
                QBuffer buffer(&png);
                buffer.open(QIODevice::WriteOnly);
                image.save(&buffer, "PNG");
            }
            kelvo::DecoderState state;
            QJsonArray commands;
            for (const auto& c : kelvo::DecodeCommands(raw, state))
                commands.append(QString::fromStdString(kelvo::FormatCommand(c)));
            QJsonObject record{
                {QStringLiteral("job"), qint64(n)},
                {QStringLiteral("endpoint"), QString::fromStdString(job.record.endpoint)},
                {QStringLiteral("started"), IsoTime(job.record.started)},
                {QStringLiteral("ended"), IsoTime(job.record.ended)},
                {QStringLiteral("end"), QString::fromStdString(job.record.end)},
                {QStringLiteral("bytes"), qint64(job.record.bytes)},
                {QStringLiteral("dropped"), QString::fromStdString(job.record.dropped)},
                {QStringLiteral("commands"), commands},
                {QStringLiteral("settings_changed"), SettingsChanged(job.trace.before, job.after)},
                {QStringLiteral("status_answers"),
                 QString::fromStdString(kelvo::HexBytes(job.trace.answers))}};
            if (raw.size() < job.record.bytes)
                record[QStringLiteral("bytes_kept")] = qint64(raw.size());
            const QDir dir(dir_);
            const bool ok =
                Save(dir.filePath(base + QStringLiteral(".bin")),
                     QByteArray(raw.data(), qsizetype(raw.size()))) &&
                Save(dir.filePath(base + QStringLiteral(".png")), png) &&
                Save(dir.filePath(base + QStringLiteral(".txt")), PaperText(job.paper).toUtf8()) &&
                // The record last: once it is there, the job's other files are too.
                Save(dir.filePath(base + QStringLiteral(".json")),
                     QJsonDocument(record).toJson(QJsonDocument::Indented));
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
    std::unique_ptr<TReceiptView> view_;
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
    QApplication app(qtArgc, argv);

    // Kept to the end of the process: the handler stays installed after this returns.
    static kelvo::EventFd stop;
    stopSignal = &stop;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    QSocketNotifier stopped(stop.fd(), QSocketNotifier::Read);
    QObject::connect(&stopped, &QSocketNotifier::activated, &app, [] { QApplication::quit(); });

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
    const int status = QApplication::exec();
    box->Stop("cut short: the printer was stopped");
    saveEnded();
    return status;
}
