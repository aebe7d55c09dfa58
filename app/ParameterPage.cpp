#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionButton>

#include <array>
#include <optional>
#include <span>
#include <string>

#include "app/Unit1.h"
#include "jobs/Jobs.h"
#include "links/Comm.h"
#include "links/NetworkLink.h"
#include "protocol/IntegerText.h"
#include "widgets/IPEdit.h"

namespace {

// Return in a settings box would let Qt pick a list entry matching the typed text; only an entry
// chosen from the list counts as picked, so the key does nothing there.
class NoPickOnReturn : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter)
                return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

// A radio button's caption drawn on one line, as a plain (not multi-line) button draws it: the
// English caption carries a trailing line feed that would otherwise lift the text off its mark.
class SingleLineCaption : public QProxyStyle {
  public:
    explicit SingleLineCaption(QObject* owner) { setParent(owner); }

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
        if (element == CE_RadioButtonLabel && button != nullptr) {
            QStyleOptionButton oneLine = *button;
            oneLine.text.remove(QLatin1Char('\n'));
            QProxyStyle::drawControl(element, &oneLine, painter, widget);
            return;
        }
        QProxyStyle::drawControl(element, option, painter, widget);
    }
};

// A box whose entry is looked up by the entry the user picked from its list.
void PickOnlyFromList(QComboBox* box) {
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setCompleter(nullptr);
    box->lineEdit()->installEventFilter(new NoPickOnReturn(box));
}

// The entry picked from the list; typed text, even when it spells an entry, picks none.
std::optional<QString> PickedEntry(const QComboBox* box) {
    int index = box->currentIndex();
    if (index < 0 || box->currentText() != box->itemText(index))
        return std::nullopt;
    return box->itemText(index);
}

QStringList Texts(std::span<const kelvo::jobs::NamedCode> list) {
    QStringList out;
    for (const kelvo::jobs::NamedCode& e : list)
        out << QString::fromLatin1(e.name.data(), qsizetype(e.name.size()));
    return out;
}

std::optional<uint8_t> CodeOf(const QComboBox* box, std::span<const kelvo::jobs::NamedCode> list) {
    std::optional<QString> picked = PickedEntry(box);
    if (!picked)
        return std::nullopt;
    return kelvo::jobs::CodeOf(list, picked->toStdString());
}

}  // namespace

void TForm1::BuildParameterPage() {
    QWidget* page = TabSheet4;

    grp2 = NewGroupBox(page, "grp2", QRect(8, 4, 569, 49), QStringLiteral("选择连接打印机方式"),
                       QStringLiteral("Choose the way to connect the printer\n"));
    rb2 = NewRadioButton(grp2, "rb2", QRect(16, 20, 137, 21), QStringLiteral("网口"),
                         QStringLiteral("Network port"));
    rb2->setChecked(true);
    rb1 = NewRadioButton(grp2, "rb1", QRect(176, 20, 169, 21), QStringLiteral("串口"),
                         QStringLiteral("Serial connection\n"));
    rb1->setStyle(new SingleLineCaption(this));

    const QRect connectionPlace(8, 58, 569, 57);
    GroupBox4 = NewGroupBox(page, "GroupBox4", connectionPlace, QStringLiteral("连接打印机"),
                            QStringLiteral("Connect the printer"));
    Label7 = NewLabel(GroupBox4, "Label7", QRect(8, 24, 105, 17), QStringLiteral("打印机IP地址："),
                      QStringLiteral("Printer IP :"));
    Label7->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    IPEdit3 =
        NewIPEdit(GroupBox4, "IPEdit3", QRect(120, 16, 125, 33), QStringLiteral("192.168.1.109"));
    Button13 = NewButton(GroupBox4, "Button13", QRect(264, 20, 97, 25), QStringLiteral("连接 &Q"),
                         QStringLiteral("Connection"));
    Button15 = NewButton(GroupBox4, "Button15", QRect(376, 20, 97, 25),
                         QStringLiteral("断开连接 &G"), QStringLiteral("Disconnect"));
    Button15->setEnabled(false);

    grp3 =
        NewGroupBox(page, "grp3", connectionPlace, QString(), QStringLiteral("Serial connection"));
    lbl1 = NewLabel(grp3, "lbl1", QRect(8, 24, 105, 17), QStringLiteral("端口设置："),
                    QStringLiteral("The port settings:"));
    lbl1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    cbb4 = NewPortBox(grp3, "cbb4", QRect(120, 22, 89, 21),
                      {"COM1", "COM2", "COM3", "LPT1", "LPT2"}, QStringLiteral("COM1"));
    lbl8 = NewLabel(grp3, "lbl8", QRect(216, 24, 65, 17), QStringLiteral("波特率："),
                    QStringLiteral("Baud rate:"));
    lbl8->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    cbb5 = NewComboBox(grp3, "cbb5", QRect(288, 22, 89, 21), {"115200", "9600", "38400"},
                       QStringLiteral("115200"));
    btn16 = NewButton(grp3, "btn16", QRect(400, 20, 121, 25), QStringLiteral("初始化端口&W"),
                      QStringLiteral("Initialize port &W"));
    // Both groups share one place and the network one is in front. Group boxes here paint no
    // background of their own, so the covered one is hidden rather than left to show through.
    GroupBox4->raise();
    grp3->hide();

    GroupBox6 = NewGroupBox(page, "GroupBox6", QRect(8, 120, 569, 73),
                            QStringLiteral("设置打印机功能"), QString());
    CheckBox2 =
        NewCheckBox(GroupBox6, "CheckBox2", QRect(200, 20, 185, 21),
                    QStringLiteral("外置蜂鸣器开关"), QStringLiteral("External buzzer switch"));
    CheckBox3 = NewCheckBox(GroupBox6, "CheckBox3", QRect(16, 44, 369, 21),
                            QStringLiteral("CR指令(默认无效，无特殊需要请保持默认)"),
                            QStringLiteral("The CR instruction"));
    CheckBox1 =
        NewCheckBox(GroupBox6, "CheckBox1", QRect(16, 20, 177, 21),
                    QStringLiteral("内置蜂鸣器开关"), QStringLiteral("Built-in buzzer switch"));
    CheckBox1->setChecked(true);
    Button14 = NewButton(GroupBox6, "Button14", QRect(456, 28, 97, 33), QStringLiteral("设置"),
                         QStringLiteral("SET"));

    GroupBox5 = NewGroupBox(page, "GroupBox5", QRect(8, 198, 569, 213), QStringLiteral("设置参数"),
                            QString());
    const int labelLeft = 8, labelWidth = 241, boxLeft = 256, buttonLeft = 456;
    auto rowLabel = [&](const char* name, int top, const QString& chinese, const QString& english) {
        QLabel* label =
            NewLabel(GroupBox5, name, QRect(labelLeft, top, labelWidth, 17), chinese, english);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        return label;
    };
    Label8 =
        rowLabel("Label8", 24, QStringLiteral("设置串口波特率："), QStringLiteral("Baud rate:"));
    ComboBox3 = NewComboBox(GroupBox5, "ComboBox3", QRect(boxLeft, 22, 185, 21),
                            Texts(kelvo::jobs::BaudRates()),
                            QString::fromLatin1(kelvo::jobs::kDefaultBaud));
    Button18 = NewButton(GroupBox5, "Button18", QRect(buttonLeft, 20, 97, 25),
                         QStringLiteral("设置"), QStringLiteral("SET"));
    Label9 = rowLabel("Label9", 56, QStringLiteral("设置默认国际代码页:"),
                      QStringLiteral("Set the default international code pages:"));
    QStringList charsets = Texts(kelvo::jobs::Charsets());
    charsets.removeAll(QStringLiteral("(Germany)"));
    cbb2 = NewComboBox(GroupBox5, "cbb2", QRect(boxLeft, 54, 185, 21), charsets,
                       QStringLiteral("(U.S.A.)"));
    btn14 = NewButton(GroupBox5, "btn14", QRect(buttonLeft, 52, 97, 25), QStringLiteral("设置"),
                      QStringLiteral("SET"));
    Label12 = rowLabel("Label12", 88, QStringLiteral("设置默认扩展字库页:"),
                       QStringLiteral("Set the default font extensions page:"));
    cbb3 = NewComboBox(GroupBox5, "cbb3", QRect(boxLeft, 86, 185, 21),
                       Texts(kelvo::jobs::CodePages()), QStringLiteral("(PC437:Standard-Europe)"));
    btn15 = NewButton(GroupBox5, "btn15", QRect(buttonLeft, 84, 97, 25), QStringLiteral("设置"),
                      QStringLiteral("SET"));
    Label11 = rowLabel("Label11", 128, QStringLiteral("内部预留参数："),
                       QStringLiteral("Internal reservation parameters:"));
    const char* reservedNames[] = {"Edit1", "Edit3", "Edit4", "Edit5", "Edit6"};
    const char* reservedTexts[] = {"31", "27", "31", "254", "01"};
    QLineEdit** reserved[] = {&Edit1, &Edit3, &Edit4, &Edit5, &Edit6};
    for (int i = 0; i < 5; ++i) {
        QString text = QString::fromLatin1(reservedTexts[i]);
        *reserved[i] =
            NewEdit(GroupBox5, reservedNames[i], QRect(boxLeft + 38 * i, 126, 33, 21), text, text);
    }
    Button16 = NewButton(GroupBox5, "Button16", QRect(buttonLeft, 120, 97, 33),
                         QStringLiteral("发送"), QStringLiteral("SEND"));
    Label10 = NewLabel(GroupBox5, "Label10", QRect(boxLeft - 120, 164, 417, 17),
                       QStringLiteral("1FH 1BH 1FH FEH x 设置默认汉字模式 x=1汉字无效，为0有效"),
                       QString());

    for (QComboBox* box : {ComboBox3, cbb2, cbb3})
        PickOnlyFromList(box);

    OnClick(rb1, &TForm1::rb1Click);
    OnClick(rb2, &TForm1::rb2Click);
    OnClick(Button13, &TForm1::Button1Click);
    OnClick(Button15, &TForm1::Button7Click);
    OnClick(btn16, &TForm1::btn16Click);
    OnClick(Button18, &TForm1::Button18Click);
    OnClick(btn14, &TForm1::btn14Click);
    OnClick(btn15, &TForm1::btn15Click);
    OnClick(Button14, &TForm1::Button14Click);
    OnClick(Button16, &TForm1::Button16Click);
    connect(ComboBox3, &QComboBox::currentIndexChanged, this,
            [this] { Run([this] { ComboBox3Change(); }); });
}

void TForm1::rb1Click() {
    grp3->show();
    GroupBox4->hide();
}

void TForm1::rb2Click() {
    grp3->hide();
    GroupBox4->show();
}

void TForm1::SendSetting(const std::function<kelvo::jobs::Job(kelvo::jobs::Over)>& compose) {
    const QString what = PageControl1->tabText(PageControl1->indexOf(TabSheet4));
    if (rb2->isChecked()) {
        SendOnLink(what, [&] { return compose(kelvo::jobs::Over::Network); });
        return;
    }
    SendToDevice(what, PortName(cbb4), [&] { return compose(kelvo::jobs::Over::Device); });
}

void TForm1::btn16Click() {
    try {
        Comm1->SetCommName(cbb4->currentText().toStdString());
        Comm1->SetBaudRate(
            static_cast<uint32_t>(kelvo::StrToInt(cbb5->currentText().toStdString())));
        InitializeComm1();
    } catch (...) {
        ShowErrorDialog(kInitPortFailure);
        return;
    }
    SetSettingButtonsEnabled(true);
}

void TForm1::SetSettingButtonsEnabled(bool enabled) {
    for (QPushButton* button : {Button15, Button16, Button14, btn14, btn15, Button18})
        button->setEnabled(enabled);
    Button13->setEnabled(!enabled);
}

void TForm1::Button18Click() {
    if (auto code = CodeOf(ComboBox3, kelvo::jobs::BaudRates())) {
        SendSetting([&](auto over) { return kelvo::jobs::BaudSetting(char(*code), over); });
    }
}

void TForm1::btn14Click() {
    if (auto code = CodeOf(cbb2, kelvo::jobs::Charsets()))
        SendSetting([&](auto over) { return kelvo::jobs::CharsetSetting(*code, over); });
}

void TForm1::btn15Click() {
    if (auto code = CodeOf(cbb3, kelvo::jobs::CodePages()))
        SendSetting([&](auto over) { return kelvo::jobs::CodePageSetting(*code, over); });
}

void TForm1::Button14Click() {
    const bool cr = CheckBox3->isChecked(), external = CheckBox2->isChecked(),
               builtin = CheckBox1->isChecked();
    SendSetting(
        [&](auto over) { return kelvo::jobs::SwitchesSetting(cr, external, builtin, over); });
}

void TForm1::Button16Click() {
    // Every text is read before anything is opened, so a bad one sends nothing at all.
    std::array<std::string, 5> texts;
    const QLineEdit* edits[] = {Edit1, Edit3, Edit4, Edit5, Edit6};
    for (int i = 0; i < 5; ++i)
        texts[i] = edits[i]->text().toStdString();
    const std::string command = kelvo::jobs::ReservedCommand(texts);
    SendSetting([&](auto over) { return kelvo::jobs::Setting(command, over); });
}

void TForm1::ComboBox3Change() {}
