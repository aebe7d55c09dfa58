// One inventory of the window's named controls: each page holds the controls it names, once, each
// inside its parent and with its caption whole, in both languages.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTabWidget>
#include <QWidget>

#include <string>
#include <vector>

#include "app/VirtualPrinterWindow.h"
#include "testing/CaptionFit.h"
#include "testing/RowName.h"
#include "testing/WindowFixture.h"

namespace {

struct Page {
    const char* name;
    std::vector<const char*> controls;
};

const Page kPages[] = {
    {"TabSheet1", {"GroupBox1", "Label1", "IPEdit1",   "Button1", "Button7", "Label2",  "IPEdit2",
                   "Button2",   "lbl5",   "edt3",      "lbl4",    "edt2",    "btn7",    "btn6",
                   "lbl6",      "btn11",  "GroupBox2", "Memo1",   "Button3", "Button4", "btn10"}},
    {"TabSheet2",
     {"GroupBox3", "Label3", "ComboBox1", "Label5", "ComboBox2", "Button9", "Label4", "memo2",
      "Button8", "Button11", "btn12", "Button5", "Button6", "btn3"}},
    {"ts1",
     {"grp1", "lbl2", "edt1", "lbl3", "cbb1", "btn1", "lbl7", "edt4", "btn9", "mmo1", "chk1",
      "btn2", "btn4", "btn5", "btn8"}},
    {"TabSheet4",
     {"grp2",      "rb2",       "rb1",       "grp3",      "lbl1",     "cbb4",      "lbl8",
      "cbb5",      "btn16",     "GroupBox4", "Label7",    "IPEdit3",  "Button13",  "Button15",
      "GroupBox6", "CheckBox2", "CheckBox3", "CheckBox1", "Button14", "GroupBox5", "Label8",
      "ComboBox3", "Button18",  "Label9",    "cbb2",      "btn14",    "Label12",   "cbb3",
      "btn15",     "Label11",   "Edit1",     "Edit3",     "Edit4",    "Edit5",     "Edit6",
      "Button16",  "Label10"}},
    {"ts2",
     {"PortChoice",
      "PortChoiceItem0",
      "PortChoiceItem1",
      "PortChoiceItem2",
      "PortSet",
      "Label15",
      "cbPortName",
      "Label16",
      "cbBaud",
      "cbData",
      "cbParity",
      "cbStop",
      "cbFlow",
      "cbLPT",
      "Label22",
      "IP1",
      "IP2",
      "IP3",
      "IP4",
      "Label21",
      "cbb6",
      "btn17",
      "btn20",
      "btn21",
      "btn19",
      "grp4",
      "img1",
      "lbl9",
      "edQuery"}},
};

// Named widgets of `root` that lie outside their parent, as "name (x,y wxh in wxh)".
std::vector<std::string> OutsideTheirParent(QWidget* root) {
    std::vector<std::string> out;
    for (QWidget* w : root->findChildren<QWidget*>()) {
        QWidget* parent = w->parentWidget();
        if (w->objectName().isEmpty() || w->objectName().startsWith(QLatin1String("qt_")) ||
            w->isWindow() || parent == nullptr || !w->isVisibleTo(root))
            continue;
        if (!parent->rect().contains(w->geometry())) {
            const QRect g = w->geometry();
            out.push_back(QStringLiteral("%1 (%2,%3 %4x%5 in %6x%7)")
                              .arg(w->objectName())
                              .arg(g.x())
                              .arg(g.y())
                              .arg(g.width())
                              .arg(g.height())
                              .arg(parent->width())
                              .arg(parent->height())
                              .toStdString());
        }
    }
    return out;
}

class Inventory : public kelvo::testing::WindowTest, public ::testing::WithParamInterface<Page> {};

TEST_P(Inventory, EachControlStandsOnceOnItsPageInsideItsParentWithItsCaptionWhole) {
    const Page& page = GetParam();
    auto* sheet = form->findChild<QWidget*>(QLatin1String(page.name));
    ASSERT_NE(sheet, nullptr);
    form->show();
    form->PageControl1->setCurrentWidget(sheet);
    for (const char* name : page.controls) {
        const auto all = form->findChildren<QWidget*>(QLatin1String(name));
        EXPECT_EQ(all.size(), 1) << name << " is not named once in the window";
        EXPECT_EQ(sheet->findChildren<QWidget*>(QLatin1String(name)).size(), 1)
            << name << " is not on " << page.name;
    }
    for (const char* language : {"en", "zh"}) {
        SCOPED_TRACE(language);
        EXPECT_EQ(OutsideTheirParent(sheet), std::vector<std::string>{});
        const QStringList clipped = kelvo::testing::ClippedCaptions(sheet);
        EXPECT_TRUE(clipped.isEmpty()) << clipped.join("; ").toStdString();
        form->btn13->click();
    }
}

INSTANTIATE_TEST_SUITE_P(Pages, Inventory, ::testing::ValuesIn(kPages),
                         kelvo::testing::NamedByName());

}  // namespace
