#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QRawFont>
#include <QTest>

#include <memory>
#include <optional>
#include <vector>

#include "widgets/IPEdit.h"

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QStringList& l, std::ostream* os) {
    *os << '[' << l.join(QStringLiteral("|")).toStdString() << ']';
}
QT_END_NAMESPACE

namespace {

struct ErrorCall {
    TIPEdit* sender;
    int field;
    QString ipStringMeanwhile;
    bool errorMeanwhile;
};

// A TIPEdit as the forms place it (125 x 33, 12-pixel bold font) beside a plain edit to come
// from, in a shown top-level window; keys go to whichever widget has the focus, as typing does.
class IPEditTest : public ::testing::Test {
  protected:
    void SetUp() override {
        window = std::make_unique<QWidget>();
        window->resize(300, 120);
        other = new QLineEdit(window.get());
        other->setGeometry(10, 80, 80, 21);
        edit = new TIPEdit(window.get());
        edit->setGeometry(128, 32, 125, 33);
        QFont font(QStringLiteral("MS Sans Serif"));
        font.setPixelSize(12);
        font.setBold(true);
        edit->setFont(font);
        edit->OnError = [this](TIPEdit* sender, int field) {
            errors.push_back({sender, field, sender->IPString(), sender->Error()});
        };
        edit->OnChange = [this](TIPEdit*) { ++changes; };
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    TIPFieldEdit* F(int i) const { return edit->Field(i); }

    // Focus coming from outside always lands on field 0 first; the other fields are reached from
    // there.
    void FocusOn(QWidget* w) {
        if (edit->isAncestorOf(w))
            F(0)->setFocus(Qt::OtherFocusReason);
        w->setFocus(Qt::OtherFocusReason);
        ASSERT_EQ(QApplication::focusWidget(), w);
    }

    // Focus field i and empty it with real keys (Delete: a backspace at the start would move).
    void EmptyField(int i) {
        FocusOn(F(i));
        F(i)->selectAll();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Delete);
        ASSERT_EQ(F(i)->text(), "");
        ASSERT_EQ(QApplication::focusWidget(), F(i));
    }

    void Type(const char* keys) {
        for (const char* k = keys; *k; ++k) {
            QWidget* target = QApplication::focusWidget();
            ASSERT_NE(target, nullptr);
            QTest::keyClick(target, *k);
        }
    }

    void Press(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QWidget* target = QApplication::focusWidget();
        ASSERT_NE(target, nullptr);
        QTest::keyClick(target, key, mods);
    }

    QStringList Texts() const { return {F(0)->text(), F(1)->text(), F(2)->text(), F(3)->text()}; }

    std::unique_ptr<QWidget> window;
    QLineEdit* other = nullptr;
    TIPEdit* edit = nullptr;
    std::vector<ErrorCall> errors;
    int changes = 0;
};

TEST_F(IPEditTest, NewControlReadsZerosAndLaysOutTheFormsFields) {
    EXPECT_EQ(edit->IPString(), "0.0.0.0");
    EXPECT_EQ(Texts(), QStringList({"0", "0", "0", "0"}));
    EXPECT_FALSE(edit->Error());
    EXPECT_FALSE(edit->ReadOnly());
    EXPECT_TRUE(edit->TabStop());
    EXPECT_EQ(edit->BorderStyle(), TBorderStyle::bsSingle);
    EXPECT_EQ(edit->Cursor().shape(), Qt::IBeamCursor);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(F(i)->geometry(), QRect(31 * i, 8, 27, 31)) << "field " << i;
        EXPECT_EQ(F(i)->maxLength(), 3);
        EXPECT_EQ(F(i)->cursor().shape(), Qt::IBeamCursor);
        EXPECT_EQ(F(i)->Position(), i);
    }

    TIPEdit fresh;
    EXPECT_EQ(fresh.size(), QSize(125, 21));
    EXPECT_EQ(fresh.font().pointSize(), 9);
    EXPECT_TRUE(fresh.font().bold());
    EXPECT_EQ(fresh.IPString(), "0.0.0.0");
}

TEST_F(IPEditTest, LayoutFollowsFontAndBorder) {
    QFont font = edit->font();
    font.setPointSize(10);  // W = 30, G = 4: first left (125 - 120 - 12 - 4) / 2 truncates to -5
    edit->setFont(font);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(F(i)->x(), -5 + 34 * i);
        EXPECT_EQ(F(i)->width(), 30);
        EXPECT_EQ(F(i)->height(), 31);
    }
    const QPoint withBorder = F(0)->mapTo(edit, QPoint(0, 0));
    edit->SetBorderStyle(TBorderStyle::bsNone);
    EXPECT_EQ(F(0)->mapTo(edit, QPoint(0, 0)), withBorder - QPoint(2, 2));
    edit->resize(200, 41);
    EXPECT_EQ(F(0)->height(), 39);
    EXPECT_EQ(F(0)->x(), (200 - 120 - 12 - 4) / 2);
}

TEST_F(IPEditTest, FullFieldsMoveOnWithTheNextTextSelected) {
    EmptyField(0);
    Type("192");
    EXPECT_EQ(QApplication::focusWidget(), F(1));
    EXPECT_EQ(F(1)->selectedText(), "0");
    Type("168");
    EXPECT_EQ(QApplication::focusWidget(), F(2));
    EXPECT_EQ(F(2)->selectedText(), "0");
    Type("1.");
    EXPECT_EQ(QApplication::focusWidget(), F(3));
    EXPECT_EQ(F(3)->selectedText(), "0");
    Type("109");
    EXPECT_EQ(QApplication::focusWidget(), F(3));  // no field after the last
    EXPECT_EQ(edit->IPString(), "192.168.1.109");
    EXPECT_EQ(Texts(), QStringList({"192", "168", "1", "109"}));
    EXPECT_TRUE(errors.empty());
    // One change per new value: 1, 19, 192, then 1, 16, 168, then 1, then 1, 10, 109.
    EXPECT_EQ(changes, 10);
}

TEST_F(IPEditTest, OutOfRangeEntryBecomes255AndRaisesOnErrorOnce) {
    edit->SetIPString("10.20.30.40");
    EmptyField(2);
    Type("300");
    EXPECT_EQ(F(2)->text(), "255");
    EXPECT_EQ(F(2)->FieldValue(), 255);
    EXPECT_EQ(edit->IPString(), "10.20.255.40");
    EXPECT_EQ(QApplication::focusWidget(), F(2));
    EXPECT_EQ(F(2)->cursorPosition(), 0);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].sender, edit);
    EXPECT_EQ(errors[0].field, 2);
    // While the error is raised the control reads "255" alone and reports the error mark.
    EXPECT_EQ(errors[0].ipStringMeanwhile, "255");
    EXPECT_TRUE(errors[0].errorMeanwhile);
    EXPECT_FALSE(edit->Error());
    EXPECT_FALSE(F(2)->FieldError());

    // An in-range entry afterwards is taken as usual.
    F(2)->selectAll();
    Type("7");
    EXPECT_EQ(edit->IPString(), "10.20.7.40");
    EXPECT_EQ(errors.size(), 1u);
}

TEST_F(IPEditTest, DotMovesOnlyFromAFilledFieldWithoutSelection) {
    edit->SetIPString("1.2.3.4");
    EmptyField(1);
    Type(".");
    EXPECT_EQ(QApplication::focusWidget(), F(1));
    EXPECT_EQ(F(1)->text(), "");

    Type("12");
    F(1)->setSelection(1, 1);  // part of the field selected
    Type(".");
    EXPECT_EQ(QApplication::focusWidget(), F(1));
    EXPECT_EQ(F(1)->text(), "12");

    F(1)->setCursorPosition(1);
    Type(".");
    EXPECT_EQ(QApplication::focusWidget(), F(2));
    EXPECT_EQ(F(2)->selectedText(), "3");
    EXPECT_EQ(Texts(), QStringList({"1", "12", "3", "4"}));  // "." is never inserted
}

TEST_F(IPEditTest, ArrowsCrossFieldsOnlyAtTheirEnds) {
    edit->SetIPString("11.22.33.44");
    FocusOn(F(3));
    F(3)->setCursorPosition(2);
    Press(Qt::Key_Right);
    EXPECT_EQ(QApplication::focusWidget(), F(3));
    EXPECT_EQ(F(3)->cursorPosition(), 2);

    FocusOn(F(0));
    F(0)->selectAll();
    Press(Qt::Key_Left);  // collapses the selection, nowhere to go
    EXPECT_EQ(QApplication::focusWidget(), F(0));
    EXPECT_FALSE(F(0)->hasSelectedText());
    EXPECT_EQ(F(0)->cursorPosition(), 0);
    Press(Qt::Key_Left);
    EXPECT_EQ(QApplication::focusWidget(), F(0));

    Press(Qt::Key_Right);  // inside the text: the field's own caret move
    EXPECT_EQ(QApplication::focusWidget(), F(0));
    EXPECT_EQ(F(0)->cursorPosition(), 1);
    Press(Qt::Key_Right);
    Press(Qt::Key_Right);
    EXPECT_EQ(QApplication::focusWidget(), F(1));
    EXPECT_EQ(F(1)->cursorPosition(), 0);
    EXPECT_FALSE(F(1)->hasSelectedText());

    Press(Qt::Key_Left);
    EXPECT_EQ(QApplication::focusWidget(), F(0));
    EXPECT_EQ(F(0)->cursorPosition(), 2);
    EXPECT_EQ(Texts(), QStringList({"11", "22", "33", "44"}));
}

TEST_F(IPEditTest, BackspaceAtTheStartMovesBackAndDeletesOnlyHere) {
    edit->SetIPString("11.22.33.44");
    FocusOn(F(2));
    F(2)->setCursorPosition(0);
    Press(Qt::Key_Backspace);
    EXPECT_EQ(QApplication::focusWidget(), F(1));
    EXPECT_EQ(F(1)->cursorPosition(), 2);
    EXPECT_EQ(Texts(), QStringList({"11", "22", "33", "44"}));

    // Whole text selected, as after an automatic move: the move back empties this field, whose
    // value stays what the address reports.
    FocusOn(F(2));
    F(2)->selectAll();
    Press(Qt::Key_Backspace);
    EXPECT_EQ(QApplication::focusWidget(), F(1));
    EXPECT_EQ(Texts(), QStringList({"11", "22", "", "44"}));
    EXPECT_EQ(edit->IPString(), "11.22.33.44");

    Press(Qt::Key_Backspace);  // caret at the end of field 1: an ordinary backspace
    EXPECT_EQ(F(1)->text(), "2");
    EXPECT_EQ(edit->IPString(), "11.2.33.44");
}

TEST_F(IPEditTest, LeadingZeroIsReadAsTheNumber) {
    EmptyField(3);
    Type("01");
    EXPECT_EQ(F(3)->text(), "01");
    EXPECT_EQ(edit->IPString(), "0.0.0.1");
    EmptyField(0);
    Type("007");  // three characters: full, moves on
    EXPECT_EQ(edit->IPString(), "7.0.0.1");
    EXPECT_EQ(QApplication::focusWidget(), F(1));
}

TEST_F(IPEditTest, OtherCharactersAndClipboardKeysAreSwallowed) {
    edit->SetIPString("1.2.3.4");
    QApplication::clipboard()->setText(QStringLiteral("9"));
    EmptyField(0);
    Type("a -+x");
    Press(Qt::Key_Return);
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(F(0)->text(), "");
    Type("5");
    Press(Qt::Key_A, Qt::ControlModifier);  // no select-all either
    Press(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(F(0)->text(), "5");
    EXPECT_FALSE(F(0)->hasSelectedText());
    EXPECT_EQ(edit->IPString(), "5.2.3.4");
    EXPECT_TRUE(errors.empty());
}

TEST_F(IPEditTest, PastedTextIsValidatedLikeTypedText) {
    EmptyField(1);
    QApplication::clipboard()->setText(QStringLiteral("x1"));
    F(1)->paste();  // what the context menu does
    EXPECT_EQ(F(1)->text(), "255");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].field, 1);
    EXPECT_EQ(edit->IPString(), "0.255.0.0");
}

TEST_F(IPEditTest, ReadOnlyRefusesTypingButStillNavigates) {
    edit->SetIPString("1.2.3.4");
    edit->SetReadOnly(true);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(F(i)->isReadOnly());
    FocusOn(F(0));
    F(0)->setCursorPosition(1);
    Type("9");
    Press(Qt::Key_Backspace);
    EXPECT_EQ(F(0)->text(), "1");
    Type(".");
    EXPECT_EQ(QApplication::focusWidget(), F(1));
    Press(Qt::Key_Delete);
    EXPECT_EQ(F(1)->text(), "2");
    Press(Qt::Key_End);
    Press(Qt::Key_Right);
    EXPECT_EQ(QApplication::focusWidget(), F(2));
    Press(Qt::Key_Left);
    EXPECT_EQ(QApplication::focusWidget(), F(1));
    EXPECT_EQ(edit->IPString(), "1.2.3.4");
    edit->SetReadOnly(false);
    EXPECT_FALSE(F(3)->isReadOnly());
}

TEST_F(IPEditTest, WritingIPStringFollowsTheTokenRulesAndRaisesNothing) {
    FocusOn(F(0));
    edit->SetIPString("10.0.0.1");
    EXPECT_EQ(Texts(), QStringList({"10", "0", "0", "1"}));
    edit->SetIPString("10.0.0");
    EXPECT_EQ(edit->IPString(), "10.0.0.1");
    edit->SetIPString("10.0.x.300");
    EXPECT_EQ(Texts(), QStringList({"10", "0", "255", "255"}));
    EXPECT_EQ(edit->IPString(), "10.0.255.255");
    edit->SetIPString("1.2.3.4.5");
    EXPECT_EQ(edit->IPString(), "1.2.3.4");
    // Three-digit values leave the caret at the start, so the focused field keeps the focus.
    edit->SetIPString("192.168.100.109");
    EXPECT_EQ(QApplication::focusWidget(), F(0));
    EXPECT_EQ(edit->IPString(), "192.168.100.109");
    edit->SetIPString("");
    EXPECT_EQ(edit->IPString(), "192.168.100.109");
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(errors.empty());
}

TEST_F(IPEditTest, FocusEnteringFromAnotherControlGoesToFieldZero) {
    FocusOn(other);
    int enters = 0, exits = 0;
    edit->OnEnter = [&](TIPEdit*) { ++enters; };
    edit->OnExit = [&](TIPEdit*) { ++exits; };
    F(2)->setFocus(Qt::OtherFocusReason);
    EXPECT_EQ(QApplication::focusWidget(), F(0));

    FocusOn(F(3));  // moves inside the control stay where they go
    other->setFocus(Qt::OtherFocusReason);
    QTest::mouseClick(F(2), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(QApplication::focusWidget(), F(0));

    other->setFocus(Qt::OtherFocusReason);
    edit->setFocus(Qt::OtherFocusReason);
    EXPECT_EQ(QApplication::focusWidget(), F(0));

    other->setFocus(Qt::OtherFocusReason);
    Press(Qt::Key_Tab);  // tab lands on the fields; entering does not select
    EXPECT_EQ(QApplication::focusWidget(), F(0));
    EXPECT_FALSE(F(0)->hasSelectedText());

    EXPECT_EQ(enters, 4);
    EXPECT_EQ(exits, 3);

    edit->SetTabStop(false);
    other->setFocus(Qt::OtherFocusReason);
    Press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), other);
}

TEST_F(IPEditTest, PressOutsideTheFieldsFocusesFieldZeroOnlyFromOutside) {
    FocusOn(other);
    const QPoint gap = F(1)->mapTo(edit, QPoint(-2, 3));  // between fields 0 and 1
    QTest::mouseClick(edit, Qt::LeftButton, {}, gap);
    EXPECT_EQ(QApplication::focusWidget(), F(0));
    FocusOn(F(2));
    QTest::mouseClick(edit, Qt::LeftButton, {}, QPoint(1, 1));  // the border
    EXPECT_EQ(QApplication::focusWidget(), F(2));
}

// The painted control: three visible dots in the gaps, and three bold digits fit a field; the
// same after the font grows, which widens the gaps the dots are fitted to.
TEST_F(IPEditTest, DotsAndDigitsAreVisible) {
    edit->SetIPString("192.168.1.109");
    for (const int pixels : {12, 16}) {
        QFont font = edit->font();
        font.setPixelSize(pixels);
        edit->setFont(font);
        const QImage image = edit->grab().toImage();
        if (const QByteArray dir = qgetenv("KELVO_SCREENSHOT_DIR"); !dir.isEmpty()) {
            const QString base =
                QString::fromLocal8Bit(dir) + QStringLiteral("/ipedit-%1").arg(pixels);
            image.save(base + ".png");
            image.scaled(image.size() * 4).save(base + "-x4.png");
        }
        const QColor background = edit->Color();
        for (int k = 0; k < 3; ++k) {
            const QPoint gapTopLeft = F(k)->mapTo(edit, QPoint(F(k)->width(), 0));
            const int gapWidth = F(k + 1)->x() - F(k)->x() - F(k)->width();
            int dark = 0;
            for (int x = gapTopLeft.x(); x < gapTopLeft.x() + gapWidth; ++x) {
                for (int y = 0; y < edit->height(); ++y) {
                    if (qGray(image.pixel(x, y)) < qGray(background.rgb()) / 2)
                        ++dark;
                }
            }
            EXPECT_GE(dark, 2) << "dot " << k << " at " << pixels << " px";
        }
        const QFontMetrics metrics(F(0)->font());
        EXPECT_LE(metrics.horizontalAdvance(QStringLiteral("888")), F(0)->width());
        EXPECT_LE(F(0)->y() + 1 + metrics.height(), edit->height() - 2);  // inside the box
    }
}

// The dots are measured and drawn with the control's face scaled, not with a font matched at each
// size: both must give the same full-stop box, ascent and picture, for every face and size here.
TEST(IPEditDots, ScaledFaceMeasuresAsAMatchedFont) {
    QWidget device;
    for (const char* family : {"Liberation Sans", "DejaVu Sans", "Nimbus Sans"}) {
        QFont bold(QString::fromLatin1(family));
        bold.setPixelSize(12);
        bold.setBold(true);
        const QRawFont face = QRawFont::fromFont(bold);
        ASSERT_TRUE(face.isValid()) << family;
        const quint32 glyph = face.glyphIndexesForString(QStringLiteral(".")).value(0);
        ASSERT_NE(glyph, 0u) << family;
        for (int pixels = 6; pixels <= 30; ++pixels) {
            QFont matched = bold;
            matched.setPixelSize(pixels);
            const QRect ink = QFontMetrics(matched, &device).tightBoundingRect(QStringLiteral("."));
            QRawFont sized = face;
            sized.setPixelSize(pixels);
            const QRectF box = sized.boundingRect(glyph);
            EXPECT_EQ(qRound(box.width()), ink.width()) << family << " " << pixels;
            EXPECT_EQ(qRound(box.x()), ink.left()) << family << " " << pixels;
            EXPECT_EQ(qRound(sized.ascent()), QFontMetrics(matched, &device).ascent())
                << family << " " << pixels;

            QImage drawn(40, 40, QImage::Format_ARGB32_Premultiplied);
            QImage expected = drawn;
            drawn.fill(Qt::white);
            expected.fill(Qt::white);
            QGlyphRun run;
            run.setRawFont(sized);
            run.setGlyphIndexes({glyph});
            run.setPositions({QPointF(0, 0)});
            QPainter(&drawn).drawGlyphRun(QPointF(10, 30), run);
            QPainter text(&expected);
            text.setFont(matched);
            text.drawText(QPoint(10, 30), QStringLiteral("."));
            text.end();
            EXPECT_EQ(drawn, expected) << family << " " << pixels;
        }
    }
}

}  // namespace
