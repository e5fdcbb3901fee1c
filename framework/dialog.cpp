#include "framework/dialog.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QEventLoop>
#include <QFont>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QTimerEvent>
#include <QTreeWidget>

#include <algorithm>

#include "framework/dlg_int.h"
#include "framework/resources.h"
#include "framework/tab_control.h"

namespace fw {

namespace {

// The text of a label as given, '&' markers included.
constexpr char kMnemonicText[] = "fwMnemonicText";

// Height of one-line edits and of a closed drop-down list (13 dialog units).
constexpr int kEditHeightDu = 13;

// "&Frequency" -> "Frequency", "&&" -> "&": for a label whose mnemonic has no target.
QString stripMnemonic(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'&' && i + 1 < text.size())
            ++i;
        else if (text[i] == u'&')
            continue;
        out.append(text[i]);
    }
    return out;
}

// A group box drawn the classic way: an etched frame whose top line runs through the middle of
// the title, so controls placed just under the title sit inside the frame.
class EtchedGroupBox final : public QGroupBox {
public:
    EtchedGroupBox(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        const QFontMetrics metrics(font());
        const QRect frame = rect().adjusted(0, metrics.height() / 2, -2, -2);
        const QString text = title();
        const int textWidth = text.isEmpty() ? 0 : metrics.horizontalAdvance(text) + 4;
        const QRect textRect(6, 0, textWidth, metrics.height());
        for (const auto& [offset, role] : {std::pair{0, QPalette::Mid}, {1, QPalette::Light}}) {
            painter.setPen(palette().color(role));
            const QRect r = frame.translated(offset, offset);
            painter.drawLine(r.topLeft(), QPoint(textRect.left() - 1, r.top()));
            painter.drawLine(QPoint(textRect.right() + 1, r.top()), r.topRight());
            painter.drawLine(r.topRight(), r.bottomRight());
            painter.drawLine(r.bottomRight(), r.bottomLeft());
            painter.drawLine(r.bottomLeft(), r.topLeft());
        }
        if (!text.isEmpty()) {
            style()->drawItemText(&painter, textRect, Qt::AlignCenter | Qt::TextShowMnemonic,
                                  palette(), isEnabled(), text, QPalette::WindowText);
        }
    }
};

bool takesFocus(ControlKind kind) {
    switch (kind) {
        case ControlKind::PushButton:
        case ControlKind::DefPushButton:
        case ControlKind::AutoCheckBox:
        case ControlKind::Edit:
        case ControlKind::DropDownList:
        case ControlKind::ListView:
        case ControlKind::TabControl:
        case ControlKind::Trackbar:
        case ControlKind::OwnerDrawButton:
            return true;
        default:
            return false;
    }
}

QPixmap templatePicture(const ControlTemplate& c, qreal dpr) {
    const Resources* r = resources();
    return r != nullptr ? r->picture(c.kind, QString::fromUtf8(c.text), dpr) : QPixmap();
}

QWidget* makeControl(const ControlTemplate& c, QWidget* parent, bool modal) {
    const QString text = QString::fromUtf8(c.text);
    switch (c.kind) {
        case ControlKind::PushButton:
        case ControlKind::DefPushButton: {
            auto* button = new QPushButton(text, parent);
            // In a page the main window's default button stays the default.
            if (c.kind == ControlKind::DefPushButton && modal)
                button->setDefault(true);
            return button;
        }
        case ControlKind::OwnerDrawButton: {
            auto* button = new QPushButton(text, parent);
            button->setFlat(true);
            return button;
        }
        case ControlKind::AutoCheckBox:
            return new QCheckBox(text, parent);
        case ControlKind::GroupBox:
            return new EtchedGroupBox(text, parent);
        case ControlKind::Static: {
            auto* label = new QLabel(parent);
            Qt::Alignment align = Qt::AlignTop;
            align |= (c.style & cs::Center)  ? Qt::AlignHCenter
                     : (c.style & cs::Right) ? Qt::AlignRight
                                             : Qt::AlignLeft;
            label->setAlignment(align);
            label->setTextFormat(Qt::PlainText);
            label->setText(text);
            if (c.style & cs::Border)
                label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            return label;
        }
        case ControlKind::Edit: {
            auto* edit = new QLineEdit(text, parent);
            edit->setFrame((c.style & cs::Border) != 0);
            if (c.style & cs::ReadOnly) {
                edit->setReadOnly(true);
                // Read-only edits look like the dialog behind them, as users expect.
                QPalette pal = edit->palette();
                pal.setColor(QPalette::Base, pal.color(QPalette::Window));
                edit->setPalette(pal);
            }
            return edit;
        }
        case ControlKind::DropDownList: {
            auto* list = new QComboBox(parent);
            list->setEditable(false);
            list->setInsertPolicy(QComboBox::NoInsert);
            return list;
        }
        case ControlKind::ListView: {
            auto* view = new QTreeWidget(parent);
            view->setRootIsDecorated(false);
            view->setUniformRowHeights(true);
            view->setAllColumnsShowFocus(true);
            view->setSelectionMode(QAbstractItemView::SingleSelection);
            view->setColumnCount(0);
            view->header()->setStretchLastSection(false);
            return view;
        }
        case ControlKind::TabControl:
            return new TabControl(parent);
        case ControlKind::Trackbar: {
            auto* slider = new QSlider(Qt::Horizontal, parent);
            slider->setRange(0, 100);
            if (c.style & cs::Ticks) {
                slider->setTickPosition(QSlider::TicksBelow);
                slider->setTickInterval(1);
            }
            return slider;
        }
        case ControlKind::Icon:
        case ControlKind::StaticBitmap: {
            auto* picture = new QLabel(parent);
            picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            picture->setPixmap(templatePicture(c, parent->devicePixelRatioF()));
            return picture;
        }
        case ControlKind::Placeholder:
            return new QWidget(parent);
    }
    return new QWidget(parent);
}

}  // namespace

QFont dialogFont(const DialogTemplate& t) {
    // The classic dialog face is not on Linux; Liberation Sans has its metrics family's widths.
    QFont font(QStringLiteral("Liberation Sans"));
    font.setStyleHint(QFont::SansSerif);
    const int points = t.fontPoints > 0 ? t.fontPoints : 8;
    font.setPixelSize((points * 96 + 36) / 72);
    return font;
}

QString controlObjectName(int id) {
    return QStringLiteral("ctl%1").arg(id);
}

// The window of a page: a plain child widget.
class Dialog::PageWindow final : public QWidget {
public:
    PageWindow(Dialog* owner, QWidget* parent) : QWidget(parent), owner_(owner) {}
    ~PageWindow() override {
        if (owner_ != nullptr)
            owner_->windowDestroyed();
    }
    void detach() { owner_ = nullptr; }

protected:
    void timerEvent(QTimerEvent* event) override {
        if (owner_ != nullptr)
            owner_->timerFired(event->timerId());
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        if (owner_ != nullptr && event->button() == Qt::LeftButton) {
            owner_->doubleClicked(event->position().toPoint());
        }
    }

private:
    Dialog* owner_;
};

// The window of a modal dialog: Escape and the close button take the cancel path.
class Dialog::ModalWindow final : public QDialog {
public:
    ModalWindow(Dialog* owner, QWidget* parent) : QDialog(parent), owner_(owner) {}
    ~ModalWindow() override {
        if (owner_ != nullptr)
            owner_->windowDestroyed();
    }
    void detach() { owner_ = nullptr; }
    void reject() override {
        if (owner_ != nullptr)
            owner_->onCancel();
    }

protected:
    void timerEvent(QTimerEvent* event) override {
        if (owner_ != nullptr)
            owner_->timerFired(event->timerId());
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        if (owner_ != nullptr && event->button() == Qt::LeftButton) {
            owner_->doubleClicked(event->position().toPoint());
        }
    }

private:
    Dialog* owner_;
};

namespace {
const Resources* gResources = nullptr;

const DialogTemplate& templateById(int id) {
    static constexpr DialogTemplate kNone{};
    const DialogTemplate* t = gResources != nullptr ? gResources->findDialogTemplate(id) : nullptr;
    return t != nullptr ? *t : kNone;
}
}  // namespace

void setResources(const Resources* resources) {
    gResources = resources;
}

const Resources* resources() {
    return gResources;
}

Dialog::Dialog(int templateId) : template_(&templateById(templateId)) {}

Dialog::Dialog(const DialogTemplate& dialogTemplate) : template_(&dialogTemplate) {}

Dialog::~Dialog() {
    // A window still open here loses its owner first: onDestroy of a derived class cannot run
    // any more. Owners call destroyWindow() before deleting a page.
    if (window_ == nullptr)
        return;
    if (modalWindow_ != nullptr)
        modalWindow_->detach();
    else
        static_cast<PageWindow*>(window_)->detach();
    QWidget* window = window_;
    window_ = nullptr;
    modalWindow_ = nullptr;
    delete window;
}

int Dialog::doModal(QWidget* owner) {
    if (template_->id == 0 || window_ != nullptr)
        return -1;
    modal_ = true;
    ended_ = false;
    endCode_ = IDCANCEL;

    auto* window = new ModalWindow(this, owner);
    window_ = window;
    modalWindow_ = window;
    const unsigned style = template_->style;
    Qt::WindowFlags flags = (style & ds::AppWindow) ? Qt::Window : Qt::Dialog;
    flags |= Qt::CustomizeWindowHint;
    if (style & ds::Caption)
        flags |= Qt::WindowTitleHint;
    if (style & ds::SysMenu)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (style & ds::MinimizeBox)
        flags |= Qt::WindowMinimizeButtonHint;
    window->setWindowFlags(flags);
    window->setWindowTitle(QString::fromUtf8(template_->caption));
    window->setSizeGripEnabled(false);
    buildControls();

    onInitDialog();
    int code = endCode_;
    if (!ended_) {
        if (owner != nullptr) {
            // Modal to its owner only: the other top-level windows (boxes opened for the
            // link thread among them) keep taking clicks and keys.
            window->setWindowModality(Qt::WindowModal);
            code = window->exec();
        } else {
            // An ownerless window blocks nothing; exec() would make it application-modal and
            // every box it does not own would then stay unanswerable.
            QEventLoop loop;
            QObject::connect(window, &QDialog::finished, &loop, &QEventLoop::exit);
            window->show();
            code = loop.exec(QEventLoop::DialogExec);
        }
        if (ended_)
            code = endCode_;
    }
    destroyWindow();
    modal_ = false;
    return code;
}

void Dialog::endDialog(int code) {
    ended_ = true;
    endCode_ = code;
    if (modalWindow_ != nullptr)
        modalWindow_->done(code);
}

bool Dialog::create(QWidget* parent) {
    if (template_->id == 0 || window_ != nullptr)
        return false;
    modal_ = false;
    auto* window = new PageWindow(this, parent);
    window_ = window;
    if (parent == nullptr || (template_->style & ds::Popup)) {
        window->setWindowFlag(Qt::Window, true);
        window->setWindowTitle(QString::fromUtf8(template_->caption));
    }
    buildControls();
    onInitDialog();
    if (window_ != nullptr)
        window_->setVisible((template_->style & ds::Visible) != 0);
    return window_ != nullptr;
}

void Dialog::destroyWindow() {
    if (window_ == nullptr)
        return;
    delete window_;  // the window's destructor calls windowDestroyed()
}

void Dialog::windowDestroyed() {
    // Qt stops the window's timers with it; forget them before the page looks.
    timers_.clear();
    onDestroy();
    controls_.clear();
    window_ = nullptr;
    modalWindow_ = nullptr;
}

void Dialog::buildControls() {
    window_->setObjectName(QStringLiteral("dlg%1").arg(template_->id));
    window_->setFont(dialogFont(*template_));
    const QRect client = dialogUnitsToPixels(0, 0, template_->cx, template_->cy);
    window_->setFixedSize(client.size());

    QLabel* labelWithMnemonic = nullptr;
    QString labelText;
    for (const ControlTemplate& c : template_->controls) {
        QWidget* w = makeControl(c, window_, modal_);
        QRect rect = dialogUnitsToPixels(c);
        if (c.kind == ControlKind::DropDownList) {
            rect.setHeight(std::min(rect.height(), dialogUnitsToPixelsY(kEditHeightDu)));
        }
        if ((c.kind == ControlKind::Icon || c.kind == ControlKind::StaticBitmap) &&
            (c.cx == 0 || c.cy == 0)) {
            const auto* label = static_cast<QLabel*>(w);
            const QPixmap pixmap = label->pixmap();
            rect.setSize(pixmap.isNull() ? QSize(32, 32) : pixmap.deviceIndependentSize().toSize());
        }
        if (c.kind == ControlKind::AutoCheckBox) {
            // This desktop's font runs a little wider than the one the layout was made for: a
            // check box's text runs on to the right rather than being cut off.
            w->ensurePolished();
            const int room = std::max(window_->width() - rect.x(), rect.width());
            rect.setWidth(std::clamp(w->sizeHint().width(), rect.width(), room));
        }
        w->setGeometry(rect);
        if (c.kind == ControlKind::GroupBox)
            w->lower();
        if (takesFocus(c.kind) && !(c.style & cs::TabStop))
            w->setFocusPolicy(Qt::ClickFocus);
        if (c.style & cs::Disabled)
            w->setEnabled(false);
        if (c.style & cs::Hidden)
            w->setVisible(false);

        // A mnemonic on a label moves the focus to the control that follows it; a label with
        // nothing to move to shows its text without the marker.
        if (labelWithMnemonic != nullptr && takesFocus(c.kind)) {
            labelWithMnemonic->setBuddy(w);
            labelWithMnemonic->setText(labelWithMnemonic->property(kMnemonicText).toString());
            labelWithMnemonic = nullptr;
        }
        // A field without a caption of its own is read by the label before it, as a sighted
        // user reads the page.
        if (takesFocus(c.kind)) {
            if (!labelText.isEmpty() && qobject_cast<QAbstractButton*>(w) == nullptr)
                w->setAccessibleName(labelText);
            labelText.clear();
        }
        if (c.kind == ControlKind::Static) {
            labelText = stripMnemonic(QString::fromUtf8(c.text)).trimmed();
            while (labelText.endsWith(u':'))
                labelText.chop(1);
        }
        if (c.kind == ControlKind::Static && !(c.style & cs::NoPrefix)) {
            auto* label = static_cast<QLabel*>(w);
            label->setProperty(kMnemonicText, label->text());
            label->setText(stripMnemonic(label->text()));
            if (label->property(kMnemonicText).toString().contains(u'&'))
                labelWithMnemonic = label;
        }
        if (c.id != -1)
            registerControl(c.id, w);
    }
}

void Dialog::registerControl(int id, QWidget* control) {
    controls_[id] = control;
    control->setObjectName(controlObjectName(id));
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        QObject::connect(button, &QAbstractButton::clicked, window_,
                         [this, id] { notify(id, Notify::Clicked); });
    } else if (auto* list = qobject_cast<QComboBox*>(control)) {
        QObject::connect(list, &QComboBox::activated, window_,
                         [this, id] { notify(id, Notify::SelChange); });
    } else if (auto* tabs = qobject_cast<TabControl*>(control)) {
        QObject::connect(tabs, &TabControl::selChanging, window_,
                         [this, id] { notify(id, Notify::TabSelChanging); });
        QObject::connect(tabs, &TabControl::selChange, window_,
                         [this, id] { notify(id, Notify::TabSelChange); });
    }
}

void Dialog::notify(int id, Notify code) {
    for (const MessageEntry& entry : messageMap()) {
        if (entry.id == id && entry.code == code && entry.handler != nullptr) {
            (this->*entry.handler)();
            return;
        }
    }
    if (code == Notify::Clicked && id == IDOK)
        onOK();
    else if (code == Notify::Clicked && id == IDCANCEL)
        onCancel();
}

void Dialog::timerFired(int qtTimerId) {
    for (const auto& [id, qtId] : timers_) {
        if (qtId == qtTimerId) {
            onTimer(id);
            return;
        }
    }
}

void Dialog::doubleClicked(QPoint pos) {
    onLButtonDblClk(pos);
}

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

bool Dialog::setTimer(int id, int milliseconds) {
    if (window_ == nullptr)
        return false;
    killTimer(id);
    const int qtId = window_->startTimer(std::max(milliseconds, 0));
    if (qtId == 0)
        return false;
    timers_[id] = qtId;
    return true;
}

void Dialog::killTimer(int id) {
    const auto it = timers_.find(id);
    if (it == timers_.end())
        return;
    if (window_ != nullptr)
        window_->killTimer(it->second);
    timers_.erase(it);
}

bool Dialog::isTimerRunning(int id) const {
    return timers_.count(id) != 0;
}

}  // namespace fw
