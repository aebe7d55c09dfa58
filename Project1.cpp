#include <QApplication>

#include "app/Unit1.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvotool"));
    TForm1 form;
    form.show();
    return QApplication::exec();
}
