#include "app/main_dialog.h"

#include <QAbstractButton>
#include <QAction>
#include <QKeySequence>
#include <QList>
#include <QMenu>
#include <QShortcut>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/about_dialog.h"
#include "app/desktop_notice.h"
#include "app/tool_app.h"
#include "app/ui_link_peer.h"
#include "framework/help.h"
#include "framework/message_box.h"
#include "framework/tab_control.h"
#include "framework/ui_bridge.h"
#include "history/link_feed.h"
#include "link/link_share.h"
#include "link/link_state.h"
#include "pages/advanced/brix_advanced.h"
#include "pages/console/brix_debug.h"
#include "pages/history/history_window.h"
#include "pages/scanner/brix_scanner.h"
#include "pages/tuner/brix_tuner.h"
#include "res/pictures/pictures.h"
#include "res/resources.h"

namespace brix {

namespace {

constexpr int kAboutCaptionString = 101;
constexpr int kProductNameString = 103;
constexpr int kAppIcon = 128;

constexpr const char* kPageCaptions[MainDialog::kPageCount] = {"Tuner", "Console", "Advanced",
                                                               "Scanner"};

// The shown page's mnemonics go first: a main-window button with the same letter (Alt+E is
// both "Exit" and the Console's "Enable Statistics Messages") gives its key up while the page
// is shown, instead of Qt making both ambiguous so that neither acts.
void yieldMnemonics(QWidget* page) {
    QWidget* window = page->window();
    QList<QKeySequence> taken;
    for (const QAbstractButton* b : page->findChildren<QAbstractButton*>()) {
        if (const QKeySequence k = QKeySequence::mnemonic(b->text()); !k.isEmpty())
            taken.append(k);
    }
    for (QAbstractButton* b : window->findChildren<QAbstractButton*>(Qt::FindDirectChildrenOnly)) {
        const QKeySequence own = QKeySequence::mnemonic(b->text());
        b->setShortcut(taken.contains(own) ? QKeySequence() : own);
    }
}

void showPage(fw::Dialog* page, bool show) {
    if (page == nullptr || page->widget() == nullptr)
        return;
    page->widget()->setVisible(show);
    page->widget()->setEnabled(show);
    if (show)
        yieldMnemonics(page->widget());
}

}  // namespace

FW_BEGIN_MESSAGE_MAP(MainDialog)
FW_ON_CLICKED(MainDialog::kAboutId, onAbout)
FW_ON_CLICKED(MainDialog::kHelpId, onHelp)
FW_ON_CLICKED(MainDialog::kHistoryId, showHistory)
FW_ON_TAB_SELCHANGING(MainDialog::kTabsId, onTabSelChanging)
FW_ON_TAB_SELCHANGE(MainDialog::kTabsId, onTabSelChange)
FW_END_MESSAGE_MAP()

MainDialog::MainDialog() : fw::Dialog(kTemplateId), icon(res::icon(kAppIcon)) {}

MainDialog::~MainDialog() {
    // A window still open here (one that was not closed by its user) goes the ordinary way: link
    // stopped first, then the pages.
    destroyWindow();
    stopLink();
    if (peer_ != nullptr && linkPeer() == peer_.get())
        setLinkPeer(nullptr);
}

const char* MainDialog::startFailureText() {
    return "Cannot initialize sockets. \nClose other running sockets applications and try again.";
}

fw::Dialog* MainDialog::page(int tab) const {
    if (tabs == nullptr)
        return nullptr;
    return static_cast<fw::Dialog*>(tabs->itemParam(tab));
}

bool MainDialog::onInitDialog() {
    tabs = tabControl(kTabsId);
    QWidget* window = widget();

    const QString caption = res::loadString(kProductNameString);
    if (!caption.isEmpty())
        window->setWindowTitle(caption);

    // The desktop owns the title bar, so the window menu is offered on a right click on the
    // window's own area (and on Alt+Space where the desktop leaves that key alone).
    window->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(window, &QWidget::customContextMenuRequested, window,
                     [this, window](const QPoint& pos) {
                         QWidget* under = window->childAt(pos);
                         if (under == nullptr || under == tabs)
                             popupSystemMenu(window->mapToGlobal(pos));
                     });
    auto* historyKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), window);
    QObject::connect(historyKey, &QShortcut::activated, window, [this] { showHistory(); });
    auto* menuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), window);
    QObject::connect(menuKey, &QShortcut::activated, window,
                     [this, window] { popupSystemMenu(window->mapToGlobal(QPoint(0, 0))); });

    window->setWindowIcon(icon);

    if (tabs != nullptr) {
        createPages();
        tabs->setCurSel(kTunerTab);
    }

    // Every call of the link lands on the pages through the bridge; a bridge cancelled by an
    // earlier window of the same process must accept calls again.
    fw::uiBridge().reset();
    peer_ = std::make_unique<UiLinkPeer>(fw::uiBridge());
    startHistory();
    notice_ = new DesktopNotice(window);
    setLinkPeer(peer_.get());
    // The modem's segment may not be where the default route leads.
    setLinkInterface(std::getenv("BRIX_INTERFACE"));
    if (!linkStart()) {
        QString text = QString::fromUtf8(startFailureText());
        // The port is held by a program that offers no link to attach to: say which.
        if (linkSocketFailure() == LinkSocketFailure::PortInUse)
            text += QStringLiteral("\n\n") + QString::fromUtf8(linkSocketFailureText());
        fw::messageBox(window, text, QStringLiteral("ERROR"), fw::MB_OK | fw::MB_ICONERROR);
        // Nothing else is cleaned up, but what the logs hold reaches the disk.
        std::fflush(nullptr);
        std::_Exit(1);
    }
    linkRunning_ = true;
    return true;
}

void MainDialog::createPages() {
    for (int index = 0; index < kPageCount; ++index) {
        fw::Dialog* created = nullptr;
        switch (index) {
            case kTunerTab:
                created = tunerPage = new BrixTuner;
                break;
            case kConsoleTab:
                created = consolePage = new BrixDebug;
                break;
            case kAdvancedTab:
                created = advancedPage = new BrixAdvanced;
                break;
            default:
                created = scannerPage = new BrixScanner;
                break;
        }
        created->create(tabs);
        tabs->insertItem(index, QString::fromUtf8(kPageCaptions[index]), created);
        if (QWidget* w = created->widget())
            w->move(kPagePosition);
        showPage(created, index == kTunerTab);
        if (index == kTunerTab)
            created->setTimer(kTunerTimerId, kTunerTimerMs);
    }
}

void MainDialog::stopLink() {
    if (linkRunning_) {
        // Releases a link-thread call waiting on this thread (closing an open box) first.
        linkStop();
        linkRunning_ = false;
    }
    // The link thread is gone, so nothing feeds the history any more: what is queued is
    // written now.
    feed_.reset();
}

void MainDialog::keepWhatClosingKeeps() {
    stopLink();
    if (tunerPage != nullptr)
        tunerPage->saveChannelLabels();
}

std::string MainDialog::ownStorePath() {
    const char* chosen = std::getenv("BRIX_HISTORY");
    if (chosen != nullptr && std::strcmp(chosen, "off") == 0)
        return {};
    if (chosen != nullptr && chosen[0] != '\0')
        return chosen;
    return history::defaultStorePath();
}

void MainDialog::startHistory() {
    const std::string path = ownStorePath();
    if (path.empty())
        return;
    // The recorder reports from its own thread; its lines reach the Console on this one.
    const auto report = [](MessageKind kind) {
        return [kind](const std::string& text) { historyMessage(kind, text); };
    };
    feed_ = std::make_unique<history::LinkFeed>(path, report(MessageKind::Error),
                                                report(MessageKind::Application));
}

void MainDialog::historyMessage(MessageKind kind, const std::string& text) {
    // Posted, never waited for, and to whichever main window is there when the line arrives:
    // the writer thread never touches a window that may be going away.
    fw::UiBridge::post([kind, text] {
        if (MainDialog* w = theApp.mainDialog; w != nullptr && w->consolePage != nullptr)
            w->consolePage->addConsoleMessage(kind, text.c_str(), true);
    });
}

void MainDialog::showHistory() {
    if (history_ == nullptr) {
        history_ = new HistoryWindow([] {
            // Attached to an owner that records: its store, read-only. Otherwise ours.
            if (linkRole() == LinkRole::Attached) {
                const std::string owners = linkOwnerHistory();
                if (!owners.empty())
                    return owners;
            }
            return ownStorePath();
        });
        history_->setWindowIcon(icon);
    }
    history_->show();
    history_->setWindowState(history_->windowState() & ~Qt::WindowMinimized);
    history_->raise();
    history_->activateWindow();
}

void MainDialog::onCancel() {
    // The link goes first: the link thread may be waiting for this thread in a page update or
    // an open question, which would otherwise hold the window open.
    stopLink();
    fw::Dialog::onCancel();
}

void MainDialog::onDestroy() {
    stopLink();
    delete history_;
    history_ = nullptr;
    if (tabs == nullptr)
        return;
    for (int index = 0; index < tabs->itemCount(); ++index) {
        fw::Dialog* gone = page(index);
        if (gone == nullptr)
            continue;
        // Nobody reaches a page through the window while it is being taken down.
        if (gone == static_cast<fw::Dialog*>(tunerPage))
            tunerPage = nullptr;
        else if (gone == static_cast<fw::Dialog*>(consolePage))
            consolePage = nullptr;
        else if (gone == static_cast<fw::Dialog*>(advancedPage))
            advancedPage = nullptr;
        else if (gone == static_cast<fw::Dialog*>(scannerPage))
            scannerPage = nullptr;
        gone->destroyWindow();
        delete gone;
    }
    tabs = nullptr;
}

void MainDialog::onTabSelChanging() {
    const int left = tabs->curSel();
    fw::Dialog* leaving = page(left);
    if (leaving == nullptr)
        return;
    if (left == kTunerTab)
        leaving->killTimer(kTunerTimerId);
    showPage(leaving, false);
}

void MainDialog::onTabSelChange() {
    const int entered = tabs->curSel();
    fw::Dialog* entering = page(entered);
    if (entering == nullptr)
        return;
    if (entered == kTunerTab)
        entering->setTimer(kTunerTimerId, kTunerTimerMs);
    showPage(entering, true);
}

void MainDialog::onAbout() {
    AboutDialog about;
    about.doModal(widget());
}

void MainDialog::onHelp() {
    // A missing document or viewer is not reported.
    fw::openHelp((tabs != nullptr ? tabs->curSel() : 0) + 1);
}

QMenu* MainDialog::createSystemMenu() {
    auto* menu = new QMenu(widget());
    menu->setObjectName(QStringLiteral("systemMenu"));
    const auto add = [menu](const QString& text, int command) {
        QAction* action = menu->addAction(text);
        action->setData(command);
        return action;
    };
    add(QStringLiteral("&Move"), kCommandMove);
    QAction* minimize = add(QStringLiteral("Mi&nimize"), kCommandMinimize);
    minimize->setEnabled(widget() != nullptr && !widget()->isMinimized());
    add(QStringLiteral("&Close"), kCommandClose)->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    const QString about = res::loadString(kAboutCaptionString);
    if (!about.isEmpty()) {
        menu->addSeparator();
        add(about, kAboutId);
    }
    return menu;
}

void MainDialog::popupSystemMenu(const QPoint& globalPos) {
    std::unique_ptr<QMenu> menu(createSystemMenu());
    const QAction* chosen = menu->exec(globalPos);
    if (chosen != nullptr)
        onSysCommand(chosen->data().toInt());
}

void MainDialog::onSysCommand(int command) {
    QWidget* window = widget();
    if (window == nullptr)
        return;
    if ((command & 0xFFF0) == kAboutId) {
        onAbout();
        return;
    }
    switch (command & 0xFFF0) {
        case kCommandMove:
            if (QWindow* handle = window->windowHandle())
                handle->startSystemMove();
            break;
        case kCommandMinimize:
            window->showMinimized();
            break;
        case kCommandClose:
            window->close();
            break;
        default:
            break;
    }
}

}  // namespace brix
