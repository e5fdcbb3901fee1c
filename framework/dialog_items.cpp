// A dialog's controls by template id: their texts, numbers, states and selections, and a
// control put in place of one of the template's.
#include <QAbstractButton>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>

#include "framework/dialog.h"
#include "framework/dialog_internal.h"
#include "framework/dlg_int.h"
#include "framework/tab_control.h"

namespace fw {

QWidget* Dialog::item(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second.data();
}

TabControl* Dialog::tabControl(int id) const {
    return qobject_cast<TabControl*>(item(id));
}

void Dialog::setItemText(int id, const QString& text) {
    QWidget* w = item(id);
    if (w == nullptr)
        return;
    if (auto* box = qobject_cast<QGroupBox*>(w)) {
        box->setTitle(text);
        return;
    }
    if (auto* label = qobject_cast<QLabel*>(w);
        label != nullptr && label->property(kMnemonicText).isValid()) {
        label->setProperty(kMnemonicText, text);
        label->setText(label->buddy() != nullptr ? text : stripMnemonic(text));
        return;
    }
    if (w->metaObject()->indexOfProperty("text") >= 0)
        w->setProperty("text", text);
}

QString Dialog::itemText(int id) const {
    const QWidget* w = item(id);
    if (w == nullptr)
        return {};
    if (const auto* box = qobject_cast<const QGroupBox*>(w))
        return box->title();
    if (const auto* list = qobject_cast<const QComboBox*>(w))
        return list->currentText();
    if (w->property(kMnemonicText).isValid())
        return w->property(kMnemonicText).toString();
    if (w->metaObject()->indexOfProperty("text") >= 0)
        return w->property("text").toString();
    return {};
}

QString Dialog::itemTextLimited(int id, int maxChars) const {
    if (maxChars <= 0)
        return {};
    QString text = itemText(id);
    if (text.size() <= maxChars)
        return text;
    text.truncate(maxChars);
    // Never leave half of a surrogate pair at the end.
    if (text.back().isHighSurrogate())
        text.chop(1);
    return text;
}

void Dialog::enableItem(int id, bool enable) {
    if (QWidget* w = item(id))
        w->setEnabled(enable);
}

bool Dialog::isItemEnabled(int id) const {
    const QWidget* w = item(id);
    // The control's own state, whatever its page's: a hidden page is disabled as a whole.
    return w != nullptr && !w->testAttribute(Qt::WA_ForceDisabled);
}

void Dialog::showItem(int id, bool show) {
    if (QWidget* w = item(id))
        w->setVisible(show);
}

void Dialog::checkItem(int id, bool checked) {
    if (auto* button = qobject_cast<QAbstractButton*>(item(id)))
        button->setChecked(checked);
}

bool Dialog::isItemChecked(int id) const {
    const auto* button = qobject_cast<const QAbstractButton*>(item(id));
    return button != nullptr && button->isChecked();
}

std::uint32_t Dialog::itemInt(int id, bool* translated, bool isSigned) const {
    if (item(id) == nullptr) {
        if (translated != nullptr)
            *translated = false;
        return 0;
    }
    return parseDlgInt(itemText(id), translated, isSigned);
}

void Dialog::setItemInt(int id, std::uint32_t value, bool isSigned) {
    setItemText(
        id, isSigned ? QString::number(static_cast<std::int32_t>(value)) : QString::number(value));
}

int Dialog::addString(int id, const QString& text) {
    auto* list = qobject_cast<QComboBox*>(item(id));
    if (list == nullptr)
        return -1;
    const int before = list->currentIndex();
    list->addItem(text);
    // A new list has no selection until one is set; Qt would select the first item.
    if (before == -1)
        list->setCurrentIndex(-1);
    return list->count() - 1;
}

void Dialog::setCurSel(int id, int index) {
    QWidget* w = item(id);
    if (auto* list = qobject_cast<QComboBox*>(w)) {
        list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
    } else if (auto* tabs = qobject_cast<TabControl*>(w)) {
        tabs->setCurSel(index);
    }
}

int Dialog::curSel(int id) const {
    const QWidget* w = item(id);
    if (const auto* list = qobject_cast<const QComboBox*>(w))
        return list->currentIndex();
    if (const auto* tabs = qobject_cast<const TabControl*>(w))
        return tabs->curSel();
    return -1;
}

bool Dialog::attachControl(int id, QWidget* control) {
    QWidget* old = item(id);
    if (old == nullptr || control == nullptr || control == old)
        return false;
    const bool visible = !old->isHidden();
    control->setParent(window_);
    control->setGeometry(old->geometry());
    control->setEnabled(!old->testAttribute(Qt::WA_ForceDisabled));
    control->stackUnder(old);
    if (old->focusPolicy() != Qt::NoFocus && control->focusPolicy() != Qt::NoFocus) {
        QWidget::setTabOrder(old, control);
    }
    for (QLabel* label : window_->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        if (label->buddy() == old)
            label->setBuddy(control);
    }
    registerControl(id, control);
    delete old;
    control->setVisible(visible);
    return true;
}

}  // namespace fw
