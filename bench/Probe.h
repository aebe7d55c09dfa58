#pragma once

// The start-up probes' common end: show the window, leave the event loop at its first paint, and
// with `census` print its widgets by the nearest Qt class, so the two probes can be compared.

#include <QApplication>
#include <QEvent>
#include <QObject>
#include <QWidget>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace kelvo::bench {

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

inline bool CensusAsked(int argc, char* argv[]) {
    return argc > 1 && std::strcmp(argv[1], "--census") == 0;
}

inline int ShowUntilFirstPaint(QWidget& window, bool census) {
    QuitOnFirstPaint quit;
    window.installEventFilter(&quit);
    window.show();
    const int status = QApplication::exec();
    if (census) {
        std::map<std::string, int> kinds;
        const QList<QWidget*> widgets = window.findChildren<QWidget*>();
        for (const QWidget* w : widgets) {
            const QMetaObject* meta = w->metaObject();
            while (meta != nullptr && std::strncmp(meta->className(), "Q", 1) != 0)
                meta = meta->superClass();
            ++kinds[meta != nullptr ? meta->className() : "?"];
        }
        std::printf("%d widgets\n", int(widgets.size()));
        for (const auto& [kind, count] : kinds)
            std::printf("%4d %s\n", count, kind.c_str());
    }
    return status;
}

}  // namespace kelvo::bench
