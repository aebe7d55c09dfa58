#pragma once

#include <QString>

class QWidget;

// Every modal box and the file-open dialog go through here, so tests can answer and record them.
class Dialogs {
  public:
    enum class Icon { None, Information, Warning, Error };

    virtual ~Dialogs() = default;
    // A modal box with one OK button.
    virtual void Message(QWidget* parent, const QString& title, const QString& text, Icon icon) = 0;
    // A file-open dialog. `filter` is in the "Description|*.ext|..." form; returns the chosen
    // path, or an empty string when the user cancelled.
    virtual QString OpenFile(QWidget* parent, const QString& filter) = 0;
    // A file-save dialog in the same form; the chosen path, or an empty string when cancelled
    // (as a seam that does not answer it does).
    virtual QString SaveFile(QWidget* parent, const QString& filter) {
        (void)parent;
        (void)filter;
        return {};
    }
    // Opens `url` in the system's browser (as a seam that does not answer it does not).
    virtual void OpenUrl(const QString& url) { (void)url; }
};

// The real boxes: QMessageBox and QFileDialog.
class QtDialogs : public Dialogs {
  public:
    void Message(QWidget* parent, const QString& title, const QString& text, Icon icon) override;
    QString OpenFile(QWidget* parent, const QString& filter) override;
    QString SaveFile(QWidget* parent, const QString& filter) override;
    void OpenUrl(const QString& url) override;
};

// Turns "Desc|*.a;*.b|Other|*.c" into Qt's "Desc (*.a *.b);;Other (*.c)".
QString QtFileFilter(const QString& pipeFilter);
