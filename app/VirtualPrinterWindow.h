#pragma once

#include <QWidget>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "printer/PrinterBox.h"

class Dialogs;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QSpinBox;
class QTimer;
class QTreeWidget;
class TReceiptView;

// The virtual printer's own window: the paper roll of the printer that printed last or of the one
// picked (newest at the bottom), the jobs of all the printers, what the printer stores, its
// counters, switches for its status flags, its paper, and the way it reads the serial line. Its
// texts follow the tool's language.
class TVirtualPrinterWindow : public QWidget {
    Q_OBJECT

  public:
    TVirtualPrinterWindow(kelvo::printer::PrinterBox& box, Dialogs& dialogs,
                          QWidget* parent = nullptr);

    QComboBox* PrinterChoice = nullptr;  // network, serial line, 001, 002, 003
    TReceiptView* Receipt = nullptr;
    QScrollArea* Roll = nullptr;
    QLabel* Endpoints = nullptr;
    // The network printer's client, and who waits behind it (address, since when).
    QLabel* Clients = nullptr;
    QLabel* LastJob = nullptr;  // how the network printer's last job ended
    QGroupBox* SettingsGroup = nullptr;
    QLabel* SettingsView = nullptr;
    QGroupBox* NvGroup = nullptr;
    QLabel* NvView = nullptr;
    QGroupBox* CountersGroup = nullptr;
    QLabel* CountersView = nullptr;
    QGroupBox* FlagsGroup = nullptr;
    QCheckBox* Online = nullptr;
    QCheckBox* CoverOpen = nullptr;
    QCheckBox* PaperNearEnd = nullptr;
    QCheckBox* PaperOut = nullptr;
    QCheckBox* DrawerOpen = nullptr;
    QCheckBox* Error = nullptr;  // an unrecoverable error
    QLabel* SpeedLabel = nullptr;
    QComboBox* ReadSpeed = nullptr;  // how fast the serial line is read
    QLabel* IdleLabel = nullptr;
    QSpinBox* IdleLimit = nullptr;  // seconds a network client may stay silent
    QLabel* PaperLabel = nullptr;
    QComboBox* PaperWidth = nullptr;  // 80 mm or 58 mm, for all the printers
    QGroupBox* JobsGroup = nullptr;
    // Every printer's jobs, newest at the top: time, endpoint, bytes, what it printed. Picking
    // one shows it on its paper, and Save PNG then saves it alone.
    QTreeWidget* JobList = nullptr;
    QPushButton* ClearPaper = nullptr;
    QPushButton* SavePng = nullptr;  // the job picked, or the whole roll
    // Opens the printer's web page in the system's browser; shown only while a page is served.
    QPushButton* OpenPage = nullptr;

    void SetEnglish(bool english);
    // Where the printer's web page is served: the page's button shows, and opens it.
    void SetPageUrl(const QString& url);
    // Shows what the printers hold now (the window also does this by itself when they change).
    void Refresh();

  private:
    void ApplyFlags();
    // The switches as the network printer's flags are now: a fault script or `lab set` changes
    // them too.
    void ShowFlags();
    void SaveReceipt();
    void ShowClients();
    void FollowPrinting();
    void ShowJobs();
    void ShowPickedJob();
    void NoteShownEnds();

    kelvo::printer::PrinterBox& box_;
    Dialogs& dialogs_;
    bool english_ = true;
    uint64_t shownChanges_ = UINT64_MAX;
    // Each printer's paper end when last looked at (item numbers), to tell which printed since.
    std::array<uint64_t, kelvo::printer::PrinterBox::kPrinters> seenEnds_{};
    bool seen_ = false;
    std::vector<std::pair<int, uint64_t>> shownJobs_;  // the jobs listed: printer, number
    QTimer* poll_ = nullptr;
    QString pageUrl_;
};
