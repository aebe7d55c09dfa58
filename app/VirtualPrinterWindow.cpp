#include "app/VirtualPrinterWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <optional>

#include "app/Dialogs.h"
#include "app/ReceiptView.h"
#include "printer/JobReport.h"

using kelvo::printer::JobRecord;
using kelvo::printer::PaperItem;
using kelvo::printer::PrinterBox;
using kelvo::printer::VirtualPrinter;

namespace {

QLabel* InfoLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QString Hex(uint8_t b) {
    return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
}

// A job entry's columns and what it names.
enum JobColumn { kJobTime, kJobEndpoint, kJobBytes, kJobPrinted };
enum JobRole {
    kJobPrinter = Qt::UserRole,
    kJobNumber,
    kJobFirstItem,
    kJobEndItem,
};

// What a job printed, in short: its first line of text, and how many of each item.
QString Printed(const JobRecord& job, bool english) {
    QStringList parts;
    if (!job.firstLine.empty())
        parts << QString::fromUtf8("“%1”").arg(QString::fromStdString(job.firstLine));
    auto count = [&](uint64_t n, const char* one, const char* many, const char* zh) {
        if (n == 0)
            return;
        parts
            << (english ? QString::fromLatin1(n == 1 ? one : many) : QString::fromUtf8(zh)).arg(n);
    };
    count(job.lines, "%1 line", "%1 lines", "%1 行");
    count(job.pictures, "%1 picture", "%1 pictures", "%1 张图片");
    count(job.cuts, "%1 cut", "%1 cuts", "%1 次切纸");
    if (parts.isEmpty())
        return english ? QStringLiteral("nothing printed") : QString::fromUtf8("未打印");
    return parts.join(QStringLiteral(", "));
}

}  // namespace

TVirtualPrinterWindow::TVirtualPrinterWindow(PrinterBox& box, Dialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window), box_(box), dialogs_(dialogs) {
    setObjectName(QStringLiteral("VirtualPrinterWindow"));
    auto* columns = new QHBoxLayout(this);

    auto* left = new QVBoxLayout;
    PrinterChoice = new QComboBox(this);
    left->addWidget(PrinterChoice);
    Roll = new QScrollArea(this);
    Receipt = new TReceiptView;
    Roll->setWidget(Receipt);
    Roll->setMinimumWidth(Receipt->sizeHint().width() + 24);
    Roll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    left->addWidget(Roll, 1);
    columns->addLayout(left);

    auto* right = new QVBoxLayout;
    Endpoints = InfoLabel(this);
    right->addWidget(Endpoints);
    Clients = InfoLabel(this);
    right->addWidget(Clients);
    LastJob = InfoLabel(this);
    LastJob->setWordWrap(true);
    right->addWidget(LastJob);
    auto group = [&](QGroupBox*& box, QLabel*& view) {
        box = new QGroupBox(this);
        auto* inside = new QVBoxLayout(box);
        view = InfoLabel(box);
        inside->addWidget(view);
        right->addWidget(box);
    };
    group(SettingsGroup, SettingsView);
    group(NvGroup, NvView);
    group(CountersGroup, CountersView);
    FlagsGroup = new QGroupBox(this);
    auto* flags = new QVBoxLayout(FlagsGroup);
    for (QCheckBox** flag : {&Online, &CoverOpen, &PaperNearEnd, &PaperOut, &DrawerOpen, &Error}) {
        *flag = new QCheckBox(FlagsGroup);
        flags->addWidget(*flag);
        connect(*flag, &QCheckBox::toggled, this, &TVirtualPrinterWindow::ApplyFlags);
    }
    Online->setChecked(true);
    right->addWidget(FlagsGroup);
    auto* speed = new QHBoxLayout;
    SpeedLabel = new QLabel(this);
    ReadSpeed = new QComboBox(this);
    speed->addWidget(SpeedLabel);
    speed->addWidget(ReadSpeed, 1);
    right->addLayout(speed);
    auto* idle = new QHBoxLayout;
    IdleLabel = new QLabel(this);
    IdleLimit = new QSpinBox(this);
    IdleLimit->setRange(0, 3600);  // 0: never
    IdleLimit->setValue(static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(box_.IdleLimit()).count()));
    idle->addWidget(IdleLabel);
    idle->addWidget(IdleLimit, 1);
    right->addLayout(idle);
    connect(IdleLimit, &QSpinBox::valueChanged, this,
            [this](int seconds) { box_.SetIdleLimit(std::chrono::seconds(seconds)); });
    auto* paper = new QHBoxLayout;
    PaperLabel = new QLabel(this);
    PaperWidth = new QComboBox(this);
    PaperWidth->addItem(QString(), kelvo::printer::kPaper80Dots);
    PaperWidth->addItem(QString(), kelvo::printer::kPaper58Dots);
    PaperWidth->setCurrentIndex(std::max(0, PaperWidth->findData(box_.PaperWidth())));
    paper->addWidget(PaperLabel);
    paper->addWidget(PaperWidth, 1);
    right->addLayout(paper);
    connect(PaperWidth, &QComboBox::currentIndexChanged, this, [this] {
        box_.SetPaperWidth(PaperWidth->currentData().toInt());
        shownChanges_ = UINT64_MAX;
        Refresh();
    });
    JobsGroup = new QGroupBox(this);
    auto* jobs = new QVBoxLayout(JobsGroup);
    JobList = new QTreeWidget(JobsGroup);
    JobList->setRootIsDecorated(false);
    JobList->setUniformRowHeights(true);
    JobList->setSelectionMode(QAbstractItemView::SingleSelection);
    JobList->setColumnCount(4);
    JobList->header()->setStretchLastSection(true);
    jobs->addWidget(JobList);
    // Under the paper, as wide as it: a job's time, source and summary fit on one row.
    JobsGroup->setMinimumHeight(170);
    left->addWidget(JobsGroup);
    connect(JobList, &QTreeWidget::itemSelectionChanged, this,
            &TVirtualPrinterWindow::ShowPickedJob);
    auto* buttons = new QHBoxLayout;
    ClearPaper = new QPushButton(this);
    SavePng = new QPushButton(this);
    buttons->addWidget(ClearPaper);
    buttons->addWidget(SavePng);
    OpenPage = new QPushButton(this);
    OpenPage->hide();
    buttons->addWidget(OpenPage);
    right->addLayout(buttons);
    columns->addLayout(right, 1);

    for (long baud : {0L, 115200L, 38400L, 9600L})
        ReadSpeed->addItem(QString(), QVariant::fromValue<qlonglong>(baud));
    connect(ReadSpeed, &QComboBox::currentIndexChanged, this,
            [this] { box_.SetReadBaud(ReadSpeed->currentData().toLongLong()); });
    connect(PrinterChoice, &QComboBox::currentIndexChanged, this, [this] {
        // Picked: shown until a printer prints after this.
        NoteShownEnds();
        Receipt->SetPaper({});
        shownChanges_ = UINT64_MAX;
        Refresh();
    });
    connect(ClearPaper, &QPushButton::clicked, this, [this] {
        box_.With(PrinterChoice->currentIndex(), [](VirtualPrinter& p) { p.ClearPaper(); });
        JobList->clearSelection();  // Save PNG saves the roll again
        shownChanges_ = UINT64_MAX;
        Refresh();
    });
    connect(SavePng, &QPushButton::clicked, this, &TVirtualPrinterWindow::SaveReceipt);
    connect(OpenPage, &QPushButton::clicked, this, [this] { dialogs_.OpenUrl(pageUrl_); });

    SetEnglish(true);
    resize(1000, 720);
    poll_ = new QTimer(this);
    connect(poll_, &QTimer::timeout, this, [this] {
        box_.EndPausedFrame();
        if (box_.Changes() != shownChanges_)
            Refresh();
        ShowClients();
    });
    poll_->start(100);
}

void TVirtualPrinterWindow::SetPageUrl(const QString& url) {
    pageUrl_ = url;
    OpenPage->setVisible(!url.isEmpty());
}

void TVirtualPrinterWindow::SetEnglish(bool english) {
    english_ = english;
    auto t = [english](const char* en, const char* zh) {
        return QString::fromUtf8(english ? en : zh);
    };
    setWindowTitle(t("Virtual printer", "虚拟打印机"));
    const int picked = std::max(0, PrinterChoice->currentIndex());
    PrinterChoice->blockSignals(true);
    PrinterChoice->clear();
    PrinterChoice->addItem(t("Network printer (TCP)", "网口打印机 (TCP)"));
    PrinterChoice->addItem(t("Serial line printer", "串口打印机"));
    for (const char* n : {"001", "002", "003"})
        PrinterChoice->addItem(t("Wireless printer ", "无线打印机 ") + QString::fromLatin1(n));
    PrinterChoice->setCurrentIndex(picked);
    PrinterChoice->blockSignals(false);
    SettingsGroup->setTitle(t("Stored settings", "存储的设置"));
    NvGroup->setTitle(t("NV images", "NV 图片"));
    CountersGroup->setTitle(t("Counters", "计数"));
    FlagsGroup->setTitle(t("Status", "状态"));
    Online->setText(t("Online", "在线"));
    CoverOpen->setText(t("Cover open", "上盖打开"));
    PaperNearEnd->setText(t("Paper near end", "纸将尽"));
    PaperOut->setText(t("Paper out (holds the serial line)", "缺纸（串口暂停接收）"));
    DrawerOpen->setText(t("Drawer open", "钱箱打开"));
    Error->setText(t("Error", "错误"));
    SpeedLabel->setText(t("Read serial at:", "串口读取速度："));
    const char* const speeds[][2] = {{"full speed", "全速"},
                                     {"115200 baud", "115200 波特"},
                                     {"38400 baud", "38400 波特"},
                                     {"9600 baud", "9600 波特"}};
    for (int i = 0; i < ReadSpeed->count(); ++i)
        ReadSpeed->setItemText(i, t(speeds[i][0], speeds[i][1]));
    IdleLabel->setText(t("Close a silent network client after:", "关闭静默的网络客户端："));
    IdleLimit->setSuffix(t(" s", " 秒"));
    IdleLimit->setSpecialValueText(t("never", "从不"));
    PaperLabel->setText(t("Paper:", "纸张："));
    PaperWidth->setItemText(0, t("80 mm (576 dots)", "80 毫米（576 点）"));
    PaperWidth->setItemText(1, t("58 mm (384 dots)", "58 毫米（384 点）"));
    JobsGroup->setTitle(t("Jobs", "作业"));
    JobList->setHeaderLabels(
        {t("Time", "时间"), t("From", "来源"), t("Bytes", "字节"), t("Printed", "打印内容")});
    shownJobs_.clear();
    ClearPaper->setText(t("Clear paper", "清除纸张"));
    SavePng->setText(t("Save PNG…", "保存 PNG…"));
    OpenPage->setText(t("Open web page", "打开网页"));
    shownChanges_ = UINT64_MAX;
    Refresh();
    ShowClients();
}

void TVirtualPrinterWindow::ShowClients() {
    const kelvo::printer::TcpQueue queue = box_.TcpClients();
    auto when = [](std::chrono::system_clock::time_point t) {
        return QDateTime::fromSecsSinceEpoch(std::chrono::system_clock::to_time_t(t))
            .toString(QStringLiteral("HH:mm:ss"));
    };
    QString text = english_ ? (queue.served ? QStringLiteral("Network client connected")
                                            : QStringLiteral("No network client"))
                            : QString::fromUtf8(queue.served ? "网络客户端已连接" : "无网络客户端");
    if (queue.served) {
        text += english_ ? QStringLiteral(": %1 since %2") : QString::fromUtf8("：%1，自 %2");
        text = text.arg(QString::fromStdString(queue.served->address), when(queue.served->since));
    }
    const int waiting = static_cast<int>(queue.waiting.size()) + queue.backlog;
    if (waiting > 0) {
        text += QLatin1Char('\n') +
                (english_
                     ? QStringLiteral("%1 %2 waiting")
                           .arg(waiting)
                           .arg(waiting == 1 ? QStringLiteral("client") : QStringLiteral("clients"))
                     : QString::fromUtf8("%1 个客户端等待中").arg(waiting));
        QStringList who;
        for (const kelvo::printer::TcpClient& client : queue.waiting)
            who << QString::fromStdString(client.address) + QLatin1Char(' ') + when(client.since);
        if (!who.isEmpty())
            text += QStringLiteral(": ") + who.join(QStringLiteral(", "));
    }
    if (text != Clients->text())
        Clients->setText(text);
}

void TVirtualPrinterWindow::NoteShownEnds() {
    for (int i = 0; i < PrinterBox::kPrinters; ++i) {
        seenEnds_[static_cast<size_t>(i)] =
            box_.With(i, [](VirtualPrinter& p) { return p.PaperDropped() + p.PaperSize(); });
    }
    seen_ = true;
}

// The paper shown is the printer that printed last: of those that printed since the last look,
// the one whose job began last.
void TVirtualPrinterWindow::FollowPrinting() {
    int latest = -1;
    std::chrono::system_clock::time_point latestStart{};
    for (int i = 0; i < PrinterBox::kPrinters; ++i) {
        const auto [end, started] = box_.With(i, [](VirtualPrinter& p) {
            const auto start =
                p.JobRunning() || p.Jobs().empty() ? p.Job().started : p.Jobs().back().started;
            return std::pair{p.PaperDropped() + p.PaperSize(), start};
        });
        uint64_t& seen = seenEnds_[static_cast<size_t>(i)];
        if (seen_ && end != seen && (latest < 0 || started >= latestStart)) {
            latest = i;
            latestStart = started;
        }
        seen = end;
    }
    seen_ = true;
    if (latest < 0 || latest == PrinterChoice->currentIndex())
        return;
    PrinterChoice->blockSignals(true);
    PrinterChoice->setCurrentIndex(latest);
    PrinterChoice->blockSignals(false);
    Receipt->SetPaper({});
}

void TVirtualPrinterWindow::ShowJobs() {
    struct Entry {
        int printer;
        JobRecord job;
        bool running;
    };
    std::vector<Entry> entries;
    for (int i = 0; i < PrinterBox::kPrinters; ++i) {
        box_.With(i, [&](VirtualPrinter& p) {
            for (const JobRecord& job : p.Jobs())
                entries.push_back({i, job, false});
            // A client may hold its connection through many prints: its job shows as it goes.
            if (p.JobRunning()) {
                entries.push_back({i, p.Job(), true});
                entries.back().job.endItem = p.PaperDropped() + p.PaperSize();
            }
        });
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.job.started > b.job.started; });
    std::vector<std::pair<int, uint64_t>> keys;
    for (const Entry& e : entries)
        keys.emplace_back(e.printer, e.job.number);
    // The same jobs: their entries are brought up to date where they are, keeping the list's
    // scroll position and the job picked.
    const bool same = keys == shownJobs_;
    int pickedPrinter = -1;
    qulonglong pickedNumber = 0;
    if (const auto picked = JobList->selectedItems(); !picked.isEmpty()) {
        pickedPrinter = picked.front()->data(kJobTime, kJobPrinter).toInt();
        pickedNumber = picked.front()->data(kJobTime, kJobNumber).toULongLong();
    }
    JobList->blockSignals(true);
    if (!same)
        JobList->clear();
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        QTreeWidgetItem* item =
            same ? JobList->topLevelItem(static_cast<int>(i)) : new QTreeWidgetItem(JobList);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(e.job.started.time_since_epoch())
                .count();
        item->setText(kJobTime,
                      QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm:ss")));
        QString endpoint = QString::fromStdString(e.job.endpoint);
        if (endpoint.isEmpty())
            endpoint = QString::fromLatin1(PrinterBox::PrinterName(e.printer));
        item->setText(kJobEndpoint, endpoint);
        item->setText(kJobBytes, QString::number(e.job.bytes));
        item->setTextAlignment(kJobBytes, Qt::AlignRight | Qt::AlignVCenter);
        QString printed = Printed(e.job, english_);
        if (e.running) {
            printed = e.job.bytes == 0 && e.job.lines + e.job.pictures + e.job.cuts == 0
                          ? (english_ ? QStringLiteral("printing…") : QString::fromUtf8("打印中…"))
                          : printed + (english_ ? QStringLiteral(" (printing…)")
                                                : QString::fromUtf8("（打印中…）"));
        }
        item->setText(kJobPrinted, printed);
        item->setData(kJobTime, kJobPrinter, e.printer);
        item->setData(kJobTime, kJobNumber, QVariant::fromValue<qulonglong>(e.job.number));
        item->setData(kJobTime, kJobFirstItem, QVariant::fromValue<qulonglong>(e.job.firstItem));
        // A job still running is saved with all it has printed by then.
        item->setData(kJobTime, kJobEndItem,
                      QVariant::fromValue<qulonglong>(e.running ? UINT64_MAX : e.job.endItem));
        if (!same && e.printer == pickedPrinter && e.job.number == pickedNumber)
            item->setSelected(true);
    }
    JobList->blockSignals(false);
    if (!same) {
        shownJobs_ = std::move(keys);
        for (int column : {kJobTime, kJobEndpoint, kJobBytes})
            JobList->resizeColumnToContents(column);
    }
}

void TVirtualPrinterWindow::ShowPickedJob() {
    const auto picked = JobList->selectedItems();
    if (picked.isEmpty())
        return;
    const int printer = picked.front()->data(kJobTime, kJobPrinter).toInt();
    const uint64_t first = picked.front()->data(kJobTime, kJobFirstItem).toULongLong();
    if (printer != PrinterChoice->currentIndex())
        PrinterChoice->setCurrentIndex(printer);
    // Once the area has laid out the paper, as it may just have been loaded.
    QScrollBar* bar = Roll->verticalScrollBar();
    const int top = Receipt->TopOf(first);
    bar->setValue(top);
    QTimer::singleShot(0, bar, [bar, top] { bar->setValue(top); });
}

void TVirtualPrinterWindow::Refresh() {
    const uint64_t changes = box_.Changes();
    FollowPrinting();
    auto t = [this](const char* en, const char* zh) {
        return QString::fromUtf8(english_ ? en : zh);
    };
    Endpoints->setText(
        t("TCP: ", "TCP：") + QString::fromStdString(box_.TcpAddress()) + QLatin1Char('\n') +
        t("Serial line: ", "串口：") +
        (box_.PtyPath().empty() ? t("none", "无") : QString::fromStdString(box_.PtyPath())));
    QString settings, nv, counters, job;
    std::vector<kelvo::printer::PaperItem> newer;
    uint64_t firstKept = 0, from = Receipt->End();
    int paperWidth = kelvo::printer::kPaper80Dots;
    box_.With(0, [&](VirtualPrinter& p) {
        if (p.Jobs().empty())
            return;
        const kelvo::printer::JobRecord& last = p.Jobs().back();
        job = t("Last network job: %1 bytes, ", "上一个网络作业：%1 字节，").arg(last.bytes) +
              (last.end == "idle" ? t("closed at the idle limit", "静默超时关闭")
               : last.end == "reset by the printer" ? t("reset by the printer", "被打印机重置")
                                                    : t("closed by the client", "客户端关闭"));
        if (!last.dropped.empty()) {
            job +=
                t("; unfinished %1 dropped (%2 of %3 bytes)", "；丢弃未完成的 %1（%2 / %3 字节）")
                    .arg(QString::fromStdString(last.dropped))
                    .arg(last.droppedHave)
                    .arg(last.droppedNeed);
        }
        if (last.refused > 0)
            job += t("; %1 refused as too large", "；%1 条命令过大被拒绝").arg(last.refused);
    });
    box_.With(PrinterChoice->currentIndex(), [&](VirtualPrinter& p) {
        const auto& s = p.Settings();
        settings = t("Baud rate: %1\nCharacter set: %2\nCode page: %3\nChinese: %4\n"
                     "Switches: %5\nIP: %6\nMAC: %7",
                     "波特率：%1\n国际字符集：%2\n代码页：%3\n汉字模式：%4\n"
                     "功能开关：%5\nIP：%6\nMAC：%7")
                       .arg(s.Baud())
                       .arg(s.intlCharset)
                       .arg(s.codePage)
                       .arg(s.chineseMode ? t("on", "开") : t("off", "关"))
                       .arg(Hex(s.switches))
                       .arg(QStringLiteral("%1.%2.%3.%4")
                                .arg(s.ip[0])
                                .arg(s.ip[1])
                                .arg(s.ip[2])
                                .arg(s.ip[3]))
                       .arg(QStringList{Hex(s.mac[0]), Hex(s.mac[1]), Hex(s.mac[2]), Hex(s.mac[3]),
                                        Hex(s.mac[4]), Hex(s.mac[5])}
                                .join(QLatin1Char('-')));
        int n = 0;
        for (const auto& image : p.NvImages()) {
            nv += QStringLiteral("%1: %2 x %3 %4\n")
                      .arg(++n)
                      .arg(image.width)
                      .arg(image.height)
                      .arg(t("dots", "点"));
        }
        if (nv.isEmpty())
            nv = t("none", "无");
        const auto& c = p.Count();
        counters = t("Bytes: %1\nLines: %2\nCuts: %3\nDrawer pulses: %4",
                     "字节：%1\n行：%2\n切纸：%3\n钱箱脉冲：%4")
                       .arg(c.bytes)
                       .arg(c.lines)
                       .arg(c.cuts)
                       .arg(c.drawerPulses);
        paperWidth = p.PaperWidth();
        // Only what is new since the last look: the lock is held for a copy of that alone.
        firstKept = p.PaperDropped();
        const uint64_t end = firstKept + p.PaperSize();
        if (from < firstKept || from > end)
            from = firstKept;
        newer.assign(p.Paper().begin() + static_cast<std::ptrdiff_t>(from - firstKept),
                     p.Paper().end());
    });
    LastJob->setText(job);
    SettingsView->setText(settings);
    NvView->setText(nv.trimmed());
    CountersView->setText(counters);
    QScrollBar* bar = Roll->verticalScrollBar();
    const bool atBottom = bar->value() >= bar->maximum() - 4;
    Receipt->SetPaperWidth(paperWidth);
    Receipt->Append(firstKept, from, std::move(newer));
    // The scroll range follows the new size only once the area has laid it out.
    if (atBottom)
        QTimer::singleShot(0, bar, [bar] { bar->setValue(bar->maximum()); });
    ShowJobs();
    ShowFlags();
    shownChanges_ = changes;
}

void TVirtualPrinterWindow::ShowFlags() {
    const kelvo::printer::StatusFlags f = box_.With(0, [](VirtualPrinter& p) { return p.Flags(); });
    const std::pair<QCheckBox*, bool> shown[] = {
        {Online, f.online},     {CoverOpen, f.coverOpen},   {PaperNearEnd, f.paperNearEnd},
        {PaperOut, f.paperOut}, {DrawerOpen, f.drawerOpen}, {Error, f.error}};
    for (const auto& [box, on] : shown) {
        const QSignalBlocker quiet(box);
        box->setChecked(on);
    }
}

void TVirtualPrinterWindow::ApplyFlags() {
    kelvo::printer::StatusFlags flags;
    flags.online = Online->isChecked();
    flags.coverOpen = CoverOpen->isChecked();
    flags.paperNearEnd = PaperNearEnd->isChecked();
    flags.paperOut = PaperOut->isChecked();
    flags.drawerOpen = DrawerOpen->isChecked();
    flags.error = Error->isChecked();
    box_.SetFlags(flags);
}

void TVirtualPrinterWindow::SaveReceipt() {
    // A job picked is saved alone, from its printer's paper as far as it is still kept.
    const auto picked = JobList->selectedItems();
    std::optional<kelvo::paint::ReceiptPainter> job;
    if (!picked.isEmpty()) {
        const uint64_t first = picked.front()->data(kJobTime, kJobFirstItem).toULongLong();
        const uint64_t end = picked.front()->data(kJobTime, kJobEndItem).toULongLong();
        std::vector<PaperItem> items;
        int width = kelvo::printer::kPaper80Dots;
        box_.With(picked.front()->data(kJobTime, kJobPrinter).toInt(), [&](VirtualPrinter& p) {
            width = p.PaperWidth();
            items = kelvo::printer::PaperItems(p, first, end);
        });
        if (items.empty()) {
            dialogs_.Message(this, windowTitle(),
                             english_ ? QStringLiteral("This job left nothing on the paper kept.")
                                      : QString::fromUtf8("此作业在保留的纸上没有内容。"),
                             Dialogs::Icon::Information);
            return;
        }
        job.emplace();
        job->SetPaperWidth(width);
        job->SetPaper(std::move(items));
    }
    const kelvo::paint::ReceiptPainter& shown = job ? *job : Receipt->Painter();
    const QString path = dialogs_.SaveFile(this, QStringLiteral("PNG (*.png)|*.png"));
    if (path.isEmpty())
        return;
    if (!shown.Render().save(path, "PNG")) {
        dialogs_.Message(this, windowTitle(), path, Dialogs::Icon::Error);
    } else if (shown.RollHeight() > kelvo::paint::ReceiptPainter::kMaxRenderRows) {
        const QString text =
            english_ ? QStringLiteral("The roll is %1 dots long; its newest %2 dots were saved.")
                     : QString::fromUtf8("纸卷长 %1 点；只保存了最新的 %2 点。");
        dialogs_.Message(
            this, windowTitle(),
            text.arg(shown.RollHeight()).arg(kelvo::paint::ReceiptPainter::kMaxRenderRows),
            Dialogs::Icon::Information);
    }
}
