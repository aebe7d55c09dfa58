#pragma once

#include <QWidget>

#include <vector>

#include "printer/PrinterBox.h"

class Dialogs;
class QStackedWidget;
class QTimer;
class QTreeWidget;
class TVirtualPrinterWindow;

// A lab's printers in one window: a row each (name, addresses, paper, state, jobs, client), and
// below it the panel of the one picked, made the first time it is picked.
class TLabWindow : public QWidget {
    Q_OBJECT

  public:
    struct Printer {
        QString name;
        kelvo::printer::PrinterBox* box;
    };
    enum Column { kName, kTcp, kLpd, kSerial, kPaper, kState, kJobs, kClient };

    TLabWindow(std::vector<Printer> printers, Dialogs& dialogs, QWidget* parent = nullptr);

    QTreeWidget* Printers = nullptr;
    QStackedWidget* Panels = nullptr;
    // The panel of the printer in `row`, made if need be.
    TVirtualPrinterWindow* Panel(int row);
    // Shows every printer's state now (the window also does this by itself).
    void Refresh();

  private:
    std::vector<Printer> printers_;
    std::vector<TVirtualPrinterWindow*> panels_;
    Dialogs& dialogs_;
    QTimer* poll_ = nullptr;
};
