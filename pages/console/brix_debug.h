#pragma once
// The Console page: a running list of the messages of the modem and of the tool, each with the
// kind that sent it, and the message log "radio.log" for those that ask for it. The check box
// switches the link's statistics lines on and off.
//
// Everything here runs on the user-interface thread; the link's lines arrive through the
// application's link peer.

#include <QIcon>
#include <QPointer>
#include <QTimer>
#include <QTreeWidget>

#include <array>
#include <ctime>
#include <functional>

#include "framework/dialog.h"
#include "framework/message_map.h"
#include "link/link_peer.h"

namespace brix {

inline constexpr int kMessageKindCount = 4;

// "Embedded", "Driver", "Application", "Error"; a value outside the table reads as "Error".
const char* messageKindName(MessageKind kind);
// The kind a row is shown and logged as: itself, or Error for a value outside the table.
MessageKind shownKind(MessageKind kind);

// The Console's list view (control 1029). While `paintSuspended` is set it ignores its paint
// requests; while `trimming` is set the oldest rows are being dropped and new messages are
// refused.
class ConsoleList : public QTreeWidget {
public:
    explicit ConsoleList(QWidget* parent = nullptr);

    int paintSuspended = 0;
    int trimming = 0;

    // Paint requests that reached the list while painting was suspended.
    int suppressedPaints() const { return suppressedPaints_; }

    // Rows arriving in a burst are drawn together: the first at once, the rest at most every
    // kDrawEveryMs, with the scroll to the newest row done once for them.
    static constexpr int kDrawEveryMs = 40;
    // Before a row goes in.
    void beginRow();
    // Brings the newest row into view now, or with the next drawing of a held burst.
    void follow(QTreeWidgetItem* row);
    // A scroll to the newest row is waiting for the next drawing.
    bool followPending() const { return followPending_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void drawHeldRows();

    int suppressedPaints_ = 0;
    QTimer* drawTimer_ = nullptr;
    bool followPending_ = false;
};

class BrixDebug : public fw::Dialog {
public:
    static constexpr const char* kClassName = "BrixDebug";
    static constexpr int kTemplateId = 130;
    static constexpr int kStatisticsCheckId = 1037;
    static constexpr int kListId = 1029;

    static constexpr int kFromColumnWidth = 80;
    static constexpr int kMessageColumnWidth = 390;
    // Past kMaxRows the oldest kTrimRows rows go in one block.
    static constexpr int kMaxRows = 200;
    static constexpr int kTrimRows = 50;
    // The message log is flushed every this many lines.
    static constexpr int kFlushEvery = 10;

    BrixDebug();
    ~BrixDebug() override;

    // One message: a row in the list and, when `log` is set and the message log is open, a
    // line in it. Ignored while the list trims itself. A null text counts as empty.
    void addConsoleMessage(MessageKind kind, const char* text, bool log);

    // Rows this page has put in the list (the index of the next row).
    int rowCount() const { return rowCount_; }
    // The list while the window exists.
    ConsoleList* list() const { return list_.data(); }
    // The picture of each kind, cut from bitmap 273.
    const QIcon& kindIcon(MessageKind kind) const;

protected:
    bool onInitDialog() override;
    void onDestroy() override;

    FW_DECLARE_MESSAGE_MAP()

private:
    void onStatisticsClicked();
    void trimOldestRows();

    int rowCount_ = 0;
    std::array<QIcon, kMessageKindCount> kindIcons_;
    QPointer<ConsoleList> list_;
};

// The log line of one message, CR LF included: "%2d:%2d:%2d %2d/%2d/%2d \t%s %s" with hour,
// minute, second, day, month and four-digit year of `when`.
std::string consoleLogLine(const std::tm& when, MessageKind kind, const char* text);

// Lines written to the message log since program start (flush every tenth).
int consoleLogLineCount();

// The local time the log lines carry (nullptr: the real clock), and a fresh count.
void setConsoleClock(std::function<std::tm()> clock);
void resetConsoleLogLineCount();

}  // namespace brix
