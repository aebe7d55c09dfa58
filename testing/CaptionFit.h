#pragma once

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <QWidget>

namespace kelvo::testing {

// Visible captions on `page` that do not fit their control in the current language, as
// "name: text" entries. A control fits when the style's own size hint fits its fixed place.
inline QStringList ClippedCaptions(QWidget* page) {
    QStringList clipped;
    auto check = [&](QWidget* w, const QString& text, QSize need) {
        if (!w->isVisibleTo(page) || text.isEmpty())
            return;
        if (need.width() > w->width() || need.height() > w->height()) {
            clipped << QStringLiteral("%1: %2 (%3x%4 in %5x%6)")
                           .arg(w->objectName(), text)
                           .arg(need.width())
                           .arg(need.height())
                           .arg(w->width())
                           .arg(w->height());
        }
    };
    for (auto* b : page->findChildren<QAbstractButton*>()) {
        // A caption's trailing line feed is drawn as nothing where its page draws it on one line.
        QSize need = b->sizeHint();
        if (b->text().endsWith(QLatin1Char('\n')))
            need.rheight() -= b->fontMetrics().lineSpacing();
        check(b, b->text(), need);
    }
    for (auto* l : page->findChildren<QLabel*>())
        check(l, l->text(), l->sizeHint());
    for (auto* e : page->findChildren<QLineEdit*>()) {
        // The frame and text margins take a few pixels on each side; a frameless field's fewer.
        QSize need(e->fontMetrics().horizontalAdvance(e->text()) + (e->hasFrame() ? 10 : 4),
                   e->fontMetrics().height());
        check(e, e->text(), need);
    }
    for (auto* g : page->findChildren<QGroupBox*>()) {
        QSize need(g->fontMetrics().horizontalAdvance(g->title()) + 16, g->fontMetrics().height());
        check(g, g->title(), need);
    }
    return clipped;
}

}  // namespace kelvo::testing
