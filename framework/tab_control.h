#pragma once
// A tab control that only switches tabs and tells its dialog: the pages are ordinary children
// placed by the owner (at (10, 30) in the control), shown and hidden by the owner's handlers
// of the selection notifications.

#include <QWidget>

#include <vector>

class QTabBar;

namespace fw {

class TabControl : public QWidget {
    Q_OBJECT

public:
    explicit TabControl(QWidget* parent = nullptr);

    // Inserts a tab before `index` (appends when out of range); returns its index.
    int insertItem(int index, const QString& text, void* param = nullptr);
    int itemCount() const;
    QString itemText(int index) const;
    // The parameter given to insertItem, nullptr for an index out of range.
    void* itemParam(int index) const;

    // The selected tab, -1 when there is none. During selChanging it is still the old tab.
    int curSel() const { return current_; }
    // Selects a tab without sending notifications; returns the previous selection.
    int setCurSel(int index);

    QTabBar* tabBar() const { return bar_; }

signals:
    void selChanging();
    void selChange();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void userSelected(int index);

    QTabBar* bar_;
    std::vector<void*> params_;
    int current_ = -1;
    bool quiet_ = false;
};

}  // namespace fw
