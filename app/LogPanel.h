#pragma once

#include <QFrame>
#include <QString>

#include "app/ActivityLog.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

// The activity log beside the pages: the entries, the printer's last status in plain words, and
// the buttons to ask for it, copy, save and clear. Its texts follow the window's language.
class TLogPanel : public QFrame {
    Q_OBJECT

  public:
    TLogPanel(TActivityLog& log, QWidget* parent);

    QLabel* Title = nullptr;
    QPushButton* StatusButton = nullptr;    // the window connects it: it knows the current page
    QPushButton* SendFileButton = nullptr;  // and this one, which sends a byte file there
    QPushButton* CopyButton = nullptr;
    QPushButton* SaveButton = nullptr;
    QPushButton* ClearButton = nullptr;
    QCheckBox* HexBox = nullptr;
    QLabel* StatusView = nullptr;  // the last status request's answers, one fact per line
    QPlainTextEdit* View = nullptr;

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

    TActivityLog& log_;
    bool english_ = true;
    bool fontSet_ = false;  // the view's font, set on first showing
    std::optional<TActivityLog::StatusAnswers> lastStatus_;
    TActivityLog::StatusAnswers lastLate_;
    uint64_t firstShown_ = 0;  // serials of the first and last entry in the view; 0: none
    uint64_t lastShown_ = 0;
};
