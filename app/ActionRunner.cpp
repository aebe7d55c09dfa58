#include "app/ActionRunner.h"

#include "app/ActivityLog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLocale>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <utility>

namespace {

// Closing the dialog or pressing Escape asks for a cancel instead of hiding the dialog: the
// window must stay blocked until the worker has really stopped.
class TProgressDialog : public QProgressDialog {
  public:
    using QProgressDialog::QProgressDialog;

  protected:
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        emit canceled();
    }
    void reject() override { emit canceled(); }
};

QString FailureText(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown failure");
    }
}

QString Bytes(uint64_t n) {
    return QLocale::c().toString(static_cast<qulonglong>(n));
}

}  // namespace

// Written by the worker's writes, read by the window's dialog.
struct TActionRunner::Progress {
    std::atomic<uint64_t> finished{0};  // bytes of the writes that have ended
    std::atomic<uint64_t> current{0};   // taken so far of the write in progress
    std::atomic<uint64_t> currentSize{0};
    const Total* total = nullptr;
    TActivityLog* log = nullptr;

    static void Report(void* context, uint64_t done, uint64_t size) {
        auto* p = static_cast<Progress*>(context);
        if (done >= size) {
            p->finished += size;
            p->current = 0;
            p->currentSize = 0;
        } else {
            p->currentSize = size;
            p->current = done;
        }
    }
    static void Taken(void* context, const char* data, uint64_t size) {
        auto* p = static_cast<Progress*>(context);
        if (p->log != nullptr)
            p->log->AddSent(data, static_cast<size_t>(size));
    }
    uint64_t Sent() const { return finished + current; }
};

TActionRunner::TActionRunner(QWidget* window) : QObject(window), window_(window) {}

TActionRunner::~TActionRunner() {
    if (background_.joinable()) {
        backgroundCancel_->Cancel();
        background_.join();
    }
}

// One action at a time: marks the runner busy for its life.
class TActionRunner::BusyScope {
  public:
    explicit BusyScope(TActionRunner& runner) : runner_(runner) {
        // Only a tick or a notice could get here during an action; the callers drop those.
        if (runner_.busy_)
            throw std::logic_error("another action is still running");
        runner_.busy_ = true;
    }
    ~BusyScope() {
        runner_.busy_ = false;
        runner_.cancel_ = nullptr;
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

  private:
    TActionRunner& runner_;
};

void TActionRunner::Run(const QString& what, const std::function<void()>& io, const Total* total) {
    BusyScope busy(*this);
    kelvo::CancelSignal cancel;
    cancel_ = &cancel;

    Progress progress;
    progress.log = Log;
    progress.total = total;
    kelvo::TransferMonitor monitor;
    monitor.cancelFd = cancel.fd();
    monitor.stallLimitMs = StallLimitMs;
    monitor.progress = &Progress::Report;
    monitor.sent = &Progress::Taken;
    monitor.context = &progress;

    QEventLoop loop;
    std::atomic<bool> ended{false};
    std::exception_ptr failure;
    std::thread worker([&] {
        {
            kelvo::TransferScope scope(&monitor);
            try {
                io();
            } catch (...) {
                failure = std::current_exception();
            }
        }
        ended = true;
        QMetaObject::invokeMethod(
            &loop, [&loop] { loop.exit(0); }, Qt::QueuedConnection);
    });
    // Should anything below throw, the worker is stopped and joined before its frame goes.
    struct Join {
        std::thread& worker;
        kelvo::CancelSignal& cancel;
        ~Join() {
            if (!worker.joinable())
                return;
            cancel.Cancel();
            worker.join();
        }
    } join{worker, cancel};

    // Short actions: no dialog, and no input reaches the window meanwhile (it waits its turn).
    QTimer dialogDue;
    dialogDue.setSingleShot(true);
    connect(&dialogDue, &QTimer::timeout, &loop, [&loop] { loop.exit(1); });
    dialogDue.start(kDialogDelayMs);
    if (loop.exec(QEventLoop::ExcludeUserInputEvents) == 1 && !ended) {
        ShowDialog(what, progress);
        QTimer refresh;
        connect(&refresh, &QTimer::timeout, this, [&] { UpdateDialog(progress); });
        refresh.start(50);
        loop.exec();
        delete std::exchange(dialog_, nullptr);
    }
    worker.join();
    if (failure) {
        if (Log != nullptr)
            Log->SetFailure(FailureText(failure));
        std::rethrow_exception(failure);
    }
}

void TActionRunner::RunInSlices(const std::function<bool()>& step) {
    BusyScope busy(*this);
    while (!step())
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TActionRunner::ShowDialog(const QString& what, Progress& progress) {
    auto* dialog = new TProgressDialog(window_);
    dialog_ = dialog;
    dialog->setObjectName(QStringLiteral("ActionProgress"));
    dialog->setWindowTitle(what);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAutoReset(false);
    dialog->setAutoClose(false);
    dialog->setMinimumDuration(0);
    dialog->setCancelButtonText(QStringLiteral("取消 Cancel"));
    // The dialog's own cancel would hide it at once; it stays up until the worker has stopped.
    disconnect(dialog, &QProgressDialog::canceled, dialog, &QProgressDialog::cancel);
    connect(dialog, &QProgressDialog::canceled, this, [this] { Cancel(); });
    UpdateDialog(progress);
    dialog->show();
}

void TActionRunner::UpdateDialog(const Progress& progress) {
    if (dialog_ == nullptr || (cancel_ != nullptr && cancel_->Cancelled()))
        return;
    const QString title = AlsoOnCancel
                              ? dialog_->windowTitle() + QLatin1Char('\n') + AlsoOnCancelText
                              : dialog_->windowTitle();
    const uint64_t sent = progress.Sent();
    const uint64_t total = progress.total != nullptr ? progress.total->load() : 0;
    const uint64_t known = total > 0 ? total : progress.finished + progress.currentSize;
    if (known == 0) {
        dialog_->setRange(0, 0);  // a busy bar: nothing to count yet (connecting, looking up)
        dialog_->setLabelText(
            QStringLiteral("%1\n正在进行... (working ...)").arg(dialog_->windowTitle()));
        return;
    }
    // Per mille, so sizes beyond the range of int still show.
    dialog_->setRange(0, 1000);
    dialog_->setValue(static_cast<int>(std::min<uint64_t>(sent, known) * 1000 / known));
    dialog_->setLabelText(QStringLiteral("%1\n已发送 %2 / %3 字节 (%2 of %3 bytes sent)")
                              .arg(title, Bytes(sent), Bytes(known)));
}

void TActionRunner::Cancel() noexcept {
    if (cancel_ == nullptr)
        return;
    cancel_->Cancel();
    if (AlsoOnCancel) {
        try {
            AlsoOnCancel();
        } catch (...) {
            // Only the window's own buttons run here; the cancel itself has happened.
        }
    }
    if (dialog_ != nullptr) {
        dialog_->setLabelText(QStringLiteral("正在取消... (cancelling ...)"));
        if (auto* button = dialog_->findChild<QPushButton*>())
            button->setEnabled(false);
    }
}

void TActionRunner::StartBackground(std::function<std::function<void()>()> job) {
    if (background_.joinable())
        background_.join();
    backgroundCancel_.emplace();
    backgroundEnded_.emplace();
    background_ = std::thread([this, job = std::move(job)] {
        kelvo::TransferMonitor monitor;
        monitor.cancelFd = backgroundCancel_->fd();
        kelvo::TransferScope scope(&monitor);
        struct Ended {
            kelvo::CancelSignal& signal;
            ~Ended() { signal.Cancel(); }
        } ended{*backgroundEnded_};
        std::function<void()> done;
        try {
            done = job();
        } catch (...) {
            return;  // nothing to show: the job's result stays as it was before
        }
        if (!done)
            return;
        {
            std::lock_guard lock(backgroundMutex_);
            backgroundDone_ = std::move(done);
        }
        // The job's thread has ended (or is just returning) by the time its result shows: the
        // result joins it first, so nothing counts a thread that is only on its way out.
        QMetaObject::invokeMethod(
            this,
            [this, self = std::this_thread::get_id()] {
                if (background_.joinable() && background_.get_id() == self)
                    background_.join();
                ShowBackgroundResult();
            },
            Qt::QueuedConnection);
    });
}

void TActionRunner::FinishBackground(const QString& what) {
    if (background_.joinable() && !busy_) {
        Run(what, [this, ended = backgroundEnded_->fd()] {
            // The dialog's Cancel reaches the job through the job's own signal.
            if (kelvo::WaitReady(ended, POLLIN, std::chrono::hours(24)) == ECANCELED) {
                backgroundCancel_->Cancel();
                pollfd p{ended, POLLIN, 0};
                while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
                }
            }
        });
    }
    if (background_.joinable())
        background_.join();
    ShowBackgroundResult();
}

void TActionRunner::ShowBackgroundResult() {
    std::function<void()> done;
    {
        std::lock_guard lock(backgroundMutex_);
        done = std::exchange(backgroundDone_, nullptr);
    }
    // Empty when FinishBackground showed it already.
    if (done)
        done();
}
