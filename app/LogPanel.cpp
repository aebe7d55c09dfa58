#include "app/LogPanel.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QTemporaryFile>
#include <QVBoxLayout>

#include <charconv>
#include <stdexcept>

#include "cli/Printer.h"
#include "cli/TapStream.h"
#include "links/Tap.h"

namespace {

// "[HOST:]PORT" as the command line's --listen takes it: loopback unless a host is named.
std::pair<std::string, uint16_t> ListenAddress(const QString& text) {
    const std::string typed = text.trimmed().toStdString();
    const bool portOnly = typed.find_first_not_of("0123456789") == std::string::npos;
    const std::optional<kelvo::cli::HostPort> split =
        portOnly ? kelvo::cli::HostPort{"127.0.0.1", typed} : kelvo::cli::SplitHostPort(typed);
    unsigned port = 65536;
    if (split && split->port) {
        const std::string& digits = *split->port;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), port);
        if (error != std::errc() || end != digits.data() + digits.size())
            port = 65536;
    }
    if (!split || split->host.empty() || port > 65535)
        throw std::runtime_error("Tap: listen where? [HOST:]PORT, not '" + typed + "'");
    return {split->host, static_cast<uint16_t>(port)};
}

}  // namespace

TLogPanel::TLogPanel(TActivityLog& log, QWidget* parent) : QFrame(parent), log_(log) {
    setObjectName(QStringLiteral("LogPanel"));
    setFrameShape(QFrame::StyledPanel);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(6, 6, 6, 6);
    Title = new QLabel(this);
    QFont bold = Title->font();
    bold.setBold(true);
    Title->setFont(bold);
    HexBox = new QCheckBox(this);
    auto* titleRow = new QHBoxLayout;
    titleRow->addWidget(Title, 1);
    titleRow->addWidget(HexBox);
    column->addLayout(titleRow);

    auto* buttons = new QHBoxLayout;
    StatusButton = new QPushButton(this);
    StatusButton->setObjectName(QStringLiteral("StatusButton"));
    SendFileButton = new QPushButton(this);
    SendFileButton->setObjectName(QStringLiteral("SendFileButton"));
    CopyButton = new QPushButton(this);
    SaveButton = new QPushButton(this);
    ClearButton = new QPushButton(this);
    for (QPushButton* b : {StatusButton, SendFileButton, CopyButton, SaveButton, ClearButton})
        buttons->addWidget(b);
    column->addLayout(buttons);

    StatusView = new QLabel(this);
    StatusView->setObjectName(QStringLiteral("StatusView"));
    StatusView->setTextFormat(Qt::PlainText);
    StatusView->setWordWrap(true);
    StatusView->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Room for every fact of a full answer, so the log below does not jump at each request.
    StatusView->setMinimumHeight(7 * StatusView->fontMetrics().lineSpacing());
    StatusView->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(StatusView);

    auto* tapRow = new QHBoxLayout;
    TapLabel = new QLabel(this);
    TapListenEdit = new QLineEdit(QStringLiteral("127.0.0.1:9101"), this);
    TapListenEdit->setObjectName(QStringLiteral("TapListenEdit"));
    auto* arrow = new QLabel(QStringLiteral("→"), this);
    TapPrinterEdit = new QLineEdit(QStringLiteral("127.0.0.1:9100"), this);
    TapPrinterEdit->setObjectName(QStringLiteral("TapPrinterEdit"));
    TapButton = new QPushButton(this);
    TapButton->setObjectName(QStringLiteral("TapButton"));
    TapSaveButton = new QPushButton(this);
    TapSaveButton->setObjectName(QStringLiteral("TapSaveButton"));
    TapSaveButton->setEnabled(false);
    tapRow->addWidget(TapLabel);
    tapRow->addWidget(TapListenEdit, 1);
    tapRow->addWidget(arrow);
    tapRow->addWidget(TapPrinterEdit, 1);
    column->addLayout(tapRow);
    auto* tapButtons = new QHBoxLayout;
    tapButtons->addWidget(TapButton);
    tapButtons->addWidget(TapSaveButton);
    column->addLayout(tapButtons);

    View = new QPlainTextEdit(this);
    View->setObjectName(QStringLiteral("LogView"));
    View->setReadOnly(true);
    View->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    column->addWidget(View, 1);

    connect(&log_, &TActivityLog::Changed, this, &TLogPanel::Refresh);
    connect(HexBox, &QCheckBox::toggled, this, &TLogPanel::Rebuild);
    connect(ClearButton, &QPushButton::clicked, &log_, &TActivityLog::Clear);
    SetEnglish(true);
}

TLogPanel::~TLogPanel() {
    tap_.reset();  // its threads end before the queue they fill
}

void TLogPanel::SetEnglish(bool english) {
    english_ = english;
    Title->setText(english ? QStringLiteral("Activity log") : QStringLiteral("活动记录"));
    StatusButton->setText(english ? QStringLiteral("Printer status")
                                  : QStringLiteral("打印机状态"));
    SendFileButton->setText(english ? QStringLiteral("Send file…") : QStringLiteral("发送文件…"));
    CopyButton->setText(english ? QStringLiteral("Copy") : QStringLiteral("复制"));
    SaveButton->setText(english ? QStringLiteral("Save…") : QStringLiteral("保存…"));
    ClearButton->setText(english ? QStringLiteral("Clear") : QStringLiteral("清除"));
    HexBox->setText(english ? QStringLiteral("Show hex") : QStringLiteral("显示十六进制"));
    TapLabel->setText(english ? QStringLiteral("Tap") : QStringLiteral("监听"));
    TapSaveButton->setText(english ? QStringLiteral("Save capture…") : QStringLiteral("保存抓包…"));
    SetTapTexts();
    if (lastStatus_)
        ShowStatus(*lastStatus_, lastLate_);
    Rebuild();
}

void TLogPanel::ShowStatus(const TActivityLog::StatusAnswers& answers,
                           const TActivityLog::StatusAnswers& late) {
    lastStatus_ = answers;
    lastLate_ = late;
    StatusView->setText(TActivityLog::StatusLines(answers, english_, late).join(QLatin1Char('\n')));
}

void TLogPanel::ShowStatusMessage(const QString& message) {
    lastStatus_.reset();
    StatusView->setText(message);
}

QString TLogPanel::Text() const {
    return log_.Text(english_, HexBox->isChecked());
}

void TLogPanel::setVisible(bool visible) {
    // The log's own face is matched when the panel first shows: most sessions never open it, and
    // the window's first paint does not wait for it.
    if (visible && !fontSet_) {
        fontSet_ = true;
        QFont fixed(QStringLiteral("DejaVu Sans Mono"));
        fixed.setFamilies(
            {QStringLiteral("DejaVu Sans Mono"), QStringLiteral("WenQuanYi Micro Hei")});
        fixed.setPixelSize(11);
        View->setFont(fixed);
    }
    QFrame::setVisible(visible);
    if (visible)
        Refresh();
}

void TLogPanel::Rebuild() {
    firstShown_ = lastShown_ = 0;
    Refresh();
}

void TLogPanel::Refresh() {
    if (isHidden())
        return;
    const auto& entries = log_.Entries();
    const bool hex = HexBox->isChecked();
    const uint64_t first = entries.empty() ? 0 : entries.front().serial;
    if (first != firstShown_ || lastShown_ == 0) {
        View->setPlainText(Text());
    } else {
        for (const auto& e : entries) {
            if (e.serial > lastShown_)
                View->appendPlainText(QLatin1Char('\n') +
                                      TActivityLog::EntryText(e, english_, hex).chopped(1));
        }
    }
    firstShown_ = first;
    lastShown_ = entries.empty() ? 0 : entries.back().serial;
    View->verticalScrollBar()->setValue(View->verticalScrollBar()->maximum());
}

void TLogPanel::SetTapTexts() {
    TapButton->setText(english_ ? (tap_ ? QStringLiteral("Stop tap") : QStringLiteral("Start tap"))
                                : (tap_ ? QStringLiteral("停止监听") : QStringLiteral("开始监听")));
    TapListenEdit->setEnabled(!tap_);
    TapPrinterEdit->setEnabled(!tap_);
}

void TLogPanel::StartTap() {
    if (tap_)
        return;
    const auto [listenHost, listenPort] = ListenAddress(TapListenEdit->text());
    const std::string name = TapPrinterEdit->text().trimmed().toStdString();
    std::string why;
    const std::optional<kelvo::cli::Printer> printer = kelvo::cli::ParsePrinter(name, &why);
    if (!printer || printer->kind != kelvo::cli::Printer::Kind::Network)
        throw std::runtime_error("Tap: the printer is HOST[:PORT], not '" + name + "'" +
                                 (why.empty() ? "" : ": " + why));
    kelvo::TapOptions options;
    options.listenHost = listenHost;
    options.listenPort = listenPort;
    options.printerHost = printer->host;
    options.printerPort = static_cast<uint16_t>(printer->port);
    auto file = std::make_unique<QTemporaryFile>(QDir::tempPath() +
                                                 QStringLiteral("/kelvotool-tap-XXXXXX.pcapng"));
    if (!file->open())
        throw std::runtime_error("Tap: no room for its capture: " +
                                 file->errorString().toStdString());
    auto capture = std::make_unique<kelvo::cli::TapCaptureFile>(file->fileName().toStdString());
    tap_ = std::make_unique<kelvo::Tap>(options, [this](const kelvo::TapEvent& e) {
        std::lock_guard lock(tapMutex_);
        tapEvents_.push_back(e);
        // One call takes every event that came before it runs: a burst is one entry of the log.
        if (tapEvents_.size() == 1)
            QMetaObject::invokeMethod(this, &TLogPanel::TakeTapEvents, Qt::QueuedConnection);
    });
    captureFile_ = std::move(file);
    capture_ = std::move(capture);
    captureFailed_ = false;
    tapStream_ = std::make_unique<kelvo::cli::TapStream>();
    const QString address = QString::fromStdString(tap_->Address());
    TapListenEdit->setText(address);
    tapRoute_ = address + QStringLiteral(" → ") + QString::fromStdString(name);
    const kelvo::cli::TapLine first = tapStream_->Listening(
        "tap " + tap_->Address() + " -> " + printer->host + ":" + std::to_string(printer->port));
    log_.Tapped(tapRoute_, {first.Text()});
    TapSaveButton->setEnabled(true);
    SetTapTexts();
}

void TLogPanel::StopTap() {
    tap_.reset();
    TakeTapEvents();  // the sessions' resets
    SetTapTexts();
}

void TLogPanel::TakeTapEvents() {
    std::vector<kelvo::TapEvent> events;
    {
        std::lock_guard lock(tapMutex_);
        events.swap(tapEvents_);
    }
    std::vector<std::string> lines;
    for (const kelvo::TapEvent& e : events) {
        if (!captureFailed_ && !capture_->Write(e))
            captureFailed_ = true;
        for (const kelvo::cli::TapLine& line : tapStream_->Read(e))
            lines.push_back(line.Text());
    }
    if (!lines.empty())
        log_.Tapped(tapRoute_, lines);
}

QString TLogPanel::SaveTapCapture(const QString& path) {
    if (!captureFile_)
        return QStringLiteral("no capture");
    if (captureFailed_)
        return QStringLiteral("the capture could not be written: ") + captureFile_->fileName();
    QFile kept(captureFile_->fileName());
    QSaveFile file(path);
    if (!kept.open(QIODevice::ReadOnly))
        return kept.errorString();
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    while (!kept.atEnd()) {
        const QByteArray piece = kept.read(1 << 20);
        if (piece.isEmpty() || file.write(piece) != piece.size())
            return kept.error() != QFileDevice::NoError ? kept.errorString() : file.errorString();
    }
    return file.commit() ? QString() : file.errorString();
}
