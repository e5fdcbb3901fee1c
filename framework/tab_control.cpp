#include "framework/tab_control.h"

#include <QKeySequence>
#include <QShortcut>
#include <QStyleOptionTabWidgetFrame>
#include <QStylePainter>
#include <QTabBar>

namespace fw {

TabControl::TabControl(QWidget* parent) : QWidget(parent), bar_(new QTabBar(this)) {
    bar_->setDrawBase(false);
    bar_->setExpanding(false);
    bar_->setUsesScrollButtons(true);
    bar_->setFocusPolicy(Qt::TabFocus);
    setFocusProxy(bar_);
    connect(bar_, &QTabBar::currentChanged, this, &TabControl::userSelected);
    // The desktop's keys for the next and the previous tab, from anywhere in the window.
    const auto step = [this](const QKeySequence& keys, int by) {
        auto* shortcut = new QShortcut(keys, this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this, by] {
            const int n = itemCount();
            if (n > 0 && bar_->isEnabled())
                bar_->setCurrentIndex(((current_ < 0 ? 0 : current_) + by + n) % n);
        });
    };
    step(QKeySequence(Qt::CTRL | Qt::Key_Tab), 1);
    step(QKeySequence(Qt::CTRL | Qt::Key_PageDown), 1);
    step(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), -1);
    step(QKeySequence(Qt::CTRL | Qt::Key_PageUp), -1);
}

int TabControl::insertItem(int index, const QString& text, void* param) {
    if (index < 0 || index > itemCount())
        index = itemCount();
    params_.insert(params_.begin() + index, param);
    quiet_ = true;
    bar_->insertTab(index, text);
    // The first tab is not selected until someone selects it.
    if (current_ < 0)
        bar_->setCurrentIndex(-1);
    else if (index <= current_)
        ++current_;
    if (current_ >= 0)
        bar_->setCurrentIndex(current_);
    quiet_ = false;
    bar_->resize(width(), bar_->sizeHint().height());
    update();
    return index;
}

int TabControl::itemCount() const {
    return static_cast<int>(params_.size());
}

QString TabControl::itemText(int index) const {
    return bar_->tabText(index);
}

void* TabControl::itemParam(int index) const {
    if (index < 0 || index >= itemCount())
        return nullptr;
    return params_[static_cast<std::size_t>(index)];
}

int TabControl::setCurSel(int index) {
    const int previous = current_;
    if (index < 0 || index >= itemCount())
        index = -1;
    quiet_ = true;
    bar_->setCurrentIndex(index);
    quiet_ = false;
    current_ = index;
    update();
    return previous;
}

void TabControl::userSelected(int index) {
    if (quiet_ || index == current_)
        return;
    // Handlers of selChanging still see the tab being left.
    emit selChanging();
    current_ = index;
    emit selChange();
    update();
}

void TabControl::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    bar_->setGeometry(0, 0, width(), bar_->sizeHint().height());
}

void TabControl::paintEvent(QPaintEvent* /*event*/) {
    QStylePainter painter(this);
    QStyleOptionTabWidgetFrame frame;
    frame.initFrom(this);
    frame.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    frame.shape = bar_->shape();
    frame.tabBarSize = bar_->sizeHint();
    const int overlap = style()->pixelMetric(QStyle::PM_TabBarBaseOverlap, nullptr, this);
    frame.rect = QRect(0, frame.tabBarSize.height() - overlap, width(),
                       height() - frame.tabBarSize.height() + overlap);
    frame.tabBarRect = QRect(0, 0, frame.tabBarSize.width(), frame.tabBarSize.height());
    frame.selectedTabRect = current_ >= 0 ? bar_->tabRect(current_) : QRect();
    painter.drawPrimitive(QStyle::PE_FrameTabWidget, frame);
}

}  // namespace fw
