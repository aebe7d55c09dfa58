#include "app/VirtualPrinterWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "app/Dialogs.h"
#include "app/ReceiptView.h"

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
    for (QCheckBox** flag : {&Online, &CoverOpen, &PaperNearEnd, &PaperOut, &DrawerOpen}) {
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
    auto* buttons = new QHBoxLayout;
    ClearPaper = new QPushButton(this);
    SavePng = new QPushButton(this);
    buttons->addWidget(ClearPaper);
    buttons->addWidget(SavePng);
    right->addLayout(buttons);
    right->addStretch(1);
    columns->addLayout(right);

    for (long baud : {0L, 115200L, 38400L, 9600L})
        ReadSpeed->addItem(QString(), QVariant::fromValue<qlonglong>(baud));
    connect(ReadSpeed, &QComboBox::currentIndexChanged, this,
            [this] { box_.SetReadBaud(ReadSpeed->currentData().toLongLong()); });
    connect(PrinterChoice, &QComboBox::currentIndexChanged, this, [this] {
        Receipt->SetPaper({});
        shownChanges_ = UINT64_MAX;
        Refresh();
    });
    connect(ClearPaper, &QPushButton::clicked, this, [this] {
        box_.With(PrinterChoice->currentIndex(), [](VirtualPrinter& p) { p.ClearPaper(); });
        shownChanges_ = UINT64_MAX;
        Refresh();
    });
    connect(SavePng, &QPushButton::clicked, this, &TVirtualPrinterWindow::SaveReceipt);

    SetEnglish(true);
    resize(1000, 720);
    poll_ = new QTimer(this);
    connect(poll_, &QTimer::timeout, this, [this] {
        if (box_.Changes() != shownChanges_)
            Refresh();
        ShowClients();
    });
    poll_->start(100);
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
    ClearPaper->setText(t("Clear paper", "清除纸张"));
    SavePng->setText(t("Save PNG…", "保存 PNG…"));
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

void TVirtualPrinterWindow::Refresh() {
    const uint64_t changes = box_.Changes();
    auto t = [this](const char* en, const char* zh) {
        return QString::fromUtf8(english_ ? en : zh);
    };
    Endpoints->setText(t("TCP: ", "TCP：") + QString::fromStdString(box_.TcpAddress()) +
                       QLatin1Char('\n') + t("Serial line: ", "串口：") +
                       QString::fromStdString(box_.PtyPath()));
    QString settings, nv, counters, job;
    std::vector<kelvo::printer::PaperItem> newer;
    uint64_t firstKept = 0, from = Receipt->End();
    box_.With(0, [&](VirtualPrinter& p) {
        if (p.Jobs().empty())
            return;
        const kelvo::printer::JobRecord& last = p.Jobs().back();
        job = t("Last network job: %1 bytes, ", "上一个网络作业：%1 字节，").arg(last.bytes) +
              (last.end == "idle" ? t("closed at the idle limit", "静默超时关闭")
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
    Receipt->Append(firstKept, from, std::move(newer));
    // The scroll range follows the new size only once the area has laid it out.
    if (atBottom)
        QTimer::singleShot(0, bar, [bar] { bar->setValue(bar->maximum()); });
    shownChanges_ = changes;
}

void TVirtualPrinterWindow::ApplyFlags() {
    kelvo::printer::StatusFlags flags;
    flags.online = Online->isChecked();
    flags.coverOpen = CoverOpen->isChecked();
    flags.paperNearEnd = PaperNearEnd->isChecked();
    flags.paperOut = PaperOut->isChecked();
    flags.drawerOpen = DrawerOpen->isChecked();
    box_.SetFlags(flags);
}

void TVirtualPrinterWindow::SaveReceipt() {
    const QString path = dialogs_.SaveFile(this, QStringLiteral("PNG (*.png)|*.png"));
    if (path.isEmpty())
        return;
    if (!Receipt->Render().save(path, "PNG")) {
        dialogs_.Message(this, windowTitle(), path, Dialogs::Icon::Error);
    } else if (Receipt->RollHeight() > TReceiptView::kMaxRenderRows) {
        const QString text =
            english_ ? QStringLiteral("The roll is %1 dots long; its newest %2 dots were saved.")
                     : QString::fromUtf8("纸卷长 %1 点；只保存了最新的 %2 点。");
        dialogs_.Message(this, windowTitle(),
                         text.arg(Receipt->RollHeight()).arg(TReceiptView::kMaxRenderRows),
                         Dialogs::Icon::Information);
    }
}
