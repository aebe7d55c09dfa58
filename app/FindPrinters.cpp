#include "app/FindPrinters.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <exception>

#include "app/ActivityLog.h"
#include "links/SerialSpeed.h"
#include "protocol/GbkText.h"

namespace {

enum Column { kAddress, kMac, kStatus, kModel, kResponse };

}  // namespace

TFindPrinters::TFindPrinters(QWidget* parent, bool english, TActivityLog* log)
    : QDialog(parent), english_(english), log_(log) {
    setObjectName(QStringLiteral("FindPrinters"));
    setWindowTitle(Text("查找打印机", "Find printers"));
    resize(560, 360);

    auto* rangeRow = new QHBoxLayout;
    rangeRow->addWidget(new QLabel(Text("地址范围：", "Range:"), this));
    RangeEdit = new QLineEdit(this);
    RangeEdit->setObjectName(QStringLiteral("RangeEdit"));
    RangeEdit->setPlaceholderText(Text("留空：本机所在网段；例如 192.168.1.0/24",
                                       "empty: this computer's subnets; e.g. 192.168.1.0/24"));
    rangeRow->addWidget(RangeEdit, 1);
    ScanButton = new QPushButton(Text("查找", "Scan"), this);
    ScanButton->setObjectName(QStringLiteral("ScanButton"));
    rangeRow->addWidget(ScanButton);

    List = new QTreeWidget(this);
    List->setObjectName(QStringLiteral("List"));
    List->setRootIsDecorated(false);
    List->setHeaderLabels({Text("IP地址", "Address"), Text("MAC地址", "MAC"),
                           Text("状态", "Status"), Text("型号", "Model"),
                           Text("响应 (ms)", "Response (ms)")});
    List->header()->setSectionResizeMode(QHeaderView::ResizeToContents);

    Progress = new QProgressBar(this);
    Progress->setObjectName(QStringLiteral("Progress"));
    Progress->setRange(0, 1);
    Progress->setValue(0);
    Summary = new QLabel(this);
    Summary->setObjectName(QStringLiteral("Summary"));
    Summary->setWordWrap(true);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    UseButton = new QPushButton(Text("使用", "Use"), this);
    UseButton->setObjectName(QStringLiteral("UseButton"));
    UseButton->setEnabled(false);
    CancelButton = new QPushButton(Text("取消", "Cancel"), this);
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    CancelButton->setEnabled(false);
    buttons->addWidget(UseButton);
    buttons->addWidget(CancelButton);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(rangeRow);
    layout->addWidget(List, 1);
    layout->addWidget(Progress);
    layout->addWidget(Summary);
    layout->addLayout(buttons);

    connect(ScanButton, &QPushButton::clicked, this, [this] { StartScan(); });
    connect(RangeEdit, &QLineEdit::returnPressed, this, [this] { StartScan(); });
    connect(CancelButton, &QPushButton::clicked, this, [this] { CancelScan(); });
    connect(UseButton, &QPushButton::clicked, this, [this] { UseSelected(); });
    connect(List, &QTreeWidget::itemDoubleClicked, this, [this] { UseSelected(); });
    connect(List, &QTreeWidget::itemSelectionChanged, this,
            [this] { UseButton->setEnabled(!List->selectedItems().isEmpty()); });
}

TFindPrinters::~TFindPrinters() {
    StopWorker();
}

QString TFindPrinters::Text(const char* chinese, const char* english) const {
    return english_ ? QString::fromUtf8(english) : QString::fromUtf8(chinese);
}

void TFindPrinters::StartScan() {
    StopWorker();
    kelvo::ScanOptions options;
    const std::string range = RangeEdit->text().trimmed().toStdString();
    if (range.empty()) {
        options.addresses = kelvo::OwnSubnetAddresses();
        if (options.addresses.empty()) {
            Summary->setText(Text("本机没有可用的IPv4网络，请输入地址范围",
                                  "This computer has no IPv4 network up: type a range"));
            return;
        }
    } else {
        std::string error;
        options.addresses = kelvo::ParseScanRange(range, &error);
        if (options.addresses.empty()) {
            Summary->setText(Text("地址范围有误：", "Not a range: ") +
                             QString::fromStdString(error));
            return;
        }
    }
    target_ = range.empty() ? Text("本机所在网段", "this computer's subnets")
                            : QString::fromStdString(range);
    List->clear();
    Progress->setRange(0, static_cast<int>(options.addresses.size()));
    Progress->setValue(0);
    Summary->setText(Text("正在查找…", "Scanning…"));
    cancel_ = std::make_unique<kelvo::EventFd>();
    options.cancelFd = cancel_->fd();
    scanning_ = true;
    const unsigned scan = ++scan_;
    ScanButton->setEnabled(false);
    CancelButton->setEnabled(true);
    // What the scan reports is handed to the window's thread; once this dialog is gone, Qt drops
    // what is still queued for it.
    worker_ = std::thread([this, scan, options = std::move(options)] {
        kelvo::ScanReports reports;
        reports.found = [this, scan](const kelvo::FoundPrinter& p) {
            QMetaObject::invokeMethod(
                this, [this, scan, p] { Found(scan, p); }, Qt::QueuedConnection);
        };
        reports.progress = [this, scan](const kelvo::ScanCounts& c) {
            QMetaObject::invokeMethod(
                this, [this, scan, c] { Progressed(scan, c); }, Qt::QueuedConnection);
        };
        kelvo::ScanCounts counts;
        QString error;
        try {
            counts = kelvo::ScanForPrinters(options, reports);
        } catch (const std::exception& e) {
            error = QString::fromLocal8Bit(e.what());
        }
        QMetaObject::invokeMethod(
            this, [this, scan, counts, error] { Finished(scan, counts, error); },
            Qt::QueuedConnection);
    });
}

void TFindPrinters::CancelScan() {
    StopWorker();
    if (scanning_) {
        scanning_ = false;
        ScanButton->setEnabled(true);
        CancelButton->setEnabled(false);
        Summary->setText(Summary->text() + Text("（已取消）", " (cancelled)"));
        LogScan(true);
    }
}

void TFindPrinters::LogScan(bool failed) {
    if (log_ != nullptr)
        log_->Searched(windowTitle(), target_, failed, Summary->text());
}

void TFindPrinters::StopWorker() {
    if (cancel_)
        cancel_->Signal();
    if (worker_.joinable())
        worker_.join();
}

void TFindPrinters::UseSelected() {
    const QList<QTreeWidgetItem*> selected = List->selectedItems();
    if (selected.isEmpty())
        return;
    emit PrinterChosen(selected.front()->text(kAddress));
}

void TFindPrinters::reject() {
    CancelScan();
    QDialog::reject();
}

void TFindPrinters::Found(unsigned scan, const kelvo::FoundPrinter& p) {
    if (!scanning_ || scan != scan_)
        return;
    auto* row = new QTreeWidgetItem(List);
    row->setText(kAddress, QString::fromStdString(p.address));
    row->setText(kMac, QString::fromStdString(p.mac));
    row->setText(kStatus, TActivityLog::StatusByteText(p.status, english_));
    row->setText(kModel, QString::fromStdString(kelvo::PlainText(p.model)));
    row->setText(kResponse, QString::number(p.responseTime.count()));
    if (List->topLevelItemCount() == 1)
        List->setCurrentItem(row);
}

void TFindPrinters::Progressed(unsigned scan, const kelvo::ScanCounts& c) {
    if (!scanning_ || scan != scan_)
        return;
    Progress->setValue(static_cast<int>(c.finished));
    Summary->setText(
        Text("已查找 %1 / %2，找到 %3 台打印机", "%1 of %2 addresses, %3 printers found")
            .arg(c.finished)
            .arg(c.total)
            .arg(c.found));
}

void TFindPrinters::Finished(unsigned scan, const kelvo::ScanCounts& c, const QString& error) {
    if (!scanning_ || scan != scan_)
        return;
    if (worker_.joinable())
        worker_.join();  // it has posted its last report: ends at once
    scanning_ = false;
    ScanButton->setEnabled(true);
    CancelButton->setEnabled(false);
    if (!error.isEmpty()) {
        Summary->setText(Text("查找失败：", "Scan failed: ") + error);
        LogScan(true);
        return;
    }
    Progress->setValue(Progress->maximum());
    Summary->setText(Text("找到 %1 台打印机（%2 个地址：%3 拒绝，%4 断开，%5 无响应，%6 未应答）",
                          "%1 printers among %2 addresses; %3 refused, %4 reset, %5 silent, %6 "
                          "accepted without answering")
                         .arg(c.found)
                         .arg(c.total)
                         .arg(c.refused)
                         .arg(c.reset)
                         .arg(c.silent)
                         .arg(c.noAnswer));
    LogScan(false);
}

// ---- The serial page's speed search ------------------------------------------------------------

TSpeedSearch::TSpeedSearch(QObject* parent) : QObject(parent) {}

TSpeedSearch::~TSpeedSearch() {
    cancel_.Signal();
    if (worker_.joinable())
        worker_.join();
}

bool TSpeedSearch::Start(const std::string& portName) {
    if (running_)
        return false;
    if (worker_.joinable())
        worker_.join();  // the last one has ended: its Done came
    cancel_.Take();
    running_ = true;
    port_ = portName;
    worker_ = std::thread([this, portName] {
        uint32_t rate = 0;
        uint8_t status = 0;
        QString error;
        try {
            if (const auto found = kelvo::FindSerialSpeed(portName, kelvo::SpeedSearchLine(),
                                                          kelvo::kStatusAnswerWait, cancel_.fd())) {
                rate = found->baudRate;
                status = found->status;
            }
        } catch (const std::exception& e) {
            error = QString::fromLocal8Bit(e.what());
        }
        QMetaObject::invokeMethod(
            this,
            [this, rate, status, error] {
                running_ = false;
                emit Done(rate, status, error);
            },
            Qt::QueuedConnection);
    });
    return true;
}
