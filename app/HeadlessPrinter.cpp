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

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/ReceiptView.h"
#include "links/UniqueFd.h"
#include "printer/Endpoints.h"
#include "printer/VirtualPrinter.h"
#include "protocol/Decoder.h"

namespace {

using kelvo::printer::VirtualPrinter;

// One job as it is saved: everything read under the printer's lock when it ended.
struct FinishedJob {
    kelvo::printer::JobRecord record;
    std::string raw;
    std::string answers;
    std::vector<kelvo::printer::PaperItem> paper;
    kelvo::printer::StoredSettings before;
    kelvo::printer::StoredSettings after;
    int paperWidth = kelvo::printer::kPaper80Dots;
    QDateTime started;
    QDateTime ended;
};

int stopFd = -1;

void OnStopSignal(int) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopFd, &one, sizeof one);
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

class HeadlessPrinter {
  public:
    explicit HeadlessPrinter(const QString& dir) : dir_(dir) {}
    void SetEndpoint(const QString& endpoint) { endpoint_ = endpoint; }

    // On the endpoint's thread: the bytes as they arrive, real-time requests answered at once.
    std::string Receive(std::string_view bytes) {
        std::lock_guard lock(mu_);
        if (!current_)
            Begin();
        current_->raw.append(bytes);
        std::string answer = printer_.RealTime(bytes);
        current_->answers += answer;
        return answer;
    }
    // The receive buffer's bytes, printed unless the printer is offline (then it holds them).
    size_t Print(std::string_view held, std::string& answers) {
        std::lock_guard lock(mu_);
        if (printer_.Offline())
            return 0;
        std::string answer = printer_.Print(held);
        if (current_)
            current_->answers += answer;
        answers += answer;
        return held.size();
    }
    void Started() {
        std::lock_guard lock(mu_);
        Begin();
    }
    void Ended(const std::string& how) {
        std::lock_guard lock(mu_);
        if (!current_)
            Begin();
        End(how);
    }
    // The endpoint has stopped: a job it was still taking is saved as cut short.
    void Stopped() {
        std::lock_guard lock(mu_);
        if (current_)
            End("cut short: the printer was stopped");
    }

    VirtualPrinter& Printer() { return printer_; }

    // On the main thread: saves every job that has ended.
    void SaveEnded() {
        for (;;) {
            std::optional<FinishedJob> job;
            {
                std::lock_guard lock(mu_);
                if (ended_.empty())
                    return;
                job = std::move(ended_.front());
                ended_.pop_front();
            }
            SaveJob(*job);
        }
    }

  private:
    void Begin() {
        current_.emplace();
        current_->started = QDateTime::currentDateTimeUtc();
        current_->before = printer_.Settings();
        paperFrom_ = printer_.PaperDropped() + printer_.PaperSize();
    }
    void End(const std::string& how) {
        printer_.EndJob(how);
        FinishedJob& job = *current_;
        job.ended = QDateTime::currentDateTimeUtc();
        job.record = printer_.Jobs().empty() ? printer_.Job() : printer_.Jobs().back();
        job.after = printer_.Settings();
        job.paperWidth = printer_.PaperWidth();
        const auto& paper = printer_.Paper();
        const uint64_t first = std::max(paperFrom_, printer_.PaperDropped());
        job.paper.assign(paper.begin() + long(first - printer_.PaperDropped()), paper.end());
        ended_.push_back(std::move(job));
        current_.reset();
        QMetaObject::invokeMethod(
            qApp, [this] { SaveEnded(); }, Qt::QueuedConnection);
    }

    void SaveJob(const FinishedJob& job) {
        const uint64_t n = ++saved_;
        const QString base = QStringLiteral("job-%1").arg(n, 4, 10, QLatin1Char('0'));
        QString files;
        if (!dir_.isEmpty()) {
            // One view for every job: a fresh widget would look its fonts up again each time.
            if (!view_)
                view_ = std::make_unique<TReceiptView>();
            view_->SetPaperWidth(job.paperWidth);
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
            for (const auto& c : kelvo::DecodeCommands(job.raw, state))
                commands.append(QString::fromStdString(kelvo::FormatCommand(c)));
            QJsonObject record{
                {QStringLiteral("job"), qint64(n)},
                {QStringLiteral("endpoint"), endpoint_},
                {QStringLiteral("started"), job.started.toString(Qt::ISODateWithMs)},
                {QStringLiteral("ended"), job.ended.toString(Qt::ISODateWithMs)},
                {QStringLiteral("end"), QString::fromStdString(job.record.end)},
                {QStringLiteral("bytes"), qint64(job.raw.size())},
                {QStringLiteral("dropped"), QString::fromStdString(job.record.dropped)},
                {QStringLiteral("commands"), commands},
                {QStringLiteral("settings_changed"), SettingsChanged(job.before, job.after)},
                {QStringLiteral("status_answers"),
                 QString::fromStdString(kelvo::HexBytes(job.answers))}};
            const QDir dir(dir_);
            const bool ok =
                Save(dir.filePath(base + QStringLiteral(".bin")),
                     QByteArray(job.raw.data(), qsizetype(job.raw.size()))) &&
                Save(dir.filePath(base + QStringLiteral(".png")), png) &&
                Save(dir.filePath(base + QStringLiteral(".txt")), PaperText(job.paper).toUtf8()) &&
                // The record last: once it is there, the job's other files are too.
                Save(dir.filePath(base + QStringLiteral(".json")),
                     QJsonDocument(record).toJson(QJsonDocument::Indented));
            files = ok ? QStringLiteral(", saved as %1.*").arg(dir.filePath(base))
                       : QStringLiteral(", NOT saved in %1").arg(dir_);
        }
        std::printf("job %llu: %zu bytes, %s%s\n", static_cast<unsigned long long>(n),
                    job.raw.size(), job.record.end.c_str(), qPrintable(files));
        std::fflush(stdout);
    }

    QString dir_;
    QString endpoint_;
    std::mutex mu_;
    VirtualPrinter printer_;
    std::optional<FinishedJob> current_;
    uint64_t paperFrom_ = 0;
    std::deque<FinishedJob> ended_;
    uint64_t saved_ = 0;
    std::unique_ptr<TReceiptView> view_;  // on the main thread
};

void Usage(const char* why) {
    std::fprintf(stderr,
                 "kelvotool virtual-printer: %s\n(kelvotool virtual-printer --help tells more)\n",
                 why);
}

}  // namespace

int RunHeadlessPrinter(int argc, char* argv[]) {
    kelvo::printer::TcpOptions tcp;
    QString jobs;
    int dots = kelvo::printer::kPaper80Dots;
    kelvo::printer::StatusFlags flags;
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        const bool hasValue = i + 1 < argc;
        if (word == "--jobs" && hasValue) {
            jobs = QString::fromLocal8Bit(argv[++i]);
        } else if (word == "--listen" && hasValue) {
            std::string where = argv[++i];
            const size_t colon = where.rfind(':');
            if (colon != std::string::npos && where.find(':') == colon) {
                tcp.port = static_cast<uint16_t>(std::atoi(where.c_str() + colon + 1));
                where.resize(colon);
            }
            tcp.host = where;
            if (!where.starts_with("127.") && where != "::1")
                std::fprintf(stderr,
                             "kelvotool virtual-printer: warning: listening on %s: anyone "
                             "who can reach it can print\n",
                             where.c_str());
        } else if (word == "--paper" && hasValue) {
            const std::string mm = argv[++i];
            if (mm != "58" && mm != "80") {
                Usage("--paper takes 58 or 80");
                return 2;
            }
            dots = mm == "58" ? kelvo::printer::kPaper58Dots : kelvo::printer::kPaper80Dots;
        } else if (word == "--idle" && hasValue) {
            tcp.idleLimit = std::chrono::seconds(std::atoi(argv[++i]));
        } else if (word == "--paper-out") {
            flags.paperOut = true;
        } else if (word == "--paper-near-end") {
            flags.paperNearEnd = true;
        } else if (word == "--cover-open") {
            flags.coverOpen = true;
        } else if (word == "--drawer-open") {
            flags.drawerOpen = true;
        } else {
            Usage(("unexpected " + word).c_str());
            return 2;
        }
    }
    if (!jobs.isEmpty() && !QDir().mkpath(jobs)) {
        std::fprintf(stderr, "kelvotool virtual-printer: cannot make %s\n", qPrintable(jobs));
        return 1;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);

    kelvo::UniqueFd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    stopFd = stop.get();
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    QSocketNotifier stopped(stop.get(), QSocketNotifier::Read);
    QObject::connect(&stopped, &QSocketNotifier::activated, &app, [] { QApplication::quit(); });

    auto printer = std::make_unique<HeadlessPrinter>(jobs);
    printer->Printer().SetPaperWidth(dots);
    printer->Printer().Flags() = flags;
    std::unique_ptr<kelvo::printer::TcpEndpoint> endpoint;
    try {
        endpoint = std::make_unique<kelvo::printer::TcpEndpoint>(
            tcp,
            kelvo::printer::Sink{[&](std::string_view bytes) { return printer->Receive(bytes); },
                                 [&](std::string_view held, std::string& answers) {
                                     return printer->Print(held, answers);
                                 }},
            kelvo::printer::TcpEvents{
                [&](const std::string&) { printer->Started(); },
                [&](kelvo::printer::TcpEnd end) {
                    printer->Ended(end == kelvo::printer::TcpEnd::Idle ? "idle" : "closed");
                }});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvotool virtual-printer: %s\n", e.what());
        return 1;
    }
    printer->SetEndpoint(QStringLiteral("tcp %1").arg(QString::fromStdString(endpoint->Address())));
    std::printf("virtual printer: TCP %s\n", endpoint->Address().c_str());
    std::fflush(stdout);
    const int status = QApplication::exec();
    endpoint.reset();  // joins its thread: no byte arrives after this
    printer->Stopped();
    printer->SaveEnded();
    return status;
}
