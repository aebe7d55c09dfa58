#include "widgets/PortBox.h"

#include <QAbstractItemView>
#include <QStyledItemDelegate>

#include <algorithm>

namespace {

// Shows "path   description" in the list; the entry's text is the path alone.
class DescribedEntries : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

  protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const QString description = index.data(TPortBox::kDescriptionRole).toString();
        if (!description.isEmpty())
            option->text += QStringLiteral("   ") + description;
    }
};

}  // namespace

TPortBox::TPortBox(QWidget* parent) : QComboBox(parent) {
    setItemDelegate(new DescribedEntries(this));
}

void TPortBox::RefreshFound() {
    if (!Finder)
        return;
    const QString shown = currentText();
    const int shownIndex = currentIndex();
    const bool editable = isEditable();
    const std::vector<Found> found = Finder();
    blockSignals(true);
    while (count() > ownCount_)
        removeItem(count() - 1);
    for (const Found& port : found) {
        addItem(port.path);
        setItemData(count() - 1, port.description, kDescriptionRole);
        setItemData(count() - 1, port.description, Qt::ToolTipRole);
    }
    if (editable) {
        setEditText(shown);
    } else if (shownIndex >= ownCount_) {
        // A found port that has gone leaves the box on its first entry.
        setCurrentIndex(std::max(0, findText(shown, Qt::MatchExactly)));
    }
    blockSignals(false);
    const QFontMetrics metrics(view()->font());
    int widest = width();
    for (int i = 0; i < count(); ++i) {
        const QString text =
            itemText(i) + QStringLiteral("   ") + itemData(i, kDescriptionRole).toString();
        widest = std::max(widest, metrics.horizontalAdvance(text) + 40);
    }
    view()->setMinimumWidth(widest);
}

void TPortBox::showPopup() {
    RefreshFound();
    QComboBox::showPopup();
}
