#pragma once

#include <QComboBox>
#include <QString>

#include <functional>
#include <utility>
#include <vector>

// A port box: its own entries first, then the ports found on the machine, looked up afresh each
// time the list opens. A found entry's text is what gets opened; its description shows beside it
// in the list only, so the box's text stays a port name.
class TPortBox : public QComboBox {
    Q_OBJECT

  public:
    struct Found {
        QString path;
        QString description;
    };
    static constexpr int kDescriptionRole = Qt::UserRole + 1;

    explicit TPortBox(QWidget* parent = nullptr);

    // Looks the ports up; unset, the box has its own entries only.
    std::function<std::vector<Found>()> Finder;

    // Replaces the found entries with a fresh look-up, keeping what the box shows.
    void RefreshFound();
    // How many entries are the box's own (set once they are all added).
    void KeepOwnEntries() { ownCount_ = count(); }
    int OwnCount() const { return ownCount_; }

    void showPopup() override;

  private:
    int ownCount_ = 0;
};
