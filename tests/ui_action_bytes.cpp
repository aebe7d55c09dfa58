// The window's face of the action table that the jobs' and the command line's suites check: each
// action done as a user does it, the bytes taken at a real peer (a loopback printer, or COM1 as a
// pseudo-terminal).
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>

#include <chrono>
#include <string>
#include <vector>

#include "testing/ActionBytes.h"
#include "testing/ByteText.h"
#include "testing/LoopbackPrinter.h"
#include "testing/Pty.h"
#include "testing/RowName.h"
#include "testing/TestHost.h"
#include "testing/WindowFixture.h"
#include "widgets/IPEdit.h"

using kelvo::testing::ActionBytes;
using kelvo::testing::Hex;
using kelvo::testing::OwnLoopbackHost;

namespace {

class WindowBytes : public kelvo::testing::WindowTest,
                    public ::testing::WithParamInterface<ActionBytes> {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        if (HasFatalFailure())
            return;
        // Every address the window has points at the peer before anything is clicked.
        const QString host = QString::fromStdString(OwnLoopbackHost());
        for (TIPEdit* edit : form->findChildren<TIPEdit*>())
            edit->SetIPString(host);
        const QStringList octets = host.split(QLatin1Char('.'));
        QLineEdit* fields[] = {form->IP1, form->IP2, form->IP3, form->IP4};
        for (int i = 0; i < 4; ++i)
            fields[i]->setText(octets[i]);
    }

    // Does one step as a user would; false (with the failure noted) for a control it cannot find
    // or a value the control does not offer.
    bool Do(const ActionBytes::Step& step) {
        const QString name = QString::fromStdString(step.control);
        const QList<QWidget*> found = form->findChildren<QWidget*>(name);
        if (found.size() != 1) {
            ADD_FAILURE() << found.size() << " controls named " << step.control;
            return false;
        }
        QWidget* control = found.front();
        const QString value = QString::fromStdString(step.value);
        if (!control->isEnabled()) {
            ADD_FAILURE() << step.control << " is disabled: a user could not use it";
            return false;
        }
        if (auto* box = qobject_cast<QCheckBox*>(control); box && !value.isEmpty()) {
            box->setChecked(value == QLatin1String("on"));
        } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            button->click();
        } else if (auto* list = qobject_cast<QComboBox*>(control)) {
            const int index = list->findText(value, Qt::MatchExactly | Qt::MatchCaseSensitive);
            if (index >= 0) {
                list->setCurrentIndex(index);
            } else if (list->isEditable()) {
                list->setEditText(value);
            } else {
                ADD_FAILURE() << step.control << " offers no " << step.value;
                return false;
            }
        } else if (auto* address = qobject_cast<TIPEdit*>(control)) {
            address->SetIPString(value);
        } else if (auto* line = qobject_cast<QLineEdit*>(control)) {
            line->setText(value);
        } else if (auto* memo = qobject_cast<QPlainTextEdit*>(control)) {
            memo->setPlainText(value);
        } else {
            ADD_FAILURE() << step.control << " is no kind of control a step can use";
            return false;
        }
        return true;
    }

    kelvo::testing::LoopbackPrinter printer{OwnLoopbackHost()};
    kelvo::testing::Pty com1;
    kelvo::testing::PortOverride com1Override{"COM1", com1.slavePath()};
};

TEST_P(WindowBytes, ReachThePrinterExactlyAsTheJobsAndTheCommandLineDo) {
    const ActionBytes& action = GetParam();
    for (const ActionBytes::Step& step : action.window.steps) {
        SCOPED_TRACE(step.control);
        ASSERT_TRUE(Do(step));
    }
    const bool network = action.peer == ActionBytes::Peer::Network;
    const std::string got =
        network ? printer.waitForBytes(action.wire.size()) : com1.read(action.wire.size());
    EXPECT_EQ(Hex(got), Hex(action.wire));
    // Nothing more follows, and the other peer heard nothing at all.
    EXPECT_EQ(Hex(network ? printer.settle().substr(got.size())
                          : com1.drain(std::chrono::milliseconds(50))),
              "");
    EXPECT_EQ(Hex(network ? com1.drain(std::chrono::milliseconds(50)) : printer.settle()), "");
    EXPECT_TRUE(dialogs->boxes.empty());
}

std::vector<ActionBytes> RowsTheWindowDrives() {
    std::vector<ActionBytes> rows;
    for (const ActionBytes& action : kelvo::testing::ActionTable()) {
        if (!action.window.steps.empty())
            rows.push_back(action);
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Table, WindowBytes, ::testing::ValuesIn(RowsTheWindowDrives()),
                         kelvo::testing::NamedByName());

}  // namespace
