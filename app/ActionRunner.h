#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "links/Transfer.h"

class QProgressDialog;
class QWidget;
class TActivityLog;

// Runs an action's I/O on a worker thread while the window keeps painting, and returns only when
// the I/O is done, so a handler still reads its controls, sends, and reports in the order it
// always did. Why not a queue of asynchronous jobs: every handler's success and failure paths
// (status texts, error boxes, counters) stay where they were, tests call handlers directly, and
// one action at a time holds by construction.
//
// Until the I/O has lasted kDialogDelay the window takes no input (clicks wait in the queue and
// run, in order, after the action); past that a window-modal dialog shows the bytes sent and a
// Cancel button. Cancel sets the action's cancel signal: every write, connect and print-server
// call under the worker's transfer monitor ends at once with ECANCELED, and the action ends
// through its usual failure path.
class TActionRunner : public QObject {
    Q_OBJECT

  public:
    static constexpr int kDialogDelayMs = 300;

    explicit TActionRunner(QWidget* window);
    ~TActionRunner() override;  // cancels and joins the background job

    // The number of bytes an action sends, set by its I/O once it knows (composing may take a
    // while); 0 while not known.
    using Total = std::atomic<uint64_t>;

    // Runs `io` on a worker under a fresh transfer monitor and returns when it has ended; what it
    // throws is rethrown here. `what` names the action in the dialog. The bytes sent show against
    // `total` once the I/O has set it, or else against the size of the write in progress.
    void Run(const QString& what, const std::function<void()>& io, const Total* total = nullptr);

    // Work that must stay on the window's thread but takes long (reading a huge memo): `step`
    // runs until it returns true, and the window paints between steps. Counts as busy, so no tick
    // starts an action meanwhile; input waits, as during Run.
    void RunInSlices(const std::function<bool()>& step);

    // One job that runs on a thread of its own without holding up the window (the printer list at
    // start-up); `done` then runs on the window's thread with the job's result, once the thread has
    // been joined. Cancelled and joined when the runner dies.
    void StartBackground(std::function<std::function<void()>()> job);
    // Waits for the background job to end as Run waits for I/O (the window paints; past
    // kDialogDelayMs a dialog named `what` whose Cancel ends the job), then runs its `done` now,
    // unless that has run already.
    void FinishBackground(const QString& what);

    // True while Run is in progress.
    bool Busy() const noexcept { return busy_; }
    // The dialog's Cancel: ends the running action's I/O.
    void Cancel() noexcept;
    // The dialog, while shown; otherwise nullptr.
    QProgressDialog* Dialog() const noexcept { return dialog_; }

    // Where every byte a peer takes and every failure is noted; may be null.
    TActivityLog* Log = nullptr;
    // No byte accepted for this long ends a transfer; 0 means kelvo::kStallLimit.
    int StallLimitMs = 0;
    // While set, Cancel runs this too, and the dialog says so. The wireless loop's tick sets it
    // to stop the loop: otherwise a held printer could keep the window behind one tick's dialog
    // after another, with the loop's Stop button never within reach.
    std::function<void()> AlsoOnCancel;
    QString AlsoOnCancelText;

  private:
    struct Progress;
    class BusyScope;
    void ShowDialog(const QString& what, Progress& progress);
    void UpdateDialog(const Progress& progress);

    QWidget* window_;
    bool busy_ = false;
    kelvo::CancelSignal* cancel_ = nullptr;  // the running action's
    QProgressDialog* dialog_ = nullptr;
    void ShowBackgroundResult();

    // Both made afresh for each job: set once, they stay set.
    std::optional<kelvo::CancelSignal> backgroundCancel_;
    std::optional<kelvo::CancelSignal> backgroundEnded_;
    std::thread background_;
    std::mutex backgroundMutex_;
    std::function<void()> backgroundDone_;  // the finished job's result, until it is shown
};
