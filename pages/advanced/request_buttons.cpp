#include "pages/advanced/request_buttons.h"

#include <QString>

#include "app/main_dialog.h"
#include "app/tool_app.h"
#include "framework/message_box.h"
#include "pages/advanced/brix_advanced.h"
#include "pages/scanner/brix_scanner.h"
#include "res/resources.h"

namespace brix {

void enableRequestButtons(bool enable) {
    const MainDialog* main = theApp.mainDialog;
    if (main == nullptr)
        return;
    if (BrixAdvanced* advanced = main->advancedPage) {
        advanced->enableItem(BrixAdvanced::kGetId, enable);
        advanced->enableItem(BrixAdvanced::kSetId, enable);
    }
    if (BrixScanner* scanner = main->scannerPage) {
        scanner->enableItem(BrixScanner::kGetId, enable);
        scanner->enableItem(BrixScanner::kSetId, enable);
        scanner->enableItem(BrixScanner::kDefaultId, enable);
    }
}

int showConnectionError() {
    const int answer = fw::messageBox(
        nullptr,
        QStringLiteral("Cannot connect to the modem.\nMake sure:\n- modem is turned on.\n"
                       "- modem is connected to the PC.\n- your PC has an assigned IP address."),
        res::loadString(104), fw::MB_RETRYCANCEL | fw::MB_ICONERROR);
    if (answer == fw::IDCANCEL) {
        enableRequestButtons(true);
        // The request is over: leave no wait cursor behind.
        restoreRequestCursor();
        return 0;
    }
    return 1;
}

}  // namespace brix
