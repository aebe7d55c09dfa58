#pragma once

// Finding what the user cannot read off a label: the printers on the network (a dialog that fills
// in as they answer) and a serial printer's speed. Both search on a thread of their own, so the
// window keeps painting; each thread is cancelled and joined when its owner goes.

#include <QDialog>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <thread>

#include "links/Discovery.h"
#include "links/EventFd.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class TActivityLog;

class TFindPrinters : public QDialog {
    Q_OBJECT

  public:
    // Each scan's outcome goes to `log` (may be null) as an entry of its own.
    TFindPrinters(QWidget* parent, bool english, TActivityLog* log = nullptr);
    ~TFindPrinters() override;

    QLineEdit* RangeEdit = nullptr;  // empty: this machine's subnets
    QPushButton* ScanButton = nullptr;
    QPushButton* CancelButton = nullptr;
    QPushButton* UseButton = nullptr;
    QTreeWidget* List = nullptr;  // one row per printer: address, MAC, status, model, ms
    QProgressBar* Progress = nullptr;
    QLabel* Summary = nullptr;

    // Starts a scan of RangeEdit's addresses; a range that does not parse is shown in Summary.
    void StartScan();
    // Ends the running scan; returns once its thread is gone.
    void CancelScan();
    bool Scanning() const { return scanning_; }
    // The selected row's printer, as if the user had double-clicked it.
    void UseSelected();

  signals:
    void PrinterChosen(const QString& address);

  protected:
    void reject() override;

  private:
    // Each with the scan it came from: a cancelled scan's last reports may still be queued.
    void Found(unsigned scan, const kelvo::FoundPrinter& printer);
    void Progressed(unsigned scan, const kelvo::ScanCounts& counts);
    void Finished(unsigned scan, const kelvo::ScanCounts& counts, const QString& error);
    void StopWorker();
    void LogScan(bool failed);
    QString Text(const char* chinese, const char* english) const;

    const bool english_;
    TActivityLog* log_;
    QString target_;  // what the running or last scan covers, as the log names it
    bool scanning_ = false;
    unsigned scan_ = 0;  // the one running or last run
    std::unique_ptr<kelvo::EventFd> cancel_;
    std::thread worker_;
};

// The serial page's speed search: one search at a time, its answer through Done on the window's
// thread.
class TSpeedSearch : public QObject {
    Q_OBJECT

  public:
    explicit TSpeedSearch(QObject* parent);
    ~TSpeedSearch() override;

    bool Start(const std::string& portName);  // false while one runs
    bool Running() const { return running_; }
    const std::string& Port() const { return port_; }  // the running or last search's

  signals:
    // rate 0: no answer at any rate; `error` set when the port could not be used.
    void Done(uint32_t rate, uint8_t status, const QString& error);

  private:
    bool running_ = false;
    std::string port_;
    kelvo::EventFd cancel_;
    std::thread worker_;
};
