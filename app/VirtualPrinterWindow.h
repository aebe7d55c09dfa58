#pragma once

#include <QWidget>

#include <cstdint>

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
class TReceiptView;

// The virtual printer's own window: the paper roll of the printer picked (newest at the bottom),
// what it stores, its counters, switches for its status flags, and the way it reads the serial
// line. Its texts follow the tool's language.
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
    QLabel* SpeedLabel = nullptr;
    QComboBox* ReadSpeed = nullptr;  // how fast the serial line is read
    QLabel* IdleLabel = nullptr;
    QSpinBox* IdleLimit = nullptr;  // seconds a network client may stay silent
    QPushButton* ClearPaper = nullptr;
    QPushButton* SavePng = nullptr;

    void SetEnglish(bool english);
    // Shows what the printers hold now (the window also does this by itself when they change).
    void Refresh();

  private:
    void ApplyFlags();
    void SaveReceipt();
    void ShowClients();

    kelvo::printer::PrinterBox& box_;
    Dialogs& dialogs_;
    bool english_ = true;
    uint64_t shownChanges_ = UINT64_MAX;
    QTimer* poll_ = nullptr;
};
