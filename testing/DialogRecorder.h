#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

#include "app/Dialogs.h"

namespace kelvo::testing {

// Stands in for the message boxes and the file dialog: records every box and answers the file
// dialog from a queue (an empty answer is a cancel).
class DialogRecorder : public Dialogs {
  public:
    struct Box {
        QString title;
        QString text;
        Icon icon;
    };
    struct State {
        std::vector<Box> boxes;
        QStringList fileAnswers;
        QStringList filtersAsked;
        QStringList urlsOpened;
    };

    DialogRecorder() : state_(std::make_shared<State>()) {}
    // The recorder is handed over to the window; tests keep the shared state.
    std::shared_ptr<State> state() const { return state_; }

    void Message(QWidget* parent, const QString& title, const QString& text, Icon icon) override;
    QString OpenFile(QWidget* parent, const QString& filter) override;
    // Answered from the same queue as OpenFile.
    QString SaveFile(QWidget* parent, const QString& filter) override;
    void OpenUrl(const QString& url) override { state_->urlsOpened << url; }

  private:
    std::shared_ptr<State> state_;
};

}  // namespace kelvo::testing
