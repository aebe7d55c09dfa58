#include "app/Unit1.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>

#include "KelvoVersion.h"
#include "app/LogPanel.h"
#include "app/VirtualPrinterWindow.h"
#include "jobs/Send.h"
#include "links/PortDiscovery.h"
#include "links/PortName.h"
#include "links/SendRawToPrinter.h"
#include "links/StatusQuery.h"
#include "protocol/GbkText.h"
#include "widgets/PortBox.h"

const QString kInitPortFailure = QStringLiteral("初始化端口失败！\r\nTo initialize port failure");

namespace {
// The form's own client width, and the log panel the window grows by beside it.
constexpr int kFormWidth = 621;
constexpr int kLogPanelWidth = 420;
// How long a shown window's deferred start-up waits for its first paint at most.
constexpr int kStartupPaintWaitMs = 1000;

// A text edit lays out an empty document in the application's font while it is built, before it
// takes its own; with the form's font in that place no face the window never shows is loaded
// before its first paint. Dialogs keep the application's font: it is back once the form is built.
class ApplicationFontWhileBuilt {
  public:
    explicit ApplicationFontWhileBuilt(const QFont& font) : saved_(QApplication::font()) {
        QApplication::setFont(font);
    }
    ~ApplicationFontWhileBuilt() { QApplication::setFont(saved_); }
    ApplicationFontWhileBuilt(const ApplicationFontWhileBuilt&) = delete;
    ApplicationFontWhileBuilt& operator=(const ApplicationFontWhileBuilt&) = delete;

  private:
    const QFont saved_;
};
}  // namespace

bool TOpenDialog::Execute() {
    QString chosen = owner_.dialogs().OpenFile(&owner_, Filter);
    if (chosen.isEmpty())
        return false;
    FileName = chosen;
    return true;
}

TForm1::TForm1(std::unique_ptr<Dialogs> dialogs, QWidget* parent)
    : QMainWindow(parent), dialogs_(dialogs ? std::move(dialogs) : std::make_unique<QtDialogs>()) {
    setWindowTitle(QStringLiteral("Kelvotool ver ") + QLatin1String(kelvo::kVersion));
    // 637 x 575 outside with a Windows frame: 621 x 537 inside. The frame is the window manager's.
    move(345, 107);
    resize(kFormWidth, 537);
    QFont font(QStringLiteral("Liberation Sans"));
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("WenQuanYi Micro Hei")});
    font.setPixelSize(11);
    setFont(font);
    const ApplicationFontWhileBuilt buildFont(font);

    auto* client = new QWidget(this);
    setCentralWidget(client);

    PageControl1 = new QTabWidget(client);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setGeometry(24, 7, 593, 449);
    // The style's roomy tab padding would push the fifth tab behind scroll arrows.
    PageControl1->tabBar()->setStyleSheet(QStringLiteral(
        "QTabBar::tab { padding: 4px 7px; border: 1px solid #a0a0a0; border-bottom: none;"
        " background: #e8e8e8; margin-right: 1px; }"
        "QTabBar::tab:selected { background: #fafafa; }"));

    TabSheet1 = NewPage("TabSheet1", QStringLiteral("网口打印机IP设置"),
                        QStringLiteral("Network printer test"));
    TabSheet2 = NewPage("TabSheet2", QStringLiteral("串口/并口打印机测试"),
                        QStringLiteral("Serial / parallel printer test"));
    ts1 = NewPage("ts1", QStringLiteral("无线打印机测试"), QStringLiteral("Wireless printer test"));
    TabSheet4 = NewPage("TabSheet4", QStringLiteral("QM419 专用参数"),
                        QStringLiteral("QM419 printer parameters"));
    TabSheet3 = NewPage("TabSheet3", QStringLiteral("USB 驱动打印测试"), QString());
    TabSheet3->setEnabled(false);
    ts2 = NewPage("ts2", QStringLiteral("NV LOGO"), QStringLiteral("NV LOGO"));

    btn13 = NewButton(client, "btn13", QRect(24, 464, 593, 41),
                      QStringLiteral("Language   English"), QStringLiteral("Chinese"));
    OnClick(btn13, &TForm1::btn13Click);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setFixedHeight(28);
    StatusBar1->setSizeGripEnabled(false);
    // The original panel was 50 pixels wide and clipped most messages; ours spans the bar.
    statusPanel0_ = new QLabel(StatusBar1);
    statusPanel0_->setObjectName(QStringLiteral("StatusPanel0"));
    statusPanel0_->setTextFormat(Qt::PlainText);
    StatusBar1->addWidget(statusPanel0_, 1);
    setStatusBar(StatusBar1);
    SetStatusText(QStringLiteral("Wait ...."));

    Log = new TActivityLog(this);
    Log->setObjectName(QStringLiteral("Log"));
    LogPanel = new TLogPanel(*Log, client);
    LogPanel->setGeometry(kFormWidth, 7, kLogPanelWidth - 4, 498);
    LogPanel->hide();
    LogToggle = new QToolButton(StatusBar1);
    LogToggle->setObjectName(QStringLiteral("LogToggle"));
    LogToggle->setCheckable(true);
    // The arrow is the style's: a "▸" in the caption would load a fallback face for one glyph.
    LogToggle->setArrowType(Qt::RightArrow);
    LogToggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    LogToggle->setText(QStringLiteral("Log"));
    VirtualToggle = new QToolButton(StatusBar1);
    VirtualToggle->setObjectName(QStringLiteral("VirtualToggle"));
    VirtualToggle->setCheckable(true);
    StatusBar1->addPermanentWidget(VirtualToggle);
    OnClick(VirtualToggle, &TForm1::VirtualToggleClick);
    StatusBar1->addPermanentWidget(LogToggle);
    OnClick(LogToggle, &TForm1::LogToggleClick);
    OnClick(LogPanel->StatusButton, &TForm1::StatusRequestClick);
    OnClick(LogPanel->CopyButton, &TForm1::LogCopyClick);
    OnClick(LogPanel->SaveButton, &TForm1::LogSaveClick);
    OnClick(LogPanel->TapButton, &TForm1::LogTapClick);
    OnClick(LogPanel->TapSaveButton, &TForm1::LogTapSaveClick);
    OnClick(LogPanel->SendFileButton, &TForm1::LogSendFileClick);

    Comm1 = std::make_unique<TComm>([this](std::function<void()> notice) {
        // Queued onto this window's thread; dropped if the window is gone by then.
        QMetaObject::invokeMethod(this, std::move(notice), Qt::QueuedConnection);
    });
    Comm1->SetCommName("COM3");
    Comm1->SetBaudRate(115200);
    Comm1->SetStopBits(TStopBits::_2);
    Comm1->OnReceiveData = [this](TComm& sender, const void* buffer, uint16_t length) {
        Run([&] { Comm1ReceiveData(sender, buffer, length); });
    };

    Actions = new TActionRunner(this);
    Actions->setObjectName(QStringLiteral("Actions"));
    Actions->Log = Log;

    tmr1 = new TTimer(this, 3000);
    tmr1->setObjectName(QStringLiteral("tmr1"));
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);

    BuildNetworkPage();
    BuildSerialPage();
    BuildWirelessPage();
    BuildParameterPage();
    BuildNvLogoPage();

    PageControl1->setCurrentWidget(TabSheet4);
    CaptionPages();
    qApp->installEventFilter(this);

    Run([this] { FormCreate(); });
    built_ = true;
    // Nor may the network page show unfitted.
    connect(PageControl1, &QTabWidget::currentChanged, this, [this] { BeginDeferredStartup(); });
    // A window that is not shown (or not yet) starts the rest once the event loop runs; a shown
    // one waits for its first paint, but not for ever: a window manager may never expose it.
    QTimer::singleShot(0, this, [this] {
        if (!isVisible())
            BeginDeferredStartup();
        else
            QTimer::singleShot(kStartupPaintWaitMs, this, [this] { BeginDeferredStartup(); });
    });
}

TForm1::~TForm1() {
    // The background job (the printer list) ends and is joined before anything else goes.
    delete std::exchange(Actions, nullptr);
    delete std::exchange(linkWatch_, nullptr);  // before the link's socket closes
    SetVirtualPrinter(false);
    Comm1.reset();
    qApp->removeEventFilter(this);
}

void TForm1::FormCreate() {
    PrintCounter = 0;
    // 2. the language switch: the window opens in English
    btn13->click();
    // 3. the NV logo page's driver names come after the window is shown (BeginDeferredStartup).
    cbb6->clear();
}

void TForm1::BeginDeferredStartup() {
    if (std::exchange(startupBegun_, true))
        return;
    FitNetworkPage();
    LoadPosdll();
    // 3. the NV logo page's driver names: the installed printers, in the spooler's order. A print
    // server that hangs must not hold up the window, so the list arrives while it is in use.
    Actions->StartBackground([this] {
        std::string why;
        std::vector<std::string> names = kelvo::InstalledPrinters(&why);
        return std::function<void()>([this, names = std::move(names), why = std::move(why)] {
            if (!why.empty())
                qWarning("printer list empty: %s", why.c_str());
            // A name typed meanwhile stays; otherwise 4. the first of them, if any.
            const QString typed = cbb6->currentText();
            cbb6->clear();
            for (const std::string& name : names)
                cbb6->addItem(QString::fromStdString(name));
            if (!typed.isEmpty())
                cbb6->setEditText(typed);
            else if (cbb6->count() > 0)
                cbb6->setCurrentIndex(0);
            DriverNamesListed = true;
        });
    });
}

void TForm1::AwaitPrinterList() {
    BeginDeferredStartup();
    // The window paints meanwhile; the list gives up on a silent print server after its
    // time-out, or at the dialog's Cancel.
    if (!DriverNamesListed)
        Actions->FinishBackground(QStringLiteral("打印机列表 (printer list)"));
}

bool TForm1::event(QEvent* event) {
    // Right after the first paint, not during it: the window shows before anything else starts.
    if (event->type() == QEvent::Paint && !startupBegun_) {
        QMetaObject::invokeMethod(
            this, [this] { BeginDeferredStartup(); }, Qt::QueuedConnection);
    }
    return QMainWindow::event(event);
}

void TForm1::btn13Click() {
    // The other language must not show before the texts have been fitted.
    if (built_)
        BeginDeferredStartup();
    PageControl1->setTabVisible(PageControl1->indexOf(TabSheet3), false);
    static constexpr TextKind kOrder[] = {
        TextKind::Button, TextKind::GroupBox, TextKind::CheckBox,   TextKind::Page,
        TextKind::Edit,   TextKind::Label,    TextKind::RadioButton};
    for (auto& entry : twoTexts_) {
        // Every registered control is of exactly one kind, so it is exchanged exactly once.
        if (std::find(std::begin(kOrder), std::end(kOrder), entry.kind) == std::end(kOrder) ||
            entry.keepsTyped) {
            continue;
        }
        QString shown = ShownText(entry, PageControl1);
        SetShownText(entry, PageControl1, entry.other);
        entry.other = shown;
    }
    // The log's own texts, beside the form's: the button now offers the other language.
    const bool english = btn13->text() == QStringLiteral("Chinese");
    LogPanel->SetEnglish(english);
    LogToggle->setText(english ? QStringLiteral("Log") : QStringLiteral("日志"));
    VirtualToggle->setText(english ? QStringLiteral("Virtual printer")
                                   : QStringLiteral("虚拟打印机"));
    if (VirtualPrinterWindow != nullptr)
        VirtualPrinterWindow->SetEnglish(english);
}

void TForm1::FormKeyDown(int& Key, Qt::KeyboardModifiers Shift) {
    (void)Shift;  // F8 counts with any modifier
    // F8 gives the reserved-parameter button back, whatever the connection state.
    if (Key == Qt::Key_F8)
        Button16->setEnabled(true);
}

void TForm1::Comm1ReceiveData(TComm& Sender, const void* Buffer, uint16_t BufferLength) {
    std::string received(static_cast<const char*>(Buffer), BufferLength);
    // Not used by any action, but a technician may want to see what the printer said.
    Log->Unsolicited(DeviceTarget(Sender.CommName()), received);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* widget = qobject_cast<QWidget*>(watched);
        // Key preview: one look per key press, at the widget that has it, inside this window.
        if (widget != nullptr && widget->window() == this &&
            widget == QApplication::focusWidget()) {
            auto* keyEvent = static_cast<QKeyEvent*>(event);
            int key = keyEvent->key();
            Run([&] { FormKeyDown(key, keyEvent->modifiers()); });
            if (key == 0)
                return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

QString TForm1::StatusText() const {
    return statusPanel0_->text();
}

void TForm1::SetStatusText(const QString& text) {
    statusPanel0_->setText(text);
}

void TForm1::SetDialogs(std::unique_ptr<Dialogs> dialogs) {
    if (dialogs)
        dialogs_ = std::move(dialogs);
}

void TForm1::ShowErrorBox(const QString& message) {
    QString text = message;
    if (!text.isEmpty() && text.back() > QLatin1Char('.'))
        text += QLatin1Char('.');
    dialogs_->Message(this, QApplication::applicationName(), text, Dialogs::Icon::Error);
}

void TForm1::ShowErrorDialog(const QString& message) {
    dialogs_->Message(this, QStringLiteral("Error"), message, Dialogs::Icon::Error);
}

void TForm1::ReportFailure(std::exception_ptr failure) noexcept {
    try {
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            ShowErrorBox(QString::fromUtf8(e.what()));
        } catch (...) {
            ShowErrorBox(QStringLiteral("Unknown failure"));
        }
    } catch (...) {
        // Showing the box failed (out of memory, say): nothing sensible is left to do.
    }
}

void TForm1::Guarded(const QString& message, const std::function<void()>& sequence) {
    try {
        sequence();
    } catch (...) {
        ShowErrorDialog(message);
    }
}

void TForm1::InitializeComm1() {
    // Stays on the window's thread: the component opens without blocking and bounds its close,
    // and its notices belong to this thread.
    Log->SetTarget(DeviceTarget(Comm1->CommName()));
    try {
        Comm1->OpenPort();
        try {
            // The line settings are on the port once it is open. The byte (a 00, which an
            // ESC/POS printer ignores) is only queued and may be dropped by the close.
            const char nothing = 0;
            Comm1->SendData(&nothing, 1);
        } catch (...) {
            // Left open, the port would be held against every later action.
            Comm1->ClosePort();
            throw;
        }
        Comm1->ClosePort();
    } catch (const std::exception& e) {
        Log->SetFailure(QString::fromUtf8(e.what()));
        throw;
    }
}

QString TForm1::MemoText(const QPlainTextEdit* memo) {
    constexpr int kLargeMemo = 1 << 20;  // characters; below this one read is quick enough
    const QTextDocument* document = memo->document();
    if (document->characterCount() < kLargeMemo)
        return memo->toPlainText();
    QString text;
    text.reserve(document->characterCount());
    QTextBlock block = document->begin();
    Actions->RunInSlices([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
        for (int n = 0; block.isValid(); ++n) {
            if (n % 256 == 0 && std::chrono::steady_clock::now() >= until)
                return false;
            text += block.text();
            block = block.next();
            if (block.isValid())
                text += QLatin1Char('\n');
        }
        return true;
    });
    // What toPlainText does besides joining the blocks.
    for (QChar& c : text) {
        if (c == QChar::LineSeparator)
            c = QLatin1Char('\n');
        else if (c == QChar::Nbsp)
            c = QLatin1Char(' ');
    }
    return text;
}

namespace {
// On the worker: the job is composed there (a long memo takes a while to convert) and its size
// becomes the action's total before any of it goes out.
kelvo::jobs::Job Composed(const std::function<kelvo::jobs::Job()>& compose,
                          TActionRunner::Total& total) {
    kelvo::jobs::Job job = compose();
    total = kelvo::jobs::WireSize(job);
    return job;
}
}  // namespace

void TForm1::SendToDevice(const QString& what, const std::string& port,
                          const std::function<kelvo::jobs::Job()>& compose) {
    TActionRunner::Total total{0};
    RunIo(
        what, DeviceTarget(port),
        [&] { kelvo::jobs::SendToDevice(port, Composed(compose, total)); }, &total);
}

void TForm1::SendOnLink(const QString& what, const std::function<kelvo::jobs::Job()>& compose) {
    TActionRunner::Total total{0};
    RunOnLink(
        what, [&] { kelvo::jobs::Send(IdTCPClient1, Composed(compose, total)); }, &total);
}

std::string TForm1::PortName(const QComboBox* box) {
    return box->currentText().toStdString();
}

void TForm1::OnClick(QAbstractButton* button, void (TForm1::*handler)()) {
    connect(button, &QAbstractButton::clicked, this, [this, button, handler] {
        // The one scope of the user action: everything the click does at a link is one entry of
        // the log, named as the button is.
        TActivityLog::Action action(*Log, TActivityLog::ActionName(button));
        Run([&] { (this->*handler)(); });
    });
}

// ---- The virtual printer ----------------------------------------------------------------------

void TForm1::VirtualToggleClick() {
    QString why;
    if (!SetVirtualPrinter(VirtualToggle->isChecked(), &why))
        ShowErrorDialog(why);
}

bool TForm1::SetVirtualPrinter(bool on, QString* why) {
    if (!on) {
        // The window reads the printers: it goes first.
        delete std::exchange(VirtualPrinterWindow, nullptr);
        VirtualControl.reset();
        VirtualPrinter.reset();
        VirtualToggle->setChecked(false);
        return true;
    }
    if (!VirtualPrinter) {
        try {
            VirtualPrinter = std::make_unique<kelvo::printer::PrinterBox>(VirtualPrinterOptions);
        } catch (const std::exception& e) {
            if (why != nullptr)
                *why = QString::fromUtf8(e.what());
            VirtualToggle->setChecked(false);
            return false;
        }
        try {
            VirtualControl = std::make_unique<kelvo::ControlServer>(
                "", [box = VirtualPrinter.get()](const std::string& line) {
                    return kelvo::printer::ControlNetworkPrinter(*box, line);
                });
        } catch (const std::exception&) {
            VirtualControl.reset();  // the printer runs without; lab set says nothing answers
        }
        VirtualPrinterWindow = new TVirtualPrinterWindow(*VirtualPrinter, dialogs(), this);
        VirtualPrinterWindow->SetEnglish(btn13->text() == QStringLiteral("Chinese"));
        VirtualPrinterWindow->move(x() + width() + 16, y());
    }
    VirtualToggle->setChecked(true);
    VirtualPrinterWindow->show();
    return true;
}

// ---- Activity log and printer status --------------------------------------------------------

void TForm1::LogToggleClick() {
    const bool show = LogToggle->isChecked();
    LogPanel->setVisible(show);
    resize(show ? kFormWidth + kLogPanelWidth : kFormWidth, height());
}

void TForm1::LogCopyClick() {
    QApplication::clipboard()->setText(LogPanel->Text() + QLatin1Char('\n'));
}

void TForm1::LogSaveClick() {
    const QString path = dialogs().SaveFile(this, QStringLiteral("Text (*.txt)|*.txt"));
    if (path.isEmpty())
        return;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write((LogPanel->Text() + QLatin1Char('\n')).toUtf8()) < 0 || !file.commit()) {
        ShowErrorDialog(file.errorString());
    }
}

void TForm1::LogTapClick() {
    if (LogPanel->Tapping())
        LogPanel->StopTap();
    else
        LogPanel->StartTap();
}

void TForm1::LogTapSaveClick() {
    const QString path = dialogs().SaveFile(this, QStringLiteral("pcapng (*.pcapng)|*.pcapng"));
    if (path.isEmpty())
        return;
    if (const QString why = LogPanel->SaveTapCapture(path); !why.isEmpty())
        ShowErrorDialog(why);
}

void TForm1::LogSendFileClick() {
    const QString path =
        dialogs().OpenFile(this, QStringLiteral("Printer bytes|*.bin;*.prn|All files|*"));
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        ShowErrorDialog(file.errorString());
        return;
    }
    const QByteArray bytes = file.readAll();
    const kelvo::jobs::Job job{{bytes.toStdString(), false}};
    const QString what = TActivityLog::ActionName(LogPanel->SendFileButton);
    // Where the printer status would be asked: the network link, else the page's own port.
    const QWidget* page = PageControl1->currentWidget();
    if (IdTCPClient1.Connected() && (page == TabSheet1 || (page == TabSheet4 && rb2->isChecked())))
        SendOnLink(what, [&] { return job; });
    else if (page == TabSheet2 || page == ts1 || (page == TabSheet4 && !rb2->isChecked()) ||
             (page == ts2 && PortChoiceItemIndex() == 0))
        SendToDevice(what,
                     page == TabSheet2 ? PortName(ComboBox1)
                     : page == ts1     ? PortName(cbb1)
                     : page == ts2     ? NvPortName().toStdString()
                                       : PortName(cbb4),
                     [&] { return job; });
    else
        ShowErrorDialog(LogPanel->English() ? QStringLiteral("Not connected: connect first")
                                            : QStringLiteral("未连接：请先连接打印机"));
}

QString TForm1::NetworkTarget() const {
    return QStringLiteral("%1:%2")
        .arg(QString::fromStdString(IdTCPClient1.Host()))
        .arg(IdTCPClient1.Port());
}

QString TForm1::DeviceTarget(const std::string& port) {
    if (port.empty())
        return QStringLiteral("(stdout)");
    const std::string path = kelvo::ResolvePortName(port).path;
    const QString name = QString::fromStdString(port);
    return path == port ? name : QStringLiteral("%1 (%2)").arg(name, QString::fromStdString(path));
}

void TForm1::RunIo(const QString& what, const QString& target, const std::function<void()>& io,
                   const TActionRunner::Total* total) {
    Log->SetTarget(target);
    Actions->Run(what, io, total);
}

void TForm1::RunOnLink(const QString& what, const std::function<void()>& io,
                       const TActionRunner::Total* total) {
    // The action's worker reads the socket: no watch meanwhile.
    WatchLink(false);
    struct NoteUnasked {
        TForm1& form;
        ~NoteUnasked() {
            form.Log->AddReceived(form.IdTCPClient1.TakeUnsolicited());
            form.WatchLink(true);
        }
    } note{*this};
    RunIo(what, NetworkTarget(), io, total);
}

void TForm1::WatchLink(bool on) {
    if (linkWatch_ != nullptr) {
        linkWatch_->setEnabled(false);
        std::exchange(linkWatch_, nullptr)->deleteLater();
    }
    if (!on || !IdTCPClient1.Connected())
        return;
    linkWatch_ = new QSocketNotifier(IdTCPClient1.WatchFd(), QSocketNotifier::Read, this);
    connect(linkWatch_, &QSocketNotifier::activated, this,
            [this] { Run([&] { LinkReadable(); }); });
}

void TForm1::LinkReadable() {
    // Bytes the printer sent unasked stay with the link for the next action's entry.
    if (!IdTCPClient1.CheckClosed())
        return;
    WatchLink(false);
    SetStatusText(QStringLiteral("打印机已断开连接！(The printer closed the connection)"));
    Log->ClosedByPrinter(NetworkTarget(), IdTCPClient1.TakeUnsolicited());
}

void TForm1::StatusRequestClick() {
    const QString what = TActivityLog::ActionName(LogPanel->StatusButton);
    const bool english = LogPanel->English();
    const QWidget* page = PageControl1->currentWidget();
    kelvo::StatusAnswers answers;
    auto ask = [&](const kelvo::StatusAnswers& got) { answers = got; };
    try {
        if (page == TabSheet1 || (page == TabSheet4 && rb2->isChecked())) {
            if (!IdTCPClient1.Connected()) {
                LogPanel->ShowStatusMessage(english ? QStringLiteral("Not connected: connect first")
                                                    : QStringLiteral("未连接：请先连接打印机"));
                return;
            }
            RunOnLink(what, [&] { ask(kelvo::QueryStatus(IdTCPClient1)); });
        } else if (page == ts2 && PortChoiceItemIndex() == 2) {
            LogPanel->ShowStatusMessage(
                english ? QStringLiteral("The print spooler cannot read the printer's status")
                        : QStringLiteral("驱动方式无法读取打印机状态"));
            return;
        } else if (page == ts2 && PortChoiceItemIndex() == 1) {
            const QString ip = QStringList{IP1->text(), IP2->text(), IP3->text(), IP4->text()}.join(
                QLatin1Char('.'));
            RunIo(what, ip + QStringLiteral(":9100"), [&] {
                kelvo::NetworkLink link;
                link.SetHost(ip.toStdString());
                link.SetPort(9100);
                link.Connect();
                ask(kelvo::QueryStatus(link));
                answers.unsolicited += link.TakeUnsolicited();
            });
        } else {
            const std::string port = page == TabSheet2 ? PortName(ComboBox1)
                                     : page == ts1     ? PortName(cbb1)
                                     : page == ts2     ? NvPortName().toStdString()
                                                       : PortName(cbb4);
            RunIo(what, DeviceTarget(port), [&] { ask(kelvo::QueryDeviceStatus(port)); });
        }
    } catch (const std::exception& e) {
        QString text = QString::fromUtf8(e.what());
        text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
        LogPanel->ShowStatusMessage(text);
        return;
    }
    std::string back = answers.unsolicited;  // late answers included
    for (const auto& byte : answers.answer) {
        if (byte)
            back += static_cast<char>(*byte);
    }
    Log->AddReceived(back);
    Log->SetStatus(answers.answer, answers.late);
    LogPanel->ShowStatus(answers.answer, answers.late);
}

// ---- Two texts ------------------------------------------------------------------------------

void TForm1::RegisterTwoTexts(QWidget* control, TextKind kind, const QString& other,
                              bool keepsTyped) {
    twoTexts_.push_back({control, kind, other, keepsTyped});
}

QString TForm1::OtherText(const QWidget* control) const {
    for (const auto& entry : twoTexts_) {
        if (entry.control == control)
            return entry.other;
    }
    return {};
}

bool TForm1::HasTwoTexts(const QWidget* control) const {
    return std::any_of(twoTexts_.begin(), twoTexts_.end(),
                       [control](const TwoTexts& e) { return e.control == control; });
}

QString TForm1::ShownText(const TwoTexts& entry, const QTabWidget* pages) {
    switch (entry.kind) {
        case TextKind::Button:
        case TextKind::CheckBox:
        case TextKind::RadioButton:
            return static_cast<QAbstractButton*>(entry.control)->text();
        case TextKind::GroupBox:
            return static_cast<QGroupBox*>(entry.control)->title();
        case TextKind::Page:
            return pages->tabText(pages->indexOf(entry.control));
        case TextKind::Edit:
            return static_cast<QLineEdit*>(entry.control)->text();
        case TextKind::Label:
            return static_cast<QLabel*>(entry.control)->text();
    }
    return {};
}

void TForm1::SetShownText(const TwoTexts& entry, QTabWidget* pages, const QString& text) {
    switch (entry.kind) {
        case TextKind::Button:
        case TextKind::CheckBox:
        case TextKind::RadioButton:
            static_cast<QAbstractButton*>(entry.control)->setText(text);
            return;
        case TextKind::GroupBox:
            static_cast<QGroupBox*>(entry.control)->setTitle(text);
            return;
        case TextKind::Page:
            pages->setTabText(pages->indexOf(entry.control), text);
            return;
        case TextKind::Edit:
            static_cast<QLineEdit*>(entry.control)->setText(text);
            return;
        case TextKind::Label:
            static_cast<QLabel*>(entry.control)->setText(text);
            return;
    }
}

QWidget* TForm1::NewPage(const char* name, const QString& chinese, const QString& english) {
    auto* page = new QWidget;
    page->setObjectName(QString::fromLatin1(name));
    PageControl1->addTab(page, QString());
    uncaptioned_.emplace_back(page, chinese);
    RegisterTwoTexts(page, TextKind::Page, english);
    return page;
}

void TForm1::CaptionPages() {
    // The tab bar lays itself out on each insertion and on the choice of the current page: a
    // Chinese caption measured then pulls the CJK face (megabytes of it) in before the first
    // paint. Set once those are done, the captions are measured when the bar is shown, in the
    // language shown by then.
    for (const auto& [page, caption] : std::exchange(uncaptioned_, {}))
        PageControl1->setTabText(PageControl1->indexOf(page), caption);
}

namespace {
template <class W>
W* Place(W* w, const char* name, const QRect& place) {
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(place);
    return w;
}
}  // namespace

QPushButton* TForm1::NewButton(QWidget* parent, const char* name, const QRect& place,
                               const QString& chinese, const QString& english) {
    auto* w = Place(new QPushButton(chinese, parent), name, place);
    RegisterTwoTexts(w, TextKind::Button, english);
    return w;
}

QGroupBox* TForm1::NewGroupBox(QWidget* parent, const char* name, const QRect& place,
                               const QString& chinese, const QString& english) {
    auto* w = Place(new QGroupBox(chinese, parent), name, place);
    RegisterTwoTexts(w, TextKind::GroupBox, english);
    return w;
}

QCheckBox* TForm1::NewCheckBox(QWidget* parent, const char* name, const QRect& place,
                               const QString& chinese, const QString& english) {
    auto* w = Place(new QCheckBox(chinese, parent), name, place);
    RegisterTwoTexts(w, TextKind::CheckBox, english);
    return w;
}

QLineEdit* TForm1::NewEdit(QWidget* parent, const char* name, const QRect& place,
                           const QString& chinese, const QString& english) {
    auto* w = Place(new QLineEdit(chinese, parent), name, place);
    w->setCursorPosition(0);
    RegisterTwoTexts(w, TextKind::Edit, english, chinese == english);
    return w;
}

QLabel* TForm1::NewLabel(QWidget* parent, const char* name, const QRect& place,
                         const QString& chinese, const QString& english) {
    auto* w = Place(new QLabel(chinese, parent), name, place);
    w->setTextFormat(Qt::PlainText);
    RegisterTwoTexts(w, TextKind::Label, english);
    return w;
}

QRadioButton* TForm1::NewRadioButton(QWidget* parent, const char* name, const QRect& place,
                                     const QString& chinese, const QString& english) {
    auto* w = Place(new QRadioButton(chinese, parent), name, place);
    RegisterTwoTexts(w, TextKind::RadioButton, english);
    return w;
}

namespace {
QComboBox* SetUpBox(QComboBox* w, const QStringList& items, const QString& text) {
    w->setEditable(true);
    w->addItems(items);
    w->setCurrentIndex(-1);
    w->setEditText(text);
    return w;
}

// The form's lists were made editable and back, which leaves their popup with a scroll bar as
// needed; that alone is set here, without the line edit the round trip would build and drop.
QComboBox* SetUpDropDown(QComboBox* w, const QStringList& items, int selected) {
    w->view()->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    w->addItems(items);
    w->setCurrentIndex(selected);
    return w;
}
}  // namespace

QComboBox* TForm1::NewComboBox(QWidget* parent, const char* name, const QRect& place,
                               const QStringList& items, const QString& text) {
    return SetUpBox(Place(new QComboBox(parent), name, place), items, text);
}

QComboBox* TForm1::NewDropDownList(QWidget* parent, const char* name, const QRect& place,
                                   const QStringList& items, int selected) {
    return SetUpDropDown(Place(new QComboBox(parent), name, place), items, selected);
}

QComboBox* TForm1::NewPortBox(QWidget* parent, const char* name, const QRect& place,
                              const QStringList& items, const QString& text) {
    auto* w = Place(new TPortBox(parent), name, place);
    SetUpBox(w, items, text);
    return FindPorts(w);
}

QComboBox* TForm1::NewPortDropDownList(QWidget* parent, const char* name, const QRect& place,
                                       const QStringList& items, int selected) {
    auto* w = Place(new TPortBox(parent), name, place);
    SetUpDropDown(w, items, selected);
    return FindPorts(w);
}

QComboBox* TForm1::FindPorts(TPortBox* w) {
    w->KeepOwnEntries();
    w->Finder = [this] {
        std::vector<TPortBox::Found> found;
        if (VirtualPrinter) {
            found.push_back({QString::fromStdString(VirtualPrinter->PtyPath()),
                             QStringLiteral("virtual printer (serial line)")});
        }
        for (const kelvo::FoundPort& port : kelvo::FindPorts()) {
            found.push_back(
                {QString::fromStdString(port.path), QString::fromStdString(port.description)});
        }
        return found;
    };
    return w;
}

QPlainTextEdit* TForm1::NewMemo(QWidget* parent, const char* name, const QRect& place,
                                const QString& text) {
    auto* w = Place(new QPlainTextEdit(text, parent), name, place);
    return w;
}
