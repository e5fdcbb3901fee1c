#pragma once
// The main window: a fixed-size dialog (template 102) with the tab control that hosts the four
// pages, and the Help, About and Exit buttons. Its initialisation creates the pages and starts
// the modem link; closing it stops the link before any page is destroyed.

#include <QIcon>
#include <QPoint>

#include <memory>
#include <string>

#include "framework/dialog.h"
#include "framework/message_map.h"
#include "link/link_peer.h"

class QMenu;

namespace brix::history {
class LinkFeed;
}

namespace fw {
class TabControl;
}

namespace brix {

class BrixAdvanced;
class DesktopNotice;
class BrixDebug;
class BrixScanner;
class BrixTuner;
class HistoryWindow;
class UiLinkPeer;

class MainDialog : public fw::Dialog {
public:
    static constexpr int kTemplateId = 102;
    static constexpr int kTabsId = 1001;
    static constexpr int kHelpId = 1040;
    static constexpr int kAboutId = 16;  // also the About entry of the window menu
    static constexpr int kExitId = 2;
    static constexpr int kHistoryId = 1041;  // also Ctrl+H

    // Tab indexes, in the order the pages are created.
    static constexpr int kTunerTab = 0;
    static constexpr int kConsoleTab = 1;
    static constexpr int kAdvancedTab = 2;
    static constexpr int kScannerTab = 3;
    static constexpr int kPageCount = 4;
    // Where each page sits in the tab control, in pixels.
    static constexpr QPoint kPagePosition{10, 30};

    // The Tuner's refresh timer, running only while its tab is selected.
    static constexpr int kTunerTimerId = 1;
    static constexpr int kTunerTimerMs = 500;

    // Window menu commands (the classic system-command values).
    static constexpr int kCommandMove = 0xF010;
    static constexpr int kCommandMinimize = 0xF020;
    static constexpr int kCommandClose = 0xF060;

    MainDialog();
    ~MainDialog() override;

    // The message of the box shown when the link cannot start.
    static const char* startFailureText();

    // What the Exit button does: the link stops first, then the window closes (its pages save
    // the channel file and close the logs on their way out).
    void quit() { onCancel(); }
    // The display is gone and Qt ends the process from inside the event loop: what closing the
    // window would keep (the history's queued rows, the channel file, the link handed on) is
    // kept without the window.
    void keepWhatClosingKeeps();

    fw::TabControl* tabs = nullptr;
    BrixDebug* consolePage = nullptr;
    BrixTuner* tunerPage = nullptr;
    BrixAdvanced* advancedPage = nullptr;
    BrixScanner* scannerPage = nullptr;
    QIcon icon;

    // The History window, made at its first opening (nullptr before).
    HistoryWindow* historyWindow() const { return history_; }
    // Opens the History window, or brings it to the front.
    void showHistory();
    // The store the window records into: BRIX_HISTORY, "off" for none (empty), else the
    // user's. What the History window shows instead while attached is the owner's.
    static std::string ownStorePath();

    // The page of a tab (nullptr out of range).
    fw::Dialog* page(int tab) const;

    // The window menu: Move, Minimize, Close, a separator and the About entry (left out when
    // string 101 is empty). Built afresh each time; the caller owns it.
    QMenu* createSystemMenu();
    // A command of the window menu: 16 (low four bits ignored) runs About, others move,
    // minimise or close the window.
    void onSysCommand(int command);
    // Opens the window menu at `globalPos` and runs the chosen command.
    void popupSystemMenu(const QPoint& globalPos);

protected:
    bool onInitDialog() override;
    void onDestroy() override;
    void onCancel() override;

    FW_DECLARE_MESSAGE_MAP()

private:
    void onAbout();
    void onHelp();
    void onTabSelChanging();
    void onTabSelChange();
    void createPages();
    void stopLink();
    void startHistory();
    static void historyMessage(MessageKind kind, const std::string& text);

    std::unique_ptr<UiLinkPeer> peer_;
    std::unique_ptr<history::LinkFeed> feed_;
    DesktopNotice* notice_ = nullptr;  // the window's child
    HistoryWindow* history_ = nullptr;
    bool linkRunning_ = false;
};

}  // namespace brix
