#pragma once

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/ActionRunner.h"
#include "app/ActivityLog.h"
#include "app/Dialogs.h"
#include "app/Timer.h"
#include "jobs/Jobs.h"
#include "links/Comm.h"
#include "links/ControlSocket.h"
#include "links/NetworkLink.h"
#include "links/PosdllFuncs.h"
#include "printer/PrinterBox.h"

class QAbstractButton;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSocketNotifier;
class QStatusBar;
class QTabWidget;
class QTimer;
class QToolButton;
class TLogPanel;
class TVirtualPrinterWindow;
class TIPEdit;
class TPortBox;
class TFindPrinters;
class TSpeedSearch;

class TForm1;

// Shown by every initialize-port action that fails.
extern const QString kInitPortFailure;

// The window's file-open dialog: a filter and the chosen file, shown through the Dialogs seam.
class TOpenDialog {
  public:
    explicit TOpenDialog(TForm1& owner) : owner_(owner) {}
    QString Filter;
    QString FileName;
    // True when the user chose a file (FileName then holds it); false when cancelled.
    bool Execute();

  private:
    TForm1& owner_;
};

// The main window. Every control is a public member named as on the form, with one handler per
// control event, so tests drive it the way a user does.
class TForm1 : public QMainWindow {
    Q_OBJECT

  public:
    // `dialogs` defaults to the real message boxes.
    explicit TForm1(std::unique_ptr<Dialogs> dialogs = nullptr, QWidget* parent = nullptr);
    ~TForm1() override;

    // ---- Window-level controls and components ----------------------------------------------
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr;  // network printer page
    QWidget* TabSheet2 = nullptr;  // serial / parallel printer page
    QWidget* ts1 = nullptr;        // wireless printer page
    QWidget* TabSheet4 = nullptr;  // model parameter page
    QWidget* TabSheet3 = nullptr;  // never shown
    QWidget* ts2 = nullptr;        // NV logo page
    QPushButton* btn13 = nullptr;  // language button
    QStatusBar* StatusBar1 = nullptr;
    TTimer* tmr1 = nullptr;
    QTimer* Timer1 = nullptr;
    TOpenDialog dlgOpen1{*this};
    kelvo::NetworkLink IdTCPClient1;  // the network link; released with the window
    // The serial component; its notices run on the window's thread. Stopped and joined before
    // the window's members go.
    std::unique_ptr<TComm> Comm1;

    void FormCreate();
    void btn13Click();
    // Key preview: runs before the focused control sees the key. Setting Key to 0 swallows it.
    void FormKeyDown(int& Key, Qt::KeyboardModifiers Shift);
    // Bytes the printer sends back are not used: a copy is taken and dropped.
    void Comm1ReceiveData(TComm& Sender, const void* Buffer, uint16_t BufferLength);

    // ---- Network printer page (TabSheet1) --------------------------------------------------
    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label1 = nullptr;
    TIPEdit* IPEdit1 = nullptr;  // address for the MAC lookup only
    QPushButton* Button1 = nullptr;
    QPushButton* Button7 = nullptr;
    QLabel* Label2 = nullptr;
    TIPEdit* IPEdit2 = nullptr;  // new IP address
    QPushButton* Button2 = nullptr;
    QLabel* lbl5 = nullptr;
    QLineEdit* edt3 = nullptr;  // MAC found by the lookup
    QLabel* lbl4 = nullptr;
    QLineEdit* edt2 = nullptr;  // new MAC address
    QPushButton* btn7 = nullptr;
    QPushButton* btn6 = nullptr;
    QLabel* lbl6 = nullptr;
    QPushButton* btn11 = nullptr;  // never shown
    QGroupBox* GroupBox2 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* Button3 = nullptr;
    QPushButton* Button4 = nullptr;
    QPushButton* btn10 = nullptr;  // never shown
    QPushButton* btnFindPrinters = nullptr;
    // Made on the first search, kept for the next (with its range and list).
    TFindPrinters* FindPrintersDialog = nullptr;
    // The new MAC address as the random MAC action drew it, first byte first.
    QString MacPairs[6];

    void Button1Click();  // connect, also run by Button13
    void Button7Click();  // disconnect, also run by Button15
    void Button3Click();  // test page
    void Button4Click();  // drawer pulse
    void Button2Click();  // IP change
    void btn7Click();     // random MAC
    void btn6Click();     // MAC change
    void btnFindPrintersClick();
    // From the search dialog: the connect action and the MAC lookup both aim at it.
    void UsePrinterFound(const QString& address);

    // ---- Serial / parallel printer page (TabSheet2) ----------------------------------------
    QGroupBox* GroupBox3 = nullptr;
    QLabel* Label3 = nullptr;
    QComboBox* ComboBox1 = nullptr;  // port name
    QLabel* Label5 = nullptr;
    QComboBox* ComboBox2 = nullptr;  // baud rate
    QPushButton* Button9 = nullptr;  // initialize port
    QLabel* Label4 = nullptr;        // red note: initialize a serial port first
    QPlainTextEdit* memo2 = nullptr;
    QPushButton* Button8 = nullptr;   // test print
    QPushButton* Button11 = nullptr;  // drawer
    QPushButton* btn12 = nullptr;     // set Slavic (Cyrillic code page)
    QPushButton* btn3 = nullptr;      // restore factory settings
    QPushButton* Button5 = nullptr;   // hidden
    QPushButton* Button6 = nullptr;   // hidden
    QPushButton* btnFindSpeed = nullptr;
    TSpeedSearch* SpeedSearch = nullptr;

    void Button9Click();
    void Button8Click();
    void Button11Click();
    void btn12Click();
    void btn3Click();
    void btnFindSpeedClick();
    // The search's answer: the rate into ComboBox2, the outcome on the status line.
    void SpeedSearchDone(uint32_t rate, uint8_t status, const QString& error);

    // ---- Wireless printer page (ts1) -------------------------------------------------------
    QGroupBox* grp1 = nullptr;
    QLabel* lbl2 = nullptr;
    QLineEdit* edt1 = nullptr;  // printer number, sent as typed
    QLabel* lbl3 = nullptr;
    QComboBox* cbb1 = nullptr;    // port name
    QPushButton* btn1 = nullptr;  // initialize port
    QLabel* lbl7 = nullptr;
    QLineEdit* edt4 = nullptr;    // loop interval in ms
    QPushButton* btn9 = nullptr;  // set interval
    QPlainTextEdit* mmo1 = nullptr;
    QCheckBox* chk1 = nullptr;    // cut at the end
    QPushButton* btn2 = nullptr;  // test print
    QPushButton* btn4 = nullptr;  // drawer of the numbered printer
    QPushButton* btn5 = nullptr;  // loop start
    QPushButton* btn8 = nullptr;  // loop stop
    // Wireless test prints completed without failure since start-up.
    int32_t PrintCounter = 0;

    void btn1Click();
    void btn2Click();
    void btn4Click();
    void btn5Click();
    void btn8Click();
    void btn9Click();
    void tmr1Timer();

    // ---- Model parameter page (TabSheet4) --------------------------------------------------
    QGroupBox* grp2 = nullptr;
    QRadioButton* rb2 = nullptr;  // network connection
    QRadioButton* rb1 = nullptr;  // serial or parallel device
    QGroupBox* GroupBox4 = nullptr;
    QLabel* Label7 = nullptr;
    TIPEdit* IPEdit3 = nullptr;  // the printer the connect action reaches
    QPushButton* Button13 = nullptr;
    QPushButton* Button15 = nullptr;
    QGroupBox* grp3 = nullptr;
    QLabel* lbl1 = nullptr;
    QComboBox* cbb4 = nullptr;  // device name
    QLabel* lbl8 = nullptr;
    QComboBox* cbb5 = nullptr;  // baud rate for the port set-up
    QPushButton* btn16 = nullptr;
    QGroupBox* GroupBox6 = nullptr;
    QCheckBox* CheckBox2 = nullptr;  // external buzzer
    QCheckBox* CheckBox3 = nullptr;  // CR instruction
    QCheckBox* CheckBox1 = nullptr;  // built-in buzzer
    QPushButton* Button14 = nullptr;
    QGroupBox* GroupBox5 = nullptr;
    QLabel* Label8 = nullptr;
    QComboBox* ComboBox3 = nullptr;  // the printer's serial baud rate
    QPushButton* Button18 = nullptr;
    QLabel* Label9 = nullptr;
    QComboBox* cbb2 = nullptr;  // international character set
    QPushButton* btn14 = nullptr;
    QLabel* Label12 = nullptr;
    QComboBox* cbb3 = nullptr;  // code page
    QPushButton* btn15 = nullptr;
    QLabel* Label11 = nullptr;
    QLineEdit* Edit1 = nullptr;  // the five reserved bytes, left to right
    QLineEdit* Edit3 = nullptr;
    QLineEdit* Edit4 = nullptr;
    QLineEdit* Edit5 = nullptr;
    QLineEdit* Edit6 = nullptr;
    QPushButton* Button16 = nullptr;
    QLabel* Label10 = nullptr;

    void rb1Click();
    void rb2Click();
    void btn16Click();
    void Button18Click();
    void btn14Click();
    void btn15Click();
    void Button14Click();
    void Button16Click();
    void ComboBox3Change();

    // ---- NV logo page (ts2) ----------------------------------------------------------------
    // The port choice is a radio group: one text only, never switched.
    QGroupBox* PortChoice = nullptr;
    QRadioButton* PortChoiceItems[3] = {};  // "串口", "网络接口", "驱动"
    QGroupBox* PortSet = nullptr;
    QLabel* Label15 = nullptr;
    QComboBox* cbPortName = nullptr;
    QLabel* Label16 = nullptr;
    QComboBox* cbBaud = nullptr;
    QComboBox* cbData = nullptr;    // hidden
    QComboBox* cbParity = nullptr;  // hidden
    QComboBox* cbStop = nullptr;    // hidden
    QComboBox* cbFlow = nullptr;    // hidden
    QComboBox* cbLPT = nullptr;     // hidden, never read
    QLabel* Label22 = nullptr;
    QLineEdit* IP1 = nullptr;
    QLineEdit* IP2 = nullptr;
    QLineEdit* IP3 = nullptr;
    QLineEdit* IP4 = nullptr;
    QLabel* Label21 = nullptr;
    QComboBox* cbb6 = nullptr;
    QPushButton* btn17 = nullptr;
    QPushButton* btn20 = nullptr;
    QPushButton* btn21 = nullptr;
    QPushButton* btn19 = nullptr;  // hidden: the open routine, clicked by the other handlers
    QLabel* lbl9 = nullptr;
    QGroupBox* grp4 = nullptr;
    QLabel* img1 = nullptr;  // the bitmap preview, one text only
    QLineEdit* edQuery = nullptr;

    // The printer library, loaded once the window has shown (or by the page's first call), and the
    // five functions the page calls it through; a test may put a table of its own in their place.
    std::unique_ptr<kelvo::PosdllLibrary> PosdllLib;
    kelvo::PosdllFuncs Posdll;

    // Page state: the last POS_Open result (-1 failed, 0 no port), the chosen port type (0 serial,
    // 1 network, 2 driver) and the address the open routine assembled last.
    int32_t PosPortHandle = 0;
    int PosPortType = 0;
    QString PosIpText;

    // The selected item of PortChoice, -1 when none.
    int PortChoiceItemIndex() const;

    void btn17Click();
    void PortChoiceClick();
    void btn19Click();
    void btn20Click();
    void btn21Click();

    // ---- Activity log and printer status, beside the pages ---------------------------------
    TActivityLog* Log = nullptr;
    TLogPanel* LogPanel = nullptr;     // hidden until LogToggle shows it; the window grows for it
    QToolButton* LogToggle = nullptr;  // in the status bar

    void LogToggleClick();
    // Asks the printer the current page reaches (DLE EOT 1 to 4) and shows its answers.
    void StatusRequestClick();
    void LogCopyClick();
    void LogSaveClick();
    // The panel's tap: started or stopped; its capture saved where the user says.
    void LogTapClick();
    void LogTapSaveClick();
    void LogSendFileClick();

    // ---- The virtual printer ---------------------------------------------------------------
    // Off until switched on: then a printer listens on a loopback address and on a
    // pseudo-terminal that the port boxes offer, and shows in a window of its own.
    std::unique_ptr<kelvo::printer::PrinterBox> VirtualPrinter;
    TVirtualPrinterWindow* VirtualPrinterWindow = nullptr;
    QToolButton* VirtualToggle = nullptr;  // in the status bar
    // What every switching on starts the printer with: the command line's idle limit and paper.
    kelvo::printer::PrinterBox::Options VirtualPrinterOptions;
    // Where `kelvotool lab set network ...` reaches the printer while it runs (none when the
    // socket could not be made: the printer runs all the same).
    std::unique_ptr<kelvo::ControlServer> VirtualControl;

    void VirtualToggleClick();
    // Switches the virtual printer on or off; false (and the reason) when it cannot start.
    bool SetVirtualPrinter(bool on, QString* why = nullptr);

    // ---- Shared services -------------------------------------------------------------------
    // Runs each action's I/O off the window's thread (see TActionRunner).
    TActionRunner* Actions = nullptr;
    // Whether the driver names of the NV logo page have been filled in (after start-up).
    bool DriverNamesListed = false;

    // Status line: panel 0 of the status bar.
    QString StatusText() const;
    void SetStatusText(const QString& text);

    Dialogs& dialogs() { return *dialogs_; }
    void SetDialogs(std::unique_ptr<Dialogs> dialogs);

    // The other (not shown) text of a control that has two texts; empty for any other control.
    QString OtherText(const QWidget* control) const;

  protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // ---- Plumbing: how the form is built and how its handlers run --------------------------
    // The kinds of control whose two texts the language switch exchanges, in the switch's order.
    enum class TextKind { Button, GroupBox, CheckBox, Page, Edit, Label, RadioButton };

    // An address control as the forms have it: bold 12-pixel font, the given address.
    TIPEdit* NewIPEdit(QWidget* parent, const char* name, const QRect& place,
                       const QString& address);
    // The setting buttons and Button15 follow a connection (network or device); Button13 is
    // their opposite.
    void SetSettingButtonsEnabled(bool enabled);
    // One setting over the chosen connection: a line on the network link, or the bytes alone to
    // the device named in cbb4, opened and closed around them.
    void SendSetting(const std::function<kelvo::jobs::Job(kelvo::jobs::Over)>& compose);

    // The port cbPortName names for the library: COMn for its own entries, else the device.
    QByteArray NvPortName() const;
    // The library's calls, each on the worker under the action's transfer monitor.
    int32_t PosOpen(const QByteArray& name, int32_t baudRate, int32_t dataBits, int32_t stopBits,
                    int32_t parity, int32_t mode);
    void PosClose();
    void PosdllCall(const QString& what, const std::function<void()>& calls);

    // How the log names where an action went: "host:port", "COM1 (/dev/ttyS0)", a path.
    QString NetworkTarget() const;
    static QString DeviceTarget(const std::string& port);
    // One action's I/O through the runner, its target noted in the log entry of the user action
    // in progress; `total`, if given, is what the I/O sets once it knows how much it sends.
    void RunIo(const QString& what, const QString& target, const std::function<void()>& io,
               const TActionRunner::Total* total = nullptr);
    // The same on the network link; what the printer sent meanwhile is noted too.
    void RunOnLink(const QString& what, const std::function<void()>& io,
                   const TActionRunner::Total* total = nullptr);

    // Between actions the network link's socket is watched, so that a printer closing the link
    // (an idle limit, a restart) shows when it happens, not at the next action's failure.
    void WatchLink(bool on);
    void LinkReadable();
    QSocketNotifier* linkWatch_ = nullptr;

    // Shared by the serial, wireless and parameter pages. Opens Comm1 with its settings and
    // closes it again, leaving the line settings on the port for the next open by name.
    void InitializeComm1();
    // A guarded action: any failure of the sequence shows `message` in the "Error" dialog and
    // ends the action.
    void Guarded(const QString& message, const std::function<void()>& sequence);
    // A memo's text as toPlainText gives it. A huge memo (megabytes) takes the document a while
    // to give up: it is read in slices, with the window painting in between.
    QString MemoText(const QPlainTextEdit* memo);
    // A port box's text as typed or picked.
    static std::string PortName(const QComboBox* box);
    // One action's job to a port or file opened by name, on the worker: `compose` runs there (a
    // long memo takes a while to convert), the runner is told the total, the pieces go out, then
    // the port is closed. Throws what the output throws.
    void SendToDevice(const QString& what, const std::string& port,
                      const std::function<kelvo::jobs::Job()>& compose);
    // The same on the network link: the job, composed on the worker, goes out lines as lines.
    void SendOnLink(const QString& what, const std::function<kelvo::jobs::Job()>& compose);

    // The window's error box for a failure no handler caught: the message (with a full stop
    // appended when its last character sorts after '.') under the program's title.
    void ShowErrorBox(const QString& message);
    // A guarded handler's own error dialog: title "Error", error icon, one OK.
    void ShowErrorDialog(const QString& message);

    // Runs one handler: whatever it throws ends the handler and reaches the error box, never
    // Qt's event loop.
    template <class F>
    void Run(F&& handler) noexcept {
        try {
            handler();
        } catch (...) {
            ReportFailure(std::current_exception());
        }
    }

    bool HasTwoTexts(const QWidget* control) const;

    // Builders for controls with two texts: created showing the Chinese text, the English one
    // kept as the other text, registered for the language switch in creation order.
    QPushButton* NewButton(QWidget* parent, const char* name, const QRect& place,
                           const QString& chinese, const QString& english);
    QGroupBox* NewGroupBox(QWidget* parent, const char* name, const QRect& place,
                           const QString& chinese, const QString& english);
    QCheckBox* NewCheckBox(QWidget* parent, const char* name, const QRect& place,
                           const QString& chinese, const QString& english);
    QLineEdit* NewEdit(QWidget* parent, const char* name, const QRect& place,
                       const QString& chinese, const QString& english);
    QLabel* NewLabel(QWidget* parent, const char* name, const QRect& place, const QString& chinese,
                     const QString& english);
    QRadioButton* NewRadioButton(QWidget* parent, const char* name, const QRect& place,
                                 const QString& chinese, const QString& english);
    // Controls with one text only.
    QComboBox* NewComboBox(QWidget* parent, const char* name, const QRect& place,
                           const QStringList& items, const QString& text);
    // A drop-down list (not editable) of the items, `selected` chosen.
    QComboBox* NewDropDownList(QWidget* parent, const char* name, const QRect& place,
                               const QStringList& items, int selected);
    // A port box: the items, then the machine's real ports, looked up each time its list opens.
    QComboBox* NewPortBox(QWidget* parent, const char* name, const QRect& place,
                          const QStringList& items, const QString& text);
    QComboBox* NewPortDropDownList(QWidget* parent, const char* name, const QRect& place,
                                   const QStringList& items, int selected);
    QComboBox* FindPorts(TPortBox* box);
    QPlainTextEdit* NewMemo(QWidget* parent, const char* name, const QRect& place,
                            const QString& text);

    // Connects a button's click to a handler through Run().
    void OnClick(QAbstractButton* button, void (TForm1::*handler)());

    // ---- The language switch's bookkeeping -------------------------------------------------
    struct TwoTexts {
        QWidget* control;
        TextKind kind;
        QString other;
        // An edit made with the same text in both languages holds what the user types: the
        // switch leaves it alone.
        bool keepsTyped = false;
    };

    // A page, its Chinese caption put on by CaptionPages() once all pages are in.
    QWidget* NewPage(const char* name, const QString& chinese, const QString& english);
    void CaptionPages();
    void RegisterTwoTexts(QWidget* control, TextKind kind, const QString& other,
                          bool keepsTyped = false);
    static QString ShownText(const TwoTexts& entry, const QTabWidget* pages);
    static void SetShownText(const TwoTexts& entry, QTabWidget* pages, const QString& text);
    void ReportFailure(std::exception_ptr failure) noexcept;

    void BuildNetworkPage();
    // The network page's Chinese texts measured against their places: the warning label sized to
    // its text, a caption that would not fit in either language condensed. Measuring Chinese
    // pulls the CJK face in, so this waits for the deferred start-up, which runs before the page
    // or the other language can be shown.
    void FitNetworkPage();
    void BuildSerialPage();
    void BuildWirelessPage();
    void BuildParameterPage();
    void BuildNvLogoPage();

    // What the first paint does not need waits until it is done: the printer library and the
    // printer list. Begun right after that paint, at once for a window not shown, or earlier by
    // whatever needs its result.
    void BeginDeferredStartup();
    void LoadPosdll();
    // For the actions that read the driver names: the list as the print server gave it, never
    // one still on its way.
    void AwaitPrinterList();
    bool OpenNvDriverPort();

    std::unique_ptr<Dialogs> dialogs_;
    QLabel* statusPanel0_ = nullptr;
    std::vector<TwoTexts> twoTexts_;
    std::vector<std::pair<QWidget*, QString>> uncaptioned_;
    bool startupBegun_ = false;
    bool networkPageFitted_ = false;
    bool built_ = false;  // the constructor has finished
    std::string posdllPath_;
};
