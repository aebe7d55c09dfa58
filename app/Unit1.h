#pragma once

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Dialogs.h"
#include "app/Timer.h"
#include "links/NetworkLink.h"

class QAbstractButton;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QTabWidget;
class QTimer;

class TForm1;

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
    // The kinds of control whose two texts the language switch exchanges, in the switch's order.
    enum class TextKind { Button, GroupBox, CheckBox, Page, Edit, Label, RadioButton };

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

    void FormCreate();
    void btn13Click();
    // Key preview: runs before the focused control sees the key. Setting Key to 0 swallows it.
    void FormKeyDown(int& Key, Qt::KeyboardModifiers Shift);

    // ---- Network printer page (TabSheet1) --------------------------------------------------

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

    void Button9Click();
    void Button8Click();
    void Button11Click();
    void btn12Click();
    void btn3Click();

    // Shared by the serial and wireless pages. A guarded action: any failure of the sequence
    // shows `message` in the "Error" dialog and ends the action.
    void Guarded(const QString& message, const std::function<void()>& sequence);
    // A memo's whole text as shown, lines ending in CR LF, in the printer's code page.
    static std::string MemoBytes(const QPlainTextEdit* memo);

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

    // ---- NV logo page (ts2) ----------------------------------------------------------------

    // ---- Shared services -------------------------------------------------------------------
    // Status line: panel 0 of the status bar.
    QString StatusText() const;
    void SetStatusText(const QString& text);

    Dialogs& dialogs() { return *dialogs_; }
    void SetDialogs(std::unique_ptr<Dialogs> dialogs);

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

    // The other (not shown) text of a control that has two texts; empty for any other control.
    QString OtherText(const QWidget* control) const;
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
    QPlainTextEdit* NewMemo(QWidget* parent, const char* name, const QRect& place,
                            const QString& text);

    // Connects a button's click to a handler through Run().
    void OnClick(QAbstractButton* button, void (TForm1::*handler)());

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    struct TwoTexts {
        QWidget* control;
        TextKind kind;
        QString other;
    };

    QWidget* NewPage(const char* name, const QString& chinese, const QString& english);
    void RegisterTwoTexts(QWidget* control, TextKind kind, const QString& other);
    static QString ShownText(const TwoTexts& entry, const QTabWidget* pages);
    static void SetShownText(const TwoTexts& entry, QTabWidget* pages, const QString& text);
    void ReportFailure(std::exception_ptr failure) noexcept;

    void BuildNetworkPage();
    void BuildSerialPage();
    void BuildWirelessPage();
    void BuildParameterPage();
    void BuildNvLogoPage();

    std::unique_ptr<Dialogs> dialogs_;
    QLabel* statusPanel0_ = nullptr;
    std::vector<TwoTexts> twoTexts_;
};
