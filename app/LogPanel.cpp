#include "app/LogPanel.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

TLogPanel::TLogPanel(TActivityLog& log, QWidget* parent) : QFrame(parent), log_(log) {
    setObjectName(QStringLiteral("LogPanel"));
    setFrameShape(QFrame::StyledPanel);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(6, 6, 6, 6);
    Title = new QLabel(this);
    QFont bold = Title->font();
    bold.setBold(true);
    Title->setFont(bold);
    HexBox = new QCheckBox(this);
    auto* titleRow = new QHBoxLayout;
    titleRow->addWidget(Title, 1);
    titleRow->addWidget(HexBox);
    column->addLayout(titleRow);

    auto* buttons = new QHBoxLayout;
    StatusButton = new QPushButton(this);
    StatusButton->setObjectName(QStringLiteral("StatusButton"));
    SendFileButton = new QPushButton(this);
    SendFileButton->setObjectName(QStringLiteral("SendFileButton"));
    CopyButton = new QPushButton(this);
    SaveButton = new QPushButton(this);
    ClearButton = new QPushButton(this);
    for (QPushButton* b : {StatusButton, SendFileButton, CopyButton, SaveButton, ClearButton})
        buttons->addWidget(b);
    column->addLayout(buttons);

    StatusView = new QLabel(this);
    StatusView->setObjectName(QStringLiteral("StatusView"));
    StatusView->setTextFormat(Qt::PlainText);
    StatusView->setWordWrap(true);
    StatusView->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Room for every fact of a full answer, so the log below does not jump at each request.
    StatusView->setMinimumHeight(7 * StatusView->fontMetrics().lineSpacing());
    StatusView->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(StatusView);

    View = new QPlainTextEdit(this);
    View->setObjectName(QStringLiteral("LogView"));
    View->setReadOnly(true);
    View->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    column->addWidget(View, 1);

    connect(&log_, &TActivityLog::Changed, this, &TLogPanel::Refresh);
    connect(HexBox, &QCheckBox::toggled, this, &TLogPanel::Rebuild);
    connect(ClearButton, &QPushButton::clicked, &log_, &TActivityLog::Clear);
    SetEnglish(true);
}

void TLogPanel::SetEnglish(bool english) {
    english_ = english;
    Title->setText(english ? QStringLiteral("Activity log") : QStringLiteral("活动记录"));
    StatusButton->setText(english ? QStringLiteral("Printer status")
                                  : QStringLiteral("打印机状态"));
    SendFileButton->setText(english ? QStringLiteral("Send file…") : QStringLiteral("发送文件…"));
    CopyButton->setText(english ? QStringLiteral("Copy") : QStringLiteral("复制"));
    SaveButton->setText(english ? QStringLiteral("Save…") : QStringLiteral("保存…"));
    ClearButton->setText(english ? QStringLiteral("Clear") : QStringLiteral("清除"));
    HexBox->setText(english ? QStringLiteral("Show hex") : QStringLiteral("显示十六进制"));
    if (lastStatus_)
        ShowStatus(*lastStatus_, lastLate_);
    Rebuild();
}

void TLogPanel::ShowStatus(const TActivityLog::StatusAnswers& answers,
                           const TActivityLog::StatusAnswers& late) {
    lastStatus_ = answers;
    lastLate_ = late;
    StatusView->setText(TActivityLog::StatusLines(answers, english_, late).join(QLatin1Char('\n')));
}

void TLogPanel::ShowStatusMessage(const QString& message) {
    lastStatus_.reset();
    StatusView->setText(message);
}

QString TLogPanel::Text() const {
    return log_.Text(english_, HexBox->isChecked());
}

void TLogPanel::setVisible(bool visible) {
    // The log's own face is matched when the panel first shows: most sessions never open it, and
    // the window's first paint does not wait for it.
    if (visible && !fontSet_) {
        fontSet_ = true;
        QFont fixed(QStringLiteral("DejaVu Sans Mono"));
        fixed.setFamilies(
            {QStringLiteral("DejaVu Sans Mono"), QStringLiteral("WenQuanYi Micro Hei")});
        fixed.setPixelSize(11);
        View->setFont(fixed);
    }
    QFrame::setVisible(visible);
    if (visible)
        Refresh();
}

void TLogPanel::Rebuild() {
    firstShown_ = lastShown_ = 0;
    Refresh();
}

void TLogPanel::Refresh() {
    if (isHidden())
        return;
    const auto& entries = log_.Entries();
    const bool hex = HexBox->isChecked();
    const uint64_t first = entries.empty() ? 0 : entries.front().serial;
    if (first != firstShown_ || lastShown_ == 0) {
        View->setPlainText(Text());
    } else {
        for (const auto& e : entries) {
            if (e.serial > lastShown_)
                View->appendPlainText(QLatin1Char('\n') +
                                      TActivityLog::EntryText(e, english_, hex).chopped(1));
        }
    }
    firstShown_ = first;
    lastShown_ = entries.empty() ? 0 : entries.back().serial;
    View->verticalScrollBar()->setValue(View->verticalScrollBar()->maximum());
}
