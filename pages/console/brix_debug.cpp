#include "brix_debug.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QPixmap>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTreeWidgetItem>
#include <QWheelEvent>

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "app/tool_app.h"
#include "link/link_commands.h"
#include "res/pictures/pictures.h"

namespace brix {

namespace {

constexpr const char* kKindNames[kMessageKindCount] = {"Embedded", "Driver", "Application",
                                                       "Error"};
constexpr int kKindPicture = 16;  // each picture of the strip is 16 x 16

// Written and read on the user-interface thread only (every line arrives there).
int logLineCount = 0;

std::mutex clockMutex;
std::function<std::tm()> clockOverride;

std::tm localNow() {
    {
        std::lock_guard lock(clockMutex);
        if (clockOverride)
            return clockOverride();
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

int kindIndex(MessageKind kind) {
    return static_cast<int>(shownKind(kind));
}

// The "From" column as a classic list draws it: the picture two pixels in, the name right after
// it, cut at the column's edge but never shortened with an ellipsis, so that the longest kind
// name fits the column's 80 pixels as it did there.
class KindColumnDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QWidget* view = opt.widget;
        QStyle* style = view != nullptr ? view->style() : QApplication::style();
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, view);

        painter->save();
        painter->setClipRect(opt.rect);
        const int size = opt.decorationSize.height();
        const QRect picture(opt.rect.left() + 2, opt.rect.top() + (opt.rect.height() - size) / 2,
                            size, size);
        opt.icon.paint(painter, picture);
        const QRect text = opt.rect.adjusted(picture.right() + 3 - opt.rect.left(), 0, 0, 0);
        const bool selected = (opt.state & QStyle::State_Selected) != 0;
        painter->setPen(opt.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
        painter->setFont(opt.font);
        painter->drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, opt.text);
        painter->restore();
    }
};

}  // namespace

MessageKind shownKind(MessageKind kind) {
    const int value = static_cast<int>(kind);
    return value >= 0 && value < kMessageKindCount ? kind : MessageKind::Error;
}

const char* messageKindName(MessageKind kind) {
    return kKindNames[kindIndex(kind)];
}

std::string consoleLogLine(const std::tm& when, MessageKind kind, const char* text) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%2d:%2d:%2d %2d/%2d/%2d \t", when.tm_hour, when.tm_min,
                  when.tm_sec, when.tm_mday, when.tm_mon + 1, when.tm_year + 1900);
    std::string line = stamp;
    line += messageKindName(kind);
    line += ' ';
    // The log is read on the desktops its users know: every line end is CR LF, also the line
    // feeds inside a text (a modem's debug text), as a text-mode stream writes them.
    for (const char* c = text != nullptr ? text : ""; *c != '\0'; ++c) {
        if (*c == '\n')
            line += '\r';
        line += *c;
    }
    line += "\r\n";
    return line;
}

int consoleLogLineCount() {
    return logLineCount;
}

void setConsoleClock(std::function<std::tm()> clock) {
    std::lock_guard lock(clockMutex);
    clockOverride = std::move(clock);
}

void resetConsoleLogLineCount() {
    logLineCount = 0;
}

ConsoleList::ConsoleList(QWidget* parent) : QTreeWidget(parent) {
    setObjectName(QStringLiteral("consoleList"));
    setAccessibleName(QStringLiteral("Messages"));
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setIconSize(QSize(kKindPicture, kKindPicture));
    header()->setStretchLastSection(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setItemDelegateForColumn(0, new KindColumnDelegate(this));
    drawTimer_ = new QTimer(this);
    drawTimer_->setSingleShot(true);
    drawTimer_->setInterval(kDrawEveryMs);
    connect(drawTimer_, &QTimer::timeout, this, [this] { drawHeldRows(); });
    // The user scrolling during a held burst keeps the view where the user put it.
    connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, this,
            [this](int) { followPending_ = false; });
}

void ConsoleList::beginRow() {
    if (drawTimer_->isActive()) {
        if (updatesEnabled())
            setUpdatesEnabled(false);
        return;
    }
    drawTimer_->start();
}

void ConsoleList::follow(QTreeWidgetItem* row) {
    if (!updatesEnabled()) {
        followPending_ = true;
        return;
    }
    scrollToItem(row, QAbstractItemView::EnsureVisible);
}

void ConsoleList::drawHeldRows() {
    if (followPending_ && topLevelItemCount() > 0)
        scrollToItem(topLevelItem(topLevelItemCount() - 1), QAbstractItemView::EnsureVisible);
    followPending_ = false;
    if (!updatesEnabled())
        setUpdatesEnabled(true);
}

void ConsoleList::keyPressEvent(QKeyEvent* event) {
    QTreeWidget::keyPressEvent(event);
    // Moving through the rows is scrolling too: a user reading older rows stays there.
    switch (event->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_Home:
        case Qt::Key_End:
            followPending_ = false;
            break;
        default:
            break;
    }
}

void ConsoleList::wheelEvent(QWheelEvent* event) {
    QTreeWidget::wheelEvent(event);
    followPending_ = false;
}

void ConsoleList::paintEvent(QPaintEvent* event) {
    if (paintSuspended != 0) {
        ++suppressedPaints_;
        return;
    }
    QTreeWidget::paintEvent(event);
}

FW_BEGIN_MESSAGE_MAP(BrixDebug)
FW_ON_CLICKED(BrixDebug::kStatisticsCheckId, onStatisticsClicked)
FW_END_MESSAGE_MAP()

BrixDebug::BrixDebug() : fw::Dialog(kTemplateId) {}

BrixDebug::~BrixDebug() = default;

const QIcon& BrixDebug::kindIcon(MessageKind kind) const {
    return kindIcons_[static_cast<std::size_t>(kindIndex(kind))];
}

bool BrixDebug::onInitDialog() {
    auto* list = new ConsoleList;
    if (!attachControl(kListId, list)) {
        delete list;
        return true;
    }
    list_ = list;

    // The four kind pictures sit side by side in bitmap 273, in kind order.
    const qreal dpr = widget()->devicePixelRatioF();
    const QPixmap strip = res::bitmap(res::kMessageKinds, dpr);
    for (int k = 0; k < kMessageKindCount; ++k) {
        const QRect piece(qRound(k * kKindPicture * dpr), 0, qRound(kKindPicture * dpr),
                          qRound(kKindPicture * dpr));
        QPixmap picture = strip.copy(piece);
        picture.setDevicePixelRatio(dpr);
        kindIcons_[static_cast<std::size_t>(k)] = QIcon(picture);
    }

    list->setColumnCount(2);
    list->setHeaderLabels({QStringLiteral("From"), QStringLiteral("Message")});
    list->setColumnWidth(0, kFromColumnWidth);
    list->setColumnWidth(1, kMessageColumnWidth);
    rowCount_ = 0;
    return true;
}

void BrixDebug::onDestroy() {
    // The link is stopped before the pages go, so no line can follow the close.
    if (theApp.logEnabled) {
        if (theApp.messageLog != nullptr)
            std::fclose(theApp.messageLog);
        theApp.messageLog = nullptr;
        if (theApp.statisticsLog != nullptr)
            std::fclose(theApp.statisticsLog);
        theApp.statisticsLog = nullptr;
        theApp.logEnabled = false;
    }
    list_ = nullptr;  // the window takes its children with it
}

void BrixDebug::onStatisticsClicked() {
    setStatisticsMessages(isItemChecked(kStatisticsCheckId) ? 1 : 0);
}

void BrixDebug::addConsoleMessage(MessageKind kind, const char* text, bool log) {
    ConsoleList* list = list_.data();
    if (list == nullptr || list->trimming != 0)
        return;
    if (text == nullptr)
        text = "";
    kind = shownKind(kind);

    // Follow the newest row only when the user has not scrolled it out of view.
    list->beginRow();
    bool lastRowVisible = true;
    // A held burst that follows the newest row goes on following it.
    if (!list->followPending() && rowCount_ > 0) {
        if (const QTreeWidgetItem* last = list->topLevelItem(rowCount_ - 1)) {
            lastRowVisible = list->visualItemRect(last).intersects(list->viewport()->rect());
        }
    }

    auto* row = new QTreeWidgetItem;
    row->setText(0, QString::fromLatin1(messageKindName(kind)));
    row->setIcon(0, kindIcon(kind));
    // Lines from the modem are bytes; each shows as one character.
    row->setText(1, QString::fromLatin1(text));
    list->insertTopLevelItem(std::min(rowCount_, list->topLevelItemCount()), row);

    if (log && theApp.logEnabled && theApp.messageLog != nullptr) {
        const std::string line = consoleLogLine(localNow(), kind, text);
        std::fwrite(line.data(), 1, line.size(), theApp.messageLog);
        ++logLineCount;
        if (logLineCount % kFlushEvery == 0)
            std::fflush(theApp.messageLog);
    }

    ++rowCount_;
    if (lastRowVisible)
        list->follow(row);

    if (rowCount_ > kMaxRows)
        trimOldestRows();
}

void BrixDebug::trimOldestRows() {
    ConsoleList* list = list_.data();
    if (list == nullptr)
        return;
    // One block of deletions with painting held back, not one repaint per row.
    list->paintSuspended = 1;
    list->trimming = 1;
    const int drop = std::min(kTrimRows, list->topLevelItemCount());
    list->model()->removeRows(0, drop);
    list->paintSuspended = 0;
    list->trimming = 0;
    rowCount_ -= kTrimRows;
}

}  // namespace brix
