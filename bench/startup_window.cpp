// The start-up probe for the window: what kelvotool's main does for the plain window, ending as
// soon as the window's first paint has happened. `--census` prints the window's widgets by kind.
#include <QApplication>
#include <QEvent>
#include <QObject>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "app/Unit1.h"

namespace {

class QuitOnFirstPaint : public QObject {
  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            // The rest of this paint (the children) still happens before the loop returns.
            QApplication::quit();
        }
        return false;
    }
};

// The nearest Qt class: what a bare window would build in its place.
const char* QtKind(const QObject* object) {
    const QMetaObject* meta = object->metaObject();
    while (meta != nullptr && std::strncmp(meta->className(), "Q", 1) != 0)
        meta = meta->superClass();
    return meta != nullptr ? meta->className() : "?";
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("Kelvotool"));
    QCoreApplication::setApplicationVersion(QStringLiteral("6.5"));
    const bool census = argc > 1 && std::strcmp(argv[1], "--census") == 0;
    QApplication app(argc, argv);
    TForm1 form;
    QuitOnFirstPaint quit;
    form.installEventFilter(&quit);
    form.show();
    const int status = QApplication::exec();
    if (census) {
        std::map<std::string, int> kinds;
        const QList<QWidget*> widgets = form.findChildren<QWidget*>();
        for (const QWidget* w : widgets)
            ++kinds[QtKind(w)];
        std::printf("%d widgets\n", int(widgets.size()));
        for (const auto& [kind, n] : kinds)
            std::printf("%4d %s\n", n, kind.c_str());
    }
    return status;
}
