// The start-up probe's baseline: a bare Qt window with the same number and kinds of widgets as
// the tool's window (its own classes built as the Qt classes they derive from), default font,
// no work of its own; it ends as soon as its first paint has happened. `--census` prints its
// widgets by kind, to compare with startup_window's.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolButton>

#include "bench/Probe.h"

namespace {

// How many of each control a page holds. Editable combo boxes carry a line edit of their own.
struct PageMix {
    int groupBoxes, labels, edits, memos, buttons, addressEdits, comboBoxes, dropDowns, checkBoxes,
        radioButtons;
};

// The tool's pages, in tab order (the fifth is empty), as its window builds them.
constexpr PageMix kPages[] = {
    {2, 5, 2, 1, 9, 2, 0, 0, 0, 0}, {1, 3, 0, 1, 7, 0, 2, 0, 0, 0}, {1, 3, 2, 1, 6, 0, 1, 0, 1, 0},
    {5, 8, 5, 0, 8, 1, 5, 0, 3, 2}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {3, 6, 5, 0, 4, 0, 1, 7, 0, 3},
};

// Lays controls out in rows of four down the page.
class Grid {
  public:
    explicit Grid(QWidget* page) : page_(page) {}
    template <class W>
    W* Add(W* w) {
        w->setGeometry(8 + (n_ % 4) * 140, 8 + (n_ / 4) * 30, 130, 24);
        ++n_;
        return w;
    }
    QString Text(const char* kind) const { return QStringLiteral("%1 %2").arg(kind).arg(n_); }
    QWidget* page() const { return page_; }

  private:
    QWidget* page_;
    int n_ = 0;
};

void FillPage(QWidget* page, const PageMix& mix) {
    Grid g(page);
    for (int i = 0; i < mix.groupBoxes; ++i)
        g.Add(new QGroupBox(g.Text("Group"), page));
    for (int i = 0; i < mix.labels; ++i)
        g.Add(new QLabel(g.Text("Label"), page));
    for (int i = 0; i < mix.edits; ++i)
        g.Add(new QLineEdit(g.Text("Edit"), page));
    for (int i = 0; i < mix.memos; ++i)
        g.Add(new QPlainTextEdit(g.Text("Memo"), page));
    for (int i = 0; i < mix.buttons; ++i)
        g.Add(new QPushButton(g.Text("Button"), page));
    for (int i = 0; i < mix.addressEdits; ++i) {
        // An address control: a frame, a client area, four fields.
        auto* frame = g.Add(new QWidget(page));
        auto* client = new QWidget(frame);
        client->setGeometry(2, 2, 126, 20);
        for (int f = 0; f < 4; ++f)
            (new QLineEdit(QStringLiteral("192"), client))->setGeometry(f * 31, 0, 28, 20);
    }
    for (int i = 0; i < mix.comboBoxes + mix.dropDowns; ++i) {
        auto* box = g.Add(new QComboBox(page));
        box->setEditable(i < mix.comboBoxes);
        box->addItems({QStringLiteral("one"), QStringLiteral("two")});
        box->view();  // as the window's boxes have theirs
    }
    for (int i = 0; i < mix.checkBoxes; ++i)
        g.Add(new QCheckBox(g.Text("Check"), page));
    for (int i = 0; i < mix.radioButtons; ++i)
        g.Add(new QRadioButton(g.Text("Radio"), page));
}

}  // namespace

int main(int argc, char* argv[]) {
    const bool census = kelvo::bench::CensusAsked(argc, argv);
    QApplication app(argc, argv);
    QMainWindow form;
    form.resize(621, 537);
    auto* client = new QWidget(&form);
    form.setCentralWidget(client);
    auto* pages = new QTabWidget(client);
    pages->setGeometry(24, 7, 593, 449);
    int n = 0;
    for (const PageMix& mix : kPages) {
        auto* page = new QWidget;
        pages->addTab(page, QStringLiteral("Page %1").arg(++n));
        FillPage(page, mix);
    }
    pages->setCurrentIndex(3);
    (new QPushButton(QStringLiteral("Language"), client))->setGeometry(24, 464, 593, 41);

    // The log panel beside the pages, hidden.
    auto* panel = new QFrame(client);
    panel->setGeometry(621, 7, 416, 498);
    FillPage(panel, {0, 2, 0, 1, 4, 0, 0, 0, 1, 0});
    panel->hide();

    auto* bar = new QStatusBar(&form);
    bar->setSizeGripEnabled(false);
    bar->addWidget(new QLabel(QStringLiteral("Ready"), bar), 1);
    for (const char* text : {"Virtual", "Log"}) {
        auto* toggle = new QToolButton(bar);
        toggle->setText(QString::fromLatin1(text));
        bar->addPermanentWidget(toggle);
    }
    form.setStatusBar(bar);

    return kelvo::bench::ShowUntilFirstPaint(form, census);
}
