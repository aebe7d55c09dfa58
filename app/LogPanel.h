#pragma once

#include <QFrame>
#include <QString>

#include <memory>
#include <mutex>
#include <vector>

#include "app/ActivityLog.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTemporaryFile;

namespace kelvo {
class Tap;
struct TapEvent;
namespace cli {
class TapCaptureFile;
class TapStream;
}  // namespace cli
}  // namespace kelvo

// The activity log beside the pages: the entries, the printer's last status in plain words, and
// the buttons to ask for it, copy, save and clear; and a tap between a POS and its printer, whose
// decoded stream goes into the log as it happens. Its texts follow the window's language.
class TLogPanel : public QFrame {
    Q_OBJECT

  public:
    TLogPanel(TActivityLog& log, QWidget* parent);
    ~TLogPanel() override;

    QLabel* Title = nullptr;
    QPushButton* StatusButton = nullptr;    // the window connects it: it knows the current page
    QPushButton* SendFileButton = nullptr;  // and this one, which sends a byte file there
    QPushButton* CopyButton = nullptr;
    QPushButton* SaveButton = nullptr;
    QPushButton* ClearButton = nullptr;
    QCheckBox* HexBox = nullptr;
    QLabel* StatusView = nullptr;  // the last status request's answers, one fact per line
    QPlainTextEdit* View = nullptr;
    // The tap: where the POS connects ([HOST:]PORT; port 0: any free one, shown once listening),
    // the printer it reaches (HOST[:PORT]); the window connects the buttons.
    QLabel* TapLabel = nullptr;
    QLineEdit* TapListenEdit = nullptr;
    QLineEdit* TapPrinterEdit = nullptr;
    QPushButton* TapButton = nullptr;      // starts and stops it
    QPushButton* TapSaveButton = nullptr;  // its capture so far, as pcapng

    // Listens at TapListenEdit's address and forwards to TapPrinterEdit's; throws
    // std::runtime_error saying why it cannot. Its capture is kept until the next start.
    void StartTap();
    // Ends every session with a reset on both sides; what they said is still shown and kept.
    void StopTap();
    bool Tapping() const { return tap_ != nullptr; }
    // Writes the capture so far to `path`: an empty text, or why it could not.
    QString SaveTapCapture(const QString& path);

    void SetEnglish(bool english);
    bool English() const { return english_; }
    // Shows a status request's answers, or `message` when none could be asked.
    void ShowStatus(const TActivityLog::StatusAnswers& answers,
                    const TActivityLog::StatusAnswers& late = {});
    void ShowStatusMessage(const QString& message);
    // The log as shown, for the clipboard and the file.
    QString Text() const;

    // Shown, it catches up with the log.
    void setVisible(bool visible) override;

  private:
    // Shows the log as it is now: only what is new when nothing else changed, and nothing while
    // hidden, so a long log never holds up an action.
    void Refresh();
    void Rebuild();
    void SetTapTexts();
    // On the window's thread: the tap's events that came since, read and kept.
    void TakeTapEvents();

    TActivityLog& log_;
    bool english_ = true;
    bool fontSet_ = false;  // the view's font, set on first showing
    std::optional<TActivityLog::StatusAnswers> lastStatus_;
    TActivityLog::StatusAnswers lastLate_;
    uint64_t firstShown_ = 0;  // serials of the first and last entry in the view; 0: none
    uint64_t lastShown_ = 0;

    QString tapRoute_;  // "127.0.0.1:9101 → 127.0.0.1:9100", the log's target
    std::unique_ptr<kelvo::cli::TapStream> tapStream_;
    std::unique_ptr<QTemporaryFile> captureFile_;
    std::unique_ptr<kelvo::cli::TapCaptureFile> capture_;
    bool captureFailed_ = false;
    std::mutex tapMutex_;  // tapEvents_, filled on the tap's threads
    std::vector<kelvo::TapEvent> tapEvents_;
    std::unique_ptr<kelvo::Tap> tap_;  // last: it ends before what its events reach
};
