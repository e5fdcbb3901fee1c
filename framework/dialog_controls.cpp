// A dialog's controls made from its template: the widget of each kind of control, its place in
// pixels, its focus and its label, and the notifications its widget sends.
#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QTreeWidget>

#include <algorithm>

#include "framework/dialog.h"
#include "framework/dialog_internal.h"
#include "framework/resources.h"
#include "framework/tab_control.h"

namespace fw {

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

namespace {

// Height of one-line edits and of a closed drop-down list (13 dialog units).
constexpr int kEditHeightDu = 13;

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

}  // namespace fw
