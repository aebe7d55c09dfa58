#include "testing/DialogRecorder.h"

namespace kelvo::testing {

void DialogRecorder::Message(QWidget*, const QString& title, const QString& text, Icon icon) {
    state_->boxes.push_back({title, text, icon});
}

QString DialogRecorder::OpenFile(QWidget*, const QString& filter) {
    state_->filtersAsked << filter;
    return state_->fileAnswers.isEmpty() ? QString() : state_->fileAnswers.takeFirst();
}

QString DialogRecorder::SaveFile(QWidget* parent, const QString& filter) {
    return OpenFile(parent, filter);
}

}  // namespace kelvo::testing
