#pragma once
// Shared by the Advanced and Scanner page tests: both pages built from their templates and
// reachable through a main window object (theApp.mainDialog) whose own window is never built,
// the link stopped and at its program-start state, and every message box answered here.

#include <QAbstractButton>
#include <QComboBox>
#include <QGuiApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "app/main_dialog.h"
#include "app/tool_app.h"
#include "framework/cursor.h"
#include "framework/message_box.h"
#include "framework/ui_bridge.h"
#include "link/link_state.h"
#include "pages/advanced/brix_advanced.h"
#include "channels/channel_table.h"
#include "pages/advanced/request_buttons.h"
#include "pages/scanner/brix_scanner.h"

namespace brix::testing {

// The five request buttons as (page, id) pairs are checked through these.
struct RequestButtons {
    bool advancedGet, advancedSet, scannerGet, scannerSet, scannerDefault;
    bool all(bool v) const {
        return advancedGet == v && advancedSet == v && scannerGet == v && scannerSet == v &&
               scannerDefault == v;
    }
};

class PagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        linkStop();
        linkReset();
        fw::uiBridge().reset();
        channelTable().reset();
        channelTable().labelRefreshPending.store(0);
        restoreRequestCursor();

        host = std::make_unique<QWidget>();
        main = std::make_unique<MainDialog>();
        advanced = std::make_unique<BrixAdvanced>();
        scanner = std::make_unique<BrixScanner>();
        ASSERT_TRUE(advanced->create(host.get()));
        ASSERT_TRUE(scanner->create(host.get()));
        main->advancedPage = advanced.get();
        main->scannerPage = scanner.get();
        theApp.mainDialog = main.get();

        fw::setMessageBoxHandler([this](const fw::MessageBoxRequest& request) {
            std::lock_guard lock(boxMutex);
            boxes.push_back(request);
            return boxAnswer;
        });
    }

    void TearDown() override {
        fw::setMessageBoxHandler(nullptr);
        linkStop();
        setLinkPeer(nullptr);
        linkReset();
        fw::uiBridge().reset();
        theApp.mainDialog = nullptr;
        main->advancedPage = nullptr;
        main->scannerPage = nullptr;
        advanced->destroyWindow();
        scanner->destroyWindow();
        restoreRequestCursor();
    }

    void click(fw::Dialog& page, int id) {
        auto* button = qobject_cast<QAbstractButton*>(page.item(id));
        ASSERT_NE(button, nullptr) << "no button " << id;
        button->click();  // does nothing when disabled, as for the user
    }

    RequestButtons requestButtons() const {
        return {advanced->isItemEnabled(BrixAdvanced::kGetId),
                advanced->isItemEnabled(BrixAdvanced::kSetId),
                scanner->isItemEnabled(BrixScanner::kGetId),
                scanner->isItemEnabled(BrixScanner::kSetId),
                scanner->isItemEnabled(BrixScanner::kDefaultId)};
    }

    PendingRequests pending() const {
        LinkState& st = linkState();
        std::lock_guard lock(st.pendingMutex);
        return st.pending;
    }

    std::vector<fw::MessageBoxRequest> shownBoxes() {
        std::lock_guard lock(boxMutex);
        return boxes;
    }

    void answerBoxesWith(int answer) {
        std::lock_guard lock(boxMutex);
        boxAnswer = answer;
    }

    // The cursor over the pages' window; the application-wide cursor stays untouched.
    QWidget* pagesWindow() const { return advanced->widget()->window(); }
    bool normalCursor() const {
        return pagesWindow()->cursor().shape() == Qt::ArrowCursor &&
               QGuiApplication::overrideCursor() == nullptr;
    }
    bool waitCursorShown() const {
        return pagesWindow()->cursor().shape() == Qt::WaitCursor &&
               QGuiApplication::overrideCursor() == nullptr;
    }

    std::unique_ptr<QWidget> host;
    std::unique_ptr<MainDialog> main;
    std::unique_ptr<BrixAdvanced> advanced;
    std::unique_ptr<BrixScanner> scanner;

    std::mutex boxMutex;
    std::vector<fw::MessageBoxRequest> boxes;
    int boxAnswer = fw::IDCANCEL;
};

}  // namespace brix::testing
